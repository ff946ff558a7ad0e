# What the stand-ins share: a server's files are those of a folder of its
# own on the controller, and its adapters those of its twin. Everything
# lives in the rehearsal folder FCBOOT_REHEARSAL_DIR:
#   twins/<host>.json     the server's adapters (loads change it in place)
#   hosts/<host>/C/...    the server's files, C:\... mapped below it
#   installs/<host>       one line per package installed
#   restarts/<host>       one line per restart
# The programs are FCBOOT_EMU, FCBOOT_DIFF and FCBOOT_CHECK.
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
