# Stand-in for win_copy: a file of the controller to the host's files. A
# file written over keeps its owner and rules, as on Windows. To show what a
# user who could write the file might do, a file tamper/<host>/<name> in the
# rehearsal folder replaces every copy named <name> right after the copy.
import filecmp
import os
import shutil

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

from ansible_collections.ansible.windows.plugins.plugin_utils import standin


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("src", "dest", "force", "backup", "remote_src", "decrypt", "content", "local_follow"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        src = self._task.args.get("src")
        dest = self._task.args.get("dest")
        if not src or not dest or self._task.args.get("remote_src") or "content" in self._task.args:
            raise AnsibleError("win_copy stand-in: src (on the controller) and dest are supported")
        source = self._find_needle("files", src)
        target = standin.local_path(task_vars, dest)
        if os.path.isdir(target):
            target = os.path.join(target, os.path.basename(source))
        same = os.path.isfile(target) and filecmp.cmp(source, target, shallow=False)
        result.update(changed=not same, src=src, dest=dest)
        if same or self._task.check_mode:
            return result
        if not os.path.isdir(os.path.dirname(target)):
            result.update(failed=True, msg="Destination directory of %s does not exist" % dest)
            return result
        shutil.copyfile(source, target)
        tamper = os.path.join(standin.rehearsal_dir(), "tamper", task_vars["inventory_hostname"],
                              os.path.basename(target))
        if os.path.isfile(tamper):
            shutil.copyfile(tamper, target)
            standin.record("tampered", task_vars, dest)
        return result
