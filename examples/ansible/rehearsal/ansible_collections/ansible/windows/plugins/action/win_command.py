# Stand-in for win_command: fcboot.exe runs as fcboot-emu against the host's
# twin, fcboot-capture.exe as fcboot-emu --capture (its --remap as
# fcboot-emu --remap), fcboot-diff.exe and fcboot-check.exe as the
# controller's programs (fcboot-check against the twin). Windows paths among
# the arguments become the host's files.
import os

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("argv", "chdir", "creates", "removes", "stdin", "output_encoding_override", "_raw_params"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        argv = self._task.args.get("argv")
        if not argv or not isinstance(argv, list):
            raise AnsibleError("win_command stand-in: only argv is supported")
        if self._task.check_mode:
            # As win_command: it does not run in check mode.
            result.update(skipped=True, msg="win_command does not run in check mode")
            return result
        exe = str(argv[0])
        name = exe.rsplit("\\", 1)[-1].lower()
        if not os.path.isfile(standin.local_path(task_vars, exe)):
            result.update(failed=True, rc=2, stdout="", stderr="",
                          msg="The system cannot find the file specified: %s" % exe)
            return result
        args = [standin.local_path(task_vars, a) if standin.is_windows_path(str(a)) else str(a) for a in argv[1:]]
        twin = standin.twin(task_vars)
        if name == "fcboot.exe":
            command = [standin.program("FCBOOT_EMU"), "--fleet", twin, "--"] + args
        elif name == "fcboot-capture.exe" and args[:1] == ["--remap"]:
            if len(args) != 4:
                raise AnsibleError("fcboot-capture.exe --remap stand-in: three file names expected")
            command = [standin.program("FCBOOT_EMU"), "--fleet", twin] + args
        elif name == "fcboot-capture.exe":
            if len(args) != 1:
                raise AnsibleError("fcboot-capture.exe stand-in: one file name expected")
            command = [standin.program("FCBOOT_EMU"), "--fleet", twin, "--capture", args[0]]
        elif name == "fcboot-diff.exe":
            command = [standin.program("FCBOOT_DIFF")] + args
        elif name == "fcboot-check.exe":
            command = [standin.program("FCBOOT_CHECK"), "--fleet", twin] + args
        else:
            raise AnsibleError("win_command stand-in: no stand-in for %s" % exe)
        done = standin.run(command, standin.host_dir(task_vars))
        result.update(done)
        result["stdout_lines"] = done["stdout"].splitlines()
        result["stderr_lines"] = done["stderr"].splitlines()
        result["cmd"] = " ".join(str(a) for a in argv)
        result["changed"] = True
        if done["rc"] != 0:
            result.update(failed=True, msg="non-zero return code")
        return result
