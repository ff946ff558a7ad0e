# Stand-in for win_tempfile: a new folder or file in the SYSTEM account's
# temporary folder, C:\Windows\Temp.
import os
import uuid

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("state", "path", "prefix", "suffix"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        state = self._task.args.get("state", "file")
        if state not in ("file", "directory"):
            raise AnsibleError("win_tempfile stand-in: state file or directory")
        parent = self._task.args.get("path") or "C:\\Windows\\Temp"
        name = "%s%s%s" % (self._task.args.get("prefix", "ansible."), uuid.uuid4().hex[:12],
                           self._task.args.get("suffix", ""))
        path = parent.rstrip("\\") + "\\" + name
        result.update(changed=True, path=path, state=state)
        if self._task.check_mode:
            return result
        local = standin.local_path(task_vars, path)
        if not os.path.isdir(os.path.dirname(local)):
            result.update(failed=True, msg="the temporary folder %s does not exist" % parent)
            return result
        if state == "directory":
            os.mkdir(local)
        else:
            open(local, "x", encoding="utf-8").close()
        return result
