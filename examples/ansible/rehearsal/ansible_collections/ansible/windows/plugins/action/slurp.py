# Stand-in for slurp: a file of the host, base64-encoded.
import base64
import os

from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("src", "path"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        src = self._task.args.get("src") or self._task.args.get("path")
        target = standin.local_path(task_vars, src)
        if not os.path.isfile(target):
            result.update(failed=True, msg="Path %s is not found" % src)
            return result
        with open(target, "rb") as data:
            result.update(content=base64.b64encode(data.read()).decode("ascii"), encoding="base64", source=src)
        result["changed"] = False
        return result
