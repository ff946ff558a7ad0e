# Stand-in for win_file: folders and removals among the host's files; a
# removed path's recorded owner and rules go with it.
import os
import shutil

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("path", "state"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        path = self._task.args.get("path")
        state = self._task.args.get("state", "file")
        target = standin.local_path(task_vars, path)
        if state == "directory":
            if os.path.isfile(target):
                result.update(failed=True, msg="path %s is not a directory" % path)
                return result
            result["changed"] = not os.path.isdir(target)
            if result["changed"] and not self._task.check_mode:
                os.makedirs(target)
        elif state == "absent":
            result["changed"] = os.path.lexists(target)
            if result["changed"] and not self._task.check_mode:
                if os.path.isdir(target):
                    shutil.rmtree(target)
                else:
                    os.remove(target)
                standin.forget_security(task_vars, path)
        else:
            raise AnsibleError("win_file stand-in: state directory or absent")
        result["path"] = path
        return result
