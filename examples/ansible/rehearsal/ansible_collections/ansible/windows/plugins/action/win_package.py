# Stand-in for win_package: the MSI copied to the host is "installed": the
# programs appear in C:\Program Files\fcboot and the install is recorded in
# installs/<host>. What the programs do is the controller's build.
import os

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("path", "state", "arguments", "product_id"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        path = self._task.args.get("path")
        if self._task.args.get("state", "present") != "present" or not path:
            raise AnsibleError("win_package stand-in: path and state present are supported")
        package = standin.local_path(task_vars, path)
        if not os.path.isfile(package):
            result.update(failed=True, msg="the file at the path '%s' cannot be reached" % path)
            return result
        result["changed"] = True
        if self._task.check_mode:
            return result
        programs = standin.local_path(task_vars, standin.INSTALL_DIR)
        os.makedirs(programs, exist_ok=True)
        for name in standin.PROGRAMS:
            with open(os.path.join(programs, name), "w", encoding="utf-8"):
                pass
        standin.record("installs", task_vars, os.path.basename(package))
        return result
