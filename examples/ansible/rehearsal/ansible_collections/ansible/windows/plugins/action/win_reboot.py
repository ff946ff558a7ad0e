# Stand-in for win_reboot: the restart is one line in restarts/<host>.
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("reboot_timeout", "msg", "pre_reboot_delay", "post_reboot_delay", "test_command",
                             "connect_timeout", "reboot_timeout_sec", "shutdown_timeout", "boot_time_command"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        result.update(changed=True, rebooted=True, elapsed=0)
        if not self._task.check_mode:
            standin.record("restarts", task_vars, "restarted")
        return result
