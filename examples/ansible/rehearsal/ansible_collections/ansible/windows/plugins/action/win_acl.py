# Stand-in for win_acl: an access rule of a file or folder added (or
# removed); the request is recorded.
from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("path", "user", "rights", "type", "inherit", "propagation", "state"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        path, user, rights = args.get("path"), args.get("user"), args.get("rights")
        kind = str(args.get("type", "")).capitalize()
        state = args.get("state", "present")
        if not path or not user or not rights or kind not in ("Allow", "Deny") or state not in ("present", "absent"):
            raise AnsibleError("win_acl stand-in: path, user, rights, type allow or deny, state present or absent")
        if not str(user).startswith("S-1-"):
            raise AnsibleError("win_acl stand-in: give the user as a SID, as the role does: %r" % user)
        acls = standin.acl_state(task_vars)
        entry = standin.security_of(task_vars, path, acls)
        rule = {"sid": user, "rights": rights, "type": kind, "inherited": False,
                "inherit": args.get("inherit", "ContainerInherit, ObjectInherit")}
        others = [r for r in entry["rules"] if r.get("inherited") or (r["sid"], r["type"]) != (user, kind)]
        rules = others + ([rule] if state == "present" else [])
        result.update(changed=rules != entry["rules"], path=path)
        if self._task.check_mode:
            return result
        standin.record_request(task_vars, "rule %s %s %s %s %s inherit=%s" % (
            state, path, standin.name_of(user), kind, rights, rule["inherit"]))
        acls[path.lower()] = dict(entry, rules=rules)
        standin.save_acl_state(task_vars, acls)
        return result
