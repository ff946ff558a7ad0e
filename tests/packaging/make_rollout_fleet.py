#!/usr/bin/env python3
"""Writes a rehearsal folder for rehearse-rollout.sh: COUNT emulated servers
made from the demo fleet, in mixed states, named <nn>-<state>, the states in
turn so that the first len(STATES) hosts cover every one.

Usage: make_rollout_fleet.py OUT COUNT FCBOOT_EMU
Writes OUT/inventory.yml, OUT/twins/<host>.json, OUT/want/*.cfg and
OUT/expected.txt: "<host> <state> <check> <run> <second run>", the outcome
each of the three runs must report."""
import copy
import json
import os
import subprocess
import sys

# The demo server as its save writes it, and the desired states.
IN_STATE = [
    dict(port_name="1000000000000001", bios_enable=1, select_boot=1, boot_device="500000000000a001", lun=0),
    dict(port_name="1000000000000002", bios_enable=0, select_boot=0, boot_device="0000000000000000", lun=0),
]
# The second adapter to boot: needs a boot image selected on it.
BOOTING = [IN_STATE[0], dict(port_name="1000000000000002", bios_enable=1, select_boot=1,
                             boot_device="500000000000b002", lun=3)]


def drifted(**change):
    adapters = copy.deepcopy(IN_STATE)
    adapters[0].update(change)
    return adapters


def render(adapters):
    lines = []
    for number, a in enumerate(adapters):
        lines += ["[HBA%d]" % number, "WWID=" + a["port_name"], "HostAdapterBiosEnable=%d" % a["bios_enable"],
                  "SelectBootEnable=%d" % a["select_boot"], "BootDeviceWWID=" + a["boot_device"],
                  "BootDeviceLUN[0]=%d" % a["lun"], ""]
    return "\n".join(lines) + "\n"


def no_adapter(fleet):
    for device in fleet["devices"]:
        device["manufacturer"] = "Other Maker"


def no_boot_image(fleet):
    fleet["devices"][1]["boot_images"] = []


def activation_fails(fleet):
    fleet["devices"][1]["faults"] = [{"match": "mailbox:156", "fail": 31}]


# The rehearsal recipes of the user's guide: each symptom's fault rule.
def write_refused(fleet):
    fleet["devices"][0]["faults"] = [{"match": "mailbox:27", "mbx_status": 5}]


def device_does_not_open(fleet):
    fleet["devices"][0]["faults"] = [{"match": "open", "fail": 2}]


def node_list_unreadable(fleet):
    fleet["devices"][0]["faults"] = [{"match": "node_list", "fail": 31}]


# A BIOS-booting server whose second adapter holds one image for BIOS boot
# and one for EFIB boot: moving it to EFIB selects the other image, and
# the staged sequence fails every time.
def efib_move(fleet):
    fleet["devices"][1]["boot_images"] = ["0x037B0001", "0x037D0002"]


def efib_move_faults(fleet):
    # The fleet file reference's example rule.
    fleet["devices"][1]["faults"] = [{"match": "mailbox:156", "times": 1, "state": 9}]


# The first adapter replaced by a card fresh from the factory in its slot:
# new port and node names, no boot settings, and its boot device not yet
# zoned to it (the SAN still presents it to the old port).
SWAPPED_PORT, SWAPPED_NODE = "10000000000000a1", "20000000000000a1"


def swapped(fleet):
    device = fleet["devices"][0]
    device["port_wwn"], device["node_wwn"] = SWAPPED_PORT, SWAPPED_NODE
    for region in ("4", "8", "10"):
        device["regions"][region] = "0" * len(device["regions"][region])
    device["node_list"] = [{"wwn": "500000000000b001", "fcid": "0x010300", "host_byte_1": 0, "host_byte_2": 0}]


# Faults added once the twin holds its starting settings.
LATE_FAULTS = {"efib-move": efib_move_faults, "write-refused": write_refused,
               "node-list-unreadable": node_list_unreadable}
EFIB = [dict(port_name="1000000000000002", bios_enable=1, select_boot=1, boot_device="500000000000b002", lun=5)]
BOOTS_FROM_ZERO = [IN_STATE[0], dict(port_name="1000000000000002", bios_enable=1, select_boot=1,
                                     boot_device="0000000000000000", lun=0)]

# state: (how the twin differs from the demo server, the settings loaded into
# it, how the desired state is given, the desired state or file text,
# outcomes of the check run, the real run, the second run)
STATES = [
    ("in-state", None, None, "file", render(IN_STATE), "unchanged", "unchanged", "unchanged"),
    ("in-state-vars", None, None, "vars", IN_STATE, "unchanged", "unchanged", "unchanged"),
    # A replaced adapter, remapped from the capture a run before the swap
    # kept: the SAN change is waiting; the test zones the boot device to the
    # new port before the second run, which loads and restarts.
    ("swapped", swapped, None, "file", render(IN_STATE), "waiting-for-san", "waiting-for-san", "changed"),
    ("lun", None, drifted(lun=4), "file", render(IN_STATE), "would-change", "changed", "unchanged"),
    ("boot-device", None, drifted(boot_device="500000000000c001"), "vars", IN_STATE,
     "would-change", "changed", "unchanged"),
    ("no-adapter", no_adapter, None, "file", render(IN_STATE), "failed", "failed", "failed"),
    ("no-boot-image", no_boot_image, None, "vars", BOOTING, "would-change", "rolled-back", "rolled-back"),
    # The rehearsal on the controller catches it before the server is loaded.
    ("no-boot-image-rehearsed", no_boot_image, None, "vars", BOOTING, "failed", "failed", "failed"),
    ("activation-fails", activation_fails, None, "file", render(BOOTING),
     "would-change", "rolled-back", "rolled-back"),
    ("absent-adapter", None, None, "file",
     render(IN_STATE + [dict(port_name="10000000000000ff", bios_enable=0, select_boot=0,
                             boot_device="0", lun=0)]), "failed", "failed", "failed"),
    ("new", None, None, "file", render(IN_STATE), "would-change", "unchanged", "unchanged"),
    # fcboot_install_dir is not where the package installs: named after the install.
    ("wrong-install-dir", None, None, "file", render(IN_STATE), "would-change", "failed", "failed"),
    ("findings", None, None, "file", render(IN_STATE).replace("BootDeviceWWID=500000000000a001",
                                                             "BootDeviceWWID=5000 0000 0000 a001"),
     "failed", "failed", "failed"),
    # The recipes: a write refused, a device that does not open, a node list
    # that cannot be read, a staged sequence that fails (activation-fails).
    ("write-refused", None, drifted(lun=4), "file", render(IN_STATE), "would-change", "rolled-back", "rolled-back"),
    ("device-does-not-open", device_does_not_open, None, "file", render(IN_STATE), "failed", "failed", "failed"),
    ("node-list-unreadable", None, drifted(lun=4), "file", render(IN_STATE), "would-change", "changed", "unchanged"),
    # fcboot_efib on a server that boots BIOS from the second adapter.
    # The BIOS backup loaded back cannot finish the BIOS image's activation
    # either: the server is less ready than before, and says so.
    ("efib-move", efib_move, BOOTING, "file", render(EFIB), "would-change", "failed", "failed"),
    # After the load the adapter the file does not name boots from device 0:
    # fcboot-check says WARNING, the load stands.
    ("warning", None, [dict(IN_STATE[0], lun=4)] + BOOTS_FROM_ZERO[1:], "file", render(IN_STATE[:1]),
     "would-change", "changed", "unchanged"),
    # A want.cfg a user made before the working folder was kept to the
    # administrators, and one changed on the server after the copy.
    ("foreign-owner", None, None, "file", render(IN_STATE), "unchanged", "failed", "failed"),
    ("tampered", None, drifted(lun=4), "file", render(IN_STATE), "would-change", "failed", "failed"),
]


def main():
    out, count, emu = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    for sub in ("twins", "want"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    demo = os.path.join(out, "demo.json")
    if not os.path.exists(demo):
        subprocess.run([emu, "--write-demo-fleet", demo], check=True)
    with open(demo, encoding="utf-8") as f:
        demo_fleet = json.load(f)
    hosts, expected = [], []
    for n in range(count):
        state, change, load, kind, want, check, run, second = STATES[n % len(STATES)]
        host = "%02d-%s" % (n, state)
        twin = os.path.join(out, "twins", host + ".json")
        fleet = copy.deepcopy(demo_fleet)
        if state == "swapped":
            # The capture a real run kept before the swap.
            os.makedirs(os.path.join(out, "backup", host), exist_ok=True)
            subprocess.run([emu, "--fleet", demo, "--capture", os.path.join(out, "backup", host, "before.json")],
                           check=True)
            host_vars_extra = {"fcboot_remap": True}
        else:
            host_vars_extra = {}
        if change:
            change(fleet)
        with open(twin, "w", encoding="utf-8") as f:
            json.dump(fleet, f, indent=2)
        if load:
            cfg = os.path.join(out, "want", host + "-drift.cfg")
            with open(cfg, "w", encoding="utf-8") as f:
                f.write(render(load))
            subprocess.run([emu, "--fleet", twin, "/l", cfg], check=True, stdout=subprocess.DEVNULL)
        if state in LATE_FAULTS:
            with open(twin, encoding="utf-8") as f:
                fleet = json.load(f)
            LATE_FAULTS[state](fleet)
            with open(twin, "w", encoding="utf-8") as f:
                json.dump(fleet, f, indent=2)
        if kind == "vars":
            host_vars = {"fcboot_adapters": want}
        else:
            with open(os.path.join(out, "want", host + ".cfg"), "w", encoding="utf-8") as f:
                f.write(want)
            host_vars = {"fcboot_want": "want/%s.cfg" % host}
        if state == "lun":
            # A trailing backslash is no doubled one in the paths made of it.
            host_vars["fcboot_install_dir"] = "C:\\Program Files\\fcboot\\"
        if state.endswith("-rehearsed") or state == "boot-device":
            # Rehearsed: the rehearsal passes here and the load follows.
            host_vars["fcboot_rehearse"] = True
        if state == "efib-move":
            host_vars["fcboot_efib"] = True
        # Each server's files as the rehearsal starts them, so that a listing
        # taken now is what check mode must leave.
        folder = os.path.join(out, "hosts", host, "C")
        os.makedirs(os.path.join(folder, "Windows", "Temp"), exist_ok=True)
        if state not in ("new", "wrong-install-dir"):
            os.makedirs(os.path.join(folder, "Program Files", "fcboot"), exist_ok=True)
            for program in ("fcboot", "fcboot-capture", "fcboot-diff", "fcboot-check", "fcboot-emu"):
                open(os.path.join(folder, "Program Files", "fcboot", program + ".exe"), "w").close()
        if state == "foreign-owner":
            os.makedirs(os.path.join(folder, "ProgramData", "fcboot"))
            with open(os.path.join(folder, "ProgramData", "fcboot", "want.cfg"), "w", encoding="utf-8") as f:
                f.write(render(BOOTING))
            acl = {"C:\\ProgramData\\fcboot\\want.cfg": {
                "owner": "S-1-5-21-1004336348-1177238915-682003330-1001", "protected": False,
                "rules": [{"sid": "S-1-5-21-1004336348-1177238915-682003330-1001", "rights": "FullControl",
                           "type": "Allow", "inherited": False}]}}
            os.makedirs(os.path.join(out, "acl"), exist_ok=True)
            with open(os.path.join(out, "acl", host + ".json"), "w", encoding="utf-8") as f:
                json.dump(acl, f, indent=1)
        if state == "tampered":
            os.makedirs(os.path.join(out, "tamper", host), exist_ok=True)
            with open(os.path.join(out, "tamper", host, "want.cfg"), "w", encoding="utf-8") as f:
                f.write(render(drifted(lun=7)))
            # With fcboot_remap the capture from before a swap is copied too,
            # and changed on the server after the copy: refused before the
            # remap reads it, along with want.cfg.
            before = os.path.join(out, "backup", host, "before.json")
            os.makedirs(os.path.dirname(before), exist_ok=True)
            subprocess.run([emu, "--fleet", twin, "--capture", before], check=True)
            with open(before, encoding="utf-8") as f:
                moved = json.load(f)
            moved["devices"][0]["pci"]["bus"] = 9
            with open(os.path.join(out, "tamper", host, "before.json"), "w", encoding="utf-8") as f:
                json.dump(moved, f, indent=2)
            host_vars_extra = {"fcboot_remap": True}
        if state == "wrong-install-dir":
            host_vars["fcboot_install_dir"] = "C:\\Program Files\\fcboot-1"
        if state in ("new", "wrong-install-dir"):
            # No fcboot on the server yet: the rollout installs the package.
            os.makedirs(os.path.join(out, "hosts", host), exist_ok=True)
            host_vars["fcboot_msi"] = os.path.join(os.path.abspath(out), "fcboot-win64.msi")
            with open(host_vars["fcboot_msi"], "w", encoding="utf-8") as f:
                f.write("the rehearsal's package\n")
        host_vars.update(host_vars_extra)
        hosts.append((host, host_vars))
        expected.append("%s %s %s %s %s" % (host, state, check, run, second))
    inventory = {"fcboot_servers": {"hosts": dict(hosts)}}
    with open(os.path.join(out, "inventory.yml"), "w", encoding="utf-8") as f:
        json.dump(inventory, f, indent=1)  # JSON is YAML
    with open(os.path.join(out, "expected.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(expected) + "\n")


if __name__ == "__main__":
    main()
