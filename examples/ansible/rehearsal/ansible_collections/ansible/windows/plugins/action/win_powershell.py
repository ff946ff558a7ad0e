# Stand-in for win_powershell: only the role's script that reads the owner,
# access rules and SHA-256 of a folder and its files, answered from the
# host's files and recorded rules (plugin_utils/standin.py).
import hashlib
import os

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin

_SCRIPT = "# fcboot: owner, access rules and SHA-256 of a folder and its files"


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("script", "parameters", "arguments", "chdir", "creates", "removes",
                             "depth", "error_action", "executable", "sensitive_parameters"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        script = str(self._task.args.get("script", ""))
        if not script.startswith(_SCRIPT):
            raise AnsibleError("win_powershell stand-in: no stand-in for this script")
        path = (self._task.args.get("parameters") or {}).get("Path")
        if not path:
            raise AnsibleError("win_powershell stand-in: the script takes the parameter Path")
        acls = standin.acl_state(task_vars)
        output = []
        folder = standin.local_path(task_vars, path)
        if os.path.isdir(folder):
            names = [path] + [path + "\\" + name for name in sorted(os.listdir(folder))]
            for name in names:
                local = standin.local_path(task_vars, name)
                entry = standin.security_of(task_vars, name, acls)
                sha = ""
                if os.path.isfile(local):
                    with open(local, "rb") as data:
                        sha = hashlib.sha256(data.read()).hexdigest()
                output.append({
                    "path": name, "folder": os.path.isdir(local), "owner": entry["owner"],
                    "owner_name": standin.name_of(entry["owner"]), "protected": entry["protected"],
                    "rules": [{"sid": r["sid"], "name": standin.name_of(r["sid"]), "rights": r["rights"],
                               "type": r["type"], "inherited": bool(r.get("inherited"))} for r in entry["rules"]],
                    "sha256": sha,
                })
        result.update(changed=False, output=output, error=[], host_out="", host_err="", result={})
        return result
