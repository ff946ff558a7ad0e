#!/usr/bin/python3
"""Builds the Windows packages of one build folder: NAME.zip and NAME.msi,
each with a NAME.<zip|msi>.sha256 file that sha256sum -c reads.

Both hold the files that `cmake --install` puts in the package component,
signed with scripts/sign.sh when FCBOOT_SIGN_PFX names a certificate.

The packages are made, signed and given their checksums in a folder of
their own, and only then moved to their final names: a run that fails at
any step (signing included) leaves none of the four files, neither an
unsigned package nor a checksum of another build.

Unsigned, the same sources give the same bytes, whenever and wherever they
are built (with the same Debian release's tools):
- every time in the packages is SOURCE_DATE_EPOCH, by default the time of
  the sources' last commit;
- zip entries come in sorted order with fixed attributes;
- the MSI's package code, which must differ between different packages, is
  derived from the package's content, and its creation and save times are
  SOURCE_DATE_EPOCH (wixl draws the one at random and takes the others from
  the clock);
- the MSI's identifiers and component GUIDs follow from the files' paths.
A signature carries its own time and is never the same twice.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import uuid
import xml.etree.ElementTree as ET
import zipfile

import olefile

# The earliest time a zip entry can hold: 1980-01-01 00:00 UTC.
ZIP_EPOCH = 315532800


def fail(message):
    sys.exit(f"make_packages.py: {message}")


def sign(script, paths):
    if subprocess.run([script] + paths).returncode != 0:
        fail("signing failed")


def run(argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        fail(f"{' '.join(argv)} ended with {result.returncode}:\n{result.stdout}{result.stderr}")
    return result.stdout


def source_date_epoch(source_dir):
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if value:
        if not re.fullmatch(r"[0-9]+", value):
            fail(f"SOURCE_DATE_EPOCH is {value!r}, not a count of seconds since 1970")
        return int(value)
    # Only the sources' own checkout counts, not one they happen to sit in.
    try:
        top = subprocess.run(["git", "-C", source_dir, "rev-parse", "--show-toplevel"],
                             capture_output=True, text=True, check=True).stdout.strip()
        if os.path.realpath(top) == os.path.realpath(source_dir):
            return int(subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                                      capture_output=True, text=True, check=True).stdout)
    except (OSError, subprocess.CalledProcessError, ValueError):
        pass
    print("make_packages.py: neither SOURCE_DATE_EPOCH nor a git checkout: "
          "the packages' times are 1980-01-01")
    return ZIP_EPOCH


def package_files(folder):
    """Paths below folder, '/'-separated, sorted."""
    found = []
    for root, _, files in os.walk(folder):
        for name in files:
            found.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return sorted(found)


def write_checksum(path):
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(path + ".sha256", "w", newline="\n") as f:
        f.write(f"{digest}  {os.path.basename(path)}\n")


def write_zip(folder, name, files, epoch, path):
    date_time = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    with zipfile.ZipFile(path + ".tmp", "w") as z:
        for rel in files:
            info = zipfile.ZipInfo(f"{name}/{rel}", date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = (0o100755 if rel.endswith(".exe") else 0o100644) << 16
            with open(os.path.join(folder, rel), "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)
    os.replace(path + ".tmp", path)


# The MSI summary information: property IDs and types (a property set).
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 0x1E, 0x40
SUMMARY_STREAM = "\x05SummaryInformation"


def set_summary(msi, package_code, epoch):
    """Writes the package code (the summary's revision number) and the
    creation and save times, in place: the stream keeps its size."""
    ole = olefile.OleFileIO(msi, write_mode=True)
    data = bytearray(ole.openstream(SUMMARY_STREAM).read())
    (section,) = struct.unpack_from("<I", data, 44)
    (count,) = struct.unpack_from("<I", data, section + 4)
    found = set()
    for i in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        at = section + offset
        (kind,) = struct.unpack_from("<I", data, at)
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            text = ("{%s}" % package_code).encode("ascii") + b"\0"
            if struct.unpack_from("<I", data, at + 4)[0] != len(text):
                fail(f"{msi}: the revision number is not a package code")
            data[at + 8:at + 8 + len(text)] = text
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            struct.pack_into("<Q", data, at + 4, (epoch + 11644473600) * 10_000_000)
        else:
            continue
        found.add(pid)
    if found != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        fail(f"{msi}: the summary information lacks a package code or a time")
    ole.write_stream(SUMMARY_STREAM, bytes(data))
    ole.close()


def files_fragment(folder, upgrade_code):
    """The component group "Files": one component a file of folder, below
    INSTALLDIR. Identifiers and component GUIDs follow from the file's path
    alone, so they are the same in every build and every version."""
    def ident(kind, rel):
        return kind + hashlib.sha1(rel.encode()).hexdigest()[:32].upper()

    lines, refs = [], []

    def emit(rel_dir, indent):
        names = sorted(os.listdir(os.path.join(folder, rel_dir)))
        for name in names:
            rel = f"{rel_dir}/{name}" if rel_dir else name
            if os.path.isdir(os.path.join(folder, rel)):
                lines.append(f'{indent}<Directory Id="{ident("dir", rel)}" Name="{name}">')
                emit(rel, indent + "  ")
                lines.append(f"{indent}</Directory>")
                continue
            refs.append(ident("cmp", rel))
            guid = str(uuid.uuid5(upgrade_code, "Component " + rel)).upper()
            lines.append(f'{indent}<Component Id="{refs[-1]}" Guid="{guid}" Win64="yes">')
            lines.append(f'{indent}  <File Id="{ident("fil", rel)}" KeyPath="yes" Source="$(var.SourceDir)/{rel}"/>')
            lines.append(f"{indent}</Component>")

    emit("", "      ")
    return "\n".join([
        '<?xml version="1.0" encoding="utf-8"?>',
        '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
        "  <Fragment>",
        '    <DirectoryRef Id="INSTALLDIR">',
        *lines,
        "    </DirectoryRef>",
        '    <ComponentGroup Id="Files">',
        *(f'      <ComponentRef Id="{r}"/>' for r in refs),
        "    </ComponentGroup>",
        "  </Fragment>",
        "</Wix>",
        ""])


def write_msi(args, stage, folder, epoch, path):
    wix = "{http://schemas.microsoft.com/wix/2006/wi}"
    upgrade_code = uuid.UUID(ET.parse(args.wxs).getroot().find(wix + "Product").get("UpgradeCode"))
    product_code = str(uuid.uuid5(upgrade_code, "ProductCode " + args.msi_version)).upper()

    fragment_path = os.path.join(stage, "files.wxs")
    with open(fragment_path, "w") as f:
        f.write(files_fragment(folder, upgrade_code))

    # gcab stores the files' times in local time.
    env = dict(os.environ, TZ="UTC")
    run([args.wixl, "-a", "x64", "-o", path + ".tmp",
         "-D", "SourceDir=.",
         "-D", "Version=" + args.msi_version, "-D", "VersionString=" + args.version_string,
         "-D", "ProductCode=" + product_code,
         os.path.abspath(args.wxs), fragment_path], cwd=folder, env=env)

    # A package code of zeros first, then the one derived from everything else.
    set_summary(path + ".tmp", str(uuid.UUID(int=0)).upper(), epoch)
    with open(path + ".tmp", "rb") as f:
        content = hashlib.sha256(f.read()).hexdigest()
    set_summary(path + ".tmp", str(uuid.uuid5(upgrade_code, "PackageCode " + content)).upper(), epoch)
    os.replace(path + ".tmp", path)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cmake", required=True)
    p.add_argument("--build-dir", required=True)
    p.add_argument("--component", required=True)
    p.add_argument("--name", required=True, help="file name of the packages without extension")
    p.add_argument("--source-dir", required=True)
    p.add_argument("--version-string", required=True)
    p.add_argument("--msi-version", required=True)
    p.add_argument("--wxs", required=True)
    p.add_argument("--sign", required=True, help="scripts/sign.sh")
    p.add_argument("--wixl", default="wixl")
    p.add_argument("--out-dir", help="where the packages land (default: the build folder)")
    args = p.parse_args()
    if not shutil.which(args.wixl):
        fail(f"{args.wixl} not found (Debian package wixl)")

    epoch = source_date_epoch(args.source_dir)
    out_dir = args.out_dir or args.build_dir
    stage = os.path.join(out_dir, "package-stage")
    folder = os.path.join(stage, args.name)
    # The packages of an earlier run go first: after a failure none is left
    # to pass for this run's.
    finals = [os.path.join(out_dir, args.name + ext + sum_ext)
              for ext in (".zip", ".msi") for sum_ext in ("", ".sha256")]
    for path in finals:
        if os.path.lexists(path):
            os.remove(path)
    shutil.rmtree(stage, ignore_errors=True)
    run([args.cmake, "--install", args.build_dir, "--component", args.component, "--prefix", folder])
    # Recorded for a rebuild that has no git checkout to ask.
    with open(os.path.join(stage, "source-date-epoch"), "w") as f:
        f.write(f"{epoch}\n")

    programs = sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".exe"))
    signing = bool(os.environ.get("FCBOOT_SIGN_PFX"))
    # Without a certificate sign.sh says so in one line and signs nothing.
    sign(args.sign, programs)

    files = package_files(folder)
    for root, dirs, names in os.walk(folder):
        for n in dirs + names:
            os.utime(os.path.join(root, n), (epoch, epoch))

    # Made under their final file names, in a folder of their own.
    made = os.path.join(stage, "made")
    os.makedirs(made)
    out = os.path.join(made, args.name)
    write_zip(folder, args.name, files, epoch, out + ".zip")
    write_msi(args, stage, folder, epoch, out + ".msi")
    if signing:
        sign(args.sign, [out + ".msi"])
    for path in (out + ".zip", out + ".msi"):
        write_checksum(path)
    # Each package before its checksum file.
    for path in finals:
        os.replace(os.path.join(made, os.path.basename(path)), path)
    for path in finals[::2]:
        print(f"make_packages.py: {path}")


if __name__ == "__main__":
    main()
