# What the stand-ins share: a server's files are those of a folder of its
# own on the controller, and its adapters those of its twin. Everything
# lives in the rehearsal folder FCBOOT_REHEARSAL_DIR:
#   twins/<host>.json     the server's adapters (loads change it in place)
#   hosts/<host>/C/...    the server's files, C:\... mapped below it
#   installs/<host>       one line per package installed
#   restarts/<host>       one line per restart
# The programs are FCBOOT_EMU, FCBOOT_DIFF and FCBOOT_CHECK.
import json
import os
import re
import subprocess
import time

from ansible.errors import AnsibleError

# What a package install puts into C:\Program Files\fcboot.
PROGRAMS = ("fcboot.exe", "fcboot-capture.exe", "fcboot-diff.exe", "fcboot-check.exe", "fcboot-emu.exe")
INSTALL_DIR = "C:\\Program Files\\fcboot"

_WINDOWS_PATH = re.compile(r"^([A-Za-z]):\\")


def rehearsal_dir():
    folder = os.environ.get("FCBOOT_REHEARSAL_DIR", "")
    if not folder or not os.path.isdir(folder):
        raise AnsibleError("this ansible.windows is the rehearsal's stand-in: it runs only under "
                           "rehearse-rollout.sh (FCBOOT_REHEARSAL_DIR is not a folder)")
    return folder


def program(name):
    path = os.environ.get(name, "")
    if not path:
        raise AnsibleError("the rehearsal's stand-in needs %s, the program to run" % name)
    return path


def host_dir(task_vars):
    return os.path.join(rehearsal_dir(), "hosts", task_vars["inventory_hostname"])


def twin(task_vars):
    return os.path.join(rehearsal_dir(), "twins", task_vars["inventory_hostname"] + ".json")


def is_windows_path(text):
    return bool(_WINDOWS_PATH.match(text))


def local_path(task_vars, path):
    """The controller's file for a server path such as C:\\ProgramData\\x.cfg.

    A relative path, a forward slash or a doubled backslash is refused: the
    role must build its paths as Windows takes them."""
    match = _WINDOWS_PATH.match(path)
    if not match:
        raise AnsibleError("not an absolute Windows path: %r" % path)
    rest = path[match.end():]
    if "\\\\" in rest or "/" in rest or rest.endswith("\\"):
        raise AnsibleError("malformed Windows path (doubled backslash, slash or trailing backslash): %r" % path)
    parts = [p for p in rest.split("\\") if p]
    if any(p in (".", "..") for p in parts):
        raise AnsibleError("a Windows path with . or ..: %r" % path)
    return os.path.join(host_dir(task_vars), match.group(1).upper(), *parts)


def record(kind, task_vars, text):
    folder = os.path.join(rehearsal_dir(), kind)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, task_vars["inventory_hostname"]), "a", encoding="utf-8") as out:
        out.write("%s %s\n" % (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), text))


def run(argv, cwd):
    done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, check=False)
    return {
        "rc": done.returncode,
        "stdout": done.stdout.decode("utf-8", "replace"),
        "stderr": done.stderr.decode("utf-8", "replace"),
    }


# Access rules. A server's owners and rules live in acl/<host>.json, by
# Windows path (lower case): {"owner": SID, "protected": bool, "rules":
# [{"sid", "rights", "type", "inherited", "inherit"}]}. A path without an
# entry has what Windows gives it: a folder under C:\ProgramData inherits
# that folder's rules (any user may create files), a file inherits its
# folder's, and both are owned by the Administrators (the role runs as
# SYSTEM). A test may record another owner or rules beforehand. What the
# role asked for is recorded, one line each, in acl-requests/<host>.
NAMES = {"S-1-5-18": "NT AUTHORITY\\SYSTEM", "S-1-5-32-544": "BUILTIN\\Administrators",
         "S-1-5-32-545": "BUILTIN\\Users", "S-1-3-0": "CREATOR OWNER"}
_PROGRAMDATA_RULES = [
    {"sid": "S-1-5-18", "rights": "FullControl", "type": "Allow", "inherit": "ContainerInherit, ObjectInherit"},
    {"sid": "S-1-5-32-544", "rights": "FullControl", "type": "Allow", "inherit": "ContainerInherit, ObjectInherit"},
    {"sid": "S-1-3-0", "rights": "FullControl", "type": "Allow", "inherit": "ContainerInherit, ObjectInherit"},
    {"sid": "S-1-5-32-545", "rights": "ReadAndExecute, Synchronize", "type": "Allow",
     "inherit": "ContainerInherit, ObjectInherit"},
    {"sid": "S-1-5-32-545", "rights": "Write", "type": "Allow", "inherit": "ContainerInherit"},
]


def name_of(sid):
    return NAMES.get(sid, sid)


def _acl_file(task_vars):
    return os.path.join(rehearsal_dir(), "acl", task_vars["inventory_hostname"] + ".json")


def acl_state(task_vars):
    try:
        with open(_acl_file(task_vars), encoding="utf-8") as data:
            return {k.lower(): v for k, v in json.load(data).items()}
    except FileNotFoundError:
        return {}


def save_acl_state(task_vars, state):
    os.makedirs(os.path.dirname(_acl_file(task_vars)), exist_ok=True)
    with open(_acl_file(task_vars), "w", encoding="utf-8") as out:
        json.dump(state, out, indent=1, sort_keys=True)


def _inherited(rules, is_folder):
    wanted = "ContainerInherit" if is_folder else "ObjectInherit"
    return [dict(rule, inherited=True) for rule in rules if wanted in rule.get("inherit", "")]


def security_of(task_vars, path, state=None):
    """The owner, protection and rules a server path has now."""
    state = acl_state(task_vars) if state is None else state
    entry = state.get(path.lower())
    if entry is not None:
        return entry
    is_folder = os.path.isdir(local_path(task_vars, path))
    parent = path.rsplit("\\", 1)[0]
    if parent.lower() == "c:\\programdata" or "\\" not in parent:
        rules = _inherited(_PROGRAMDATA_RULES, is_folder)
    else:
        rules = _inherited(security_of(task_vars, parent, state)["rules"], is_folder)
    return {"owner": "S-1-5-32-544", "protected": False, "rules": rules}


def forget_security(task_vars, path):
    """A removed path's entry goes; below a folder too."""
    state = acl_state(task_vars)
    prefix = path.lower()
    kept = {k: v for k, v in state.items() if k != prefix and not k.startswith(prefix + "\\")}
    if kept != state:
        save_acl_state(task_vars, kept)


def record_request(task_vars, text):
    record("acl-requests", task_vars, text)
