// Capture: reads every device of a server, changing nothing, into a fleet
// file that fcboot-emu serves as the server's exact twin.
#pragma once

#include <cstdio>
#include <string>

#include "fleet/fleet.h"

namespace fccapture {

// Exit codes of fcboot-capture, and of fcboot-emu --capture.
constexpr int kCaptureOk = 0;          // every device was read whole
constexpr int kCaptureUsage = 1;       // wrong use
constexpr int kCaptureFile = 2;        // the file could not be written
constexpr int kCaptureIncomplete = 4;  // a read failed: the devices concerned are marked incomplete
constexpr int kCaptureNoDevice = 5;    // no device opened: nothing was written
constexpr int kCaptureBusy = 6;        // another fcboot program held the adapters all the while

// Reads every device at \\.\Scsi0: to \\.\Scsi255: that opens, or whose open
// is refused, into a fleet. A device whose read failed somewhere lists what
// is missing in its `incomplete` field.
fcfleet::Fleet CaptureServer();

// Captures the server and writes the fleet to `path`, replacing a file there
// only with a complete capture. One line per problem goes to `err`, each
// beginning with `program`. Returns the exit code.
int RunCapture(const std::string& path, std::FILE* err, const char* program);

// fcboot-capture's command line: FILE, --help or --version.
int CaptureMain(int argc, char** argv);

}  // namespace fccapture
