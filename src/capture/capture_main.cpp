// fcboot-capture's command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/capture.h"
#include "fcboot_version.h"


namespace fccapture {
namespace {

const char kUsage[] =
    "usage: fcboot-capture FILE\n"
    "       fcboot-capture --remap BEFORE.json IN.cfg OUT.cfg\n"
    "       fcboot-capture --help | --version\n"
    "\n"
    "Reads every adapter device of this server (\\\\.\\Scsi0: to \\\\.\\Scsi255:), changing\n"
    "nothing on it, and writes FILE: a fleet file that \"fcboot-emu --fleet FILE\"\n"
    "serves as the server's twin.\n"
    "\n"
    "Exit codes: 0 every device read whole; 1 wrong use; 2 FILE could not be\n"
    "written; 4 a read failed (one line each on standard error; an existing FILE\n"
    "is left as it was, a new one is written with those devices marked\n"
    "incomplete); 5 no device found (nothing written).\n"
    "\n"
    "--remap reads the server the same way and writes OUT.cfg: IN.cfg with the\n"
    "section of each adapter that was replaced since the capture BEFORE.json moved\n"
    "to the adapter now at its PCI position, and one line per replacement with\n"
    "the change the SAN needs. Exit codes: 0 OUT.cfg written; 1 an absent adapter\n"
    "has no successor; 2 a file could not be read or written; 4 a read failed;\n"
    "5 no adapter found. Only 0 writes OUT.cfg.\n";

}  // namespace

int CaptureMain(int argc, char** argv) {
    const std::string first = argc > 1 && argv[1] != nullptr ? argv[1] : "";
    if (argc == 2 && first == "--help") {
        std::fputs(kUsage, stdout);
        return kCaptureOk;
    }
    if (argc == 2 && first == "--version") {
        std::printf("%s, dated %s\n", FCBOOT_VERSION_STRING, FCBOOT_VERSION_DATE);
        return kCaptureOk;
    }
    std::string wrong;
    if (argc < 2)
        wrong = "a file name is needed";
    else if (first.size() > 1 && first[0] == '-')
        wrong = "unknown option " + first;
    else if (argc > 2)
        wrong = "one file name only";
    if (!wrong.empty()) {
        std::fprintf(stderr, "fcboot-capture: %s\n%s", wrong.c_str(), kUsage);
        return kCaptureUsage;
    }
    return RunCapture(first, stderr, "fcboot-capture");
}

}  // namespace fccapture
