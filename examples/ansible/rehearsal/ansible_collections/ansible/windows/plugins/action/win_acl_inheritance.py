# Stand-in for win_acl_inheritance: a path stops (state absent) or starts
# inheriting its parent's access rules; the request is recorded.
from ansible.errors import AnsibleError
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("path", "state", "reorganize"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        path = self._task.args.get("path")
        state = self._task.args.get("state", "absent")
        reorganize = boolean(self._task.args.get("reorganize", False))
        if not path or state not in ("absent", "present"):
            raise AnsibleError("win_acl_inheritance stand-in: path and state absent or present")
        acls = standin.acl_state(task_vars)
        entry = standin.security_of(task_vars, path, acls)
        protected = state == "absent"
        result.update(changed=entry["protected"] != protected, path=path)
        if self._task.check_mode:
            return result
        standin.record_request(task_vars, "inheritance %s %s reorganize=%s" % (state, path, reorganize))
        rules = [r for r in entry["rules"] if not r.get("inherited")]
        if protected and reorganize:
            rules = [dict(r, inherited=False) for r in entry["rules"]]
        acls[path.lower()] = {"owner": entry["owner"], "protected": protected, "rules": rules}
        standin.save_acl_state(task_vars, acls)
        return result
