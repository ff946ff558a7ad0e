// Serving the device requests of the emulator's driver from user mode while
// a program runs: the operating system's part of fcboot-emu's serving mode.
// The Windows backend talks to the driver (emudriver/emudriver.h); every
// other build has a backend that refuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fcplat {

// Answers one request message of the driver with one reply message; both
// start with their total length as a 32-bit little-endian word. Returning
// false stops serving: the driver then fails every later request on its
// own.
using DeviceRequestHandler = bool (*)(void* context, const std::vector<std::uint8_t>& request,
                                      std::vector<std::uint8_t>* reply);

// A step of serving made to fail on purpose, for the harness's own tests of
// what a run that cannot be trusted reports.
enum class DeviceServiceFault {
    None,
    TieToJob,  // the program cannot be tied to the serving emulator
    ExitCode,  // the program's exit code cannot be read
};

struct DeviceServiceRun {
    std::vector<std::uint8_t> connect;  // the driver's connect request: which ports to link
    std::string program;                // run with `args` as a process of its own
    std::vector<std::string> args;
    DeviceRequestHandler handler = nullptr;
    void* context = nullptr;
    DeviceServiceFault fault = DeviceServiceFault::None;
};

enum class DeviceServiceOutcome {
    Done,        // the program ran and every request it sent was answered
    NotStarted,  // the driver could not be reached or the program not started
    Broken,      // serving failed while the program ran, or its exit code is unknown
};

// Connects the driver, starts the program, answers the driver's requests
// until the program has ended and the driver has handed over every request
// it sent (the closes of handles the program left open included), then
// disconnects. The program's standard streams are this process's; it is
// stopped when this process ends first. *exitCode is the program's exit
// code, set only with Done; *error says what failed otherwise.
DeviceServiceOutcome ServeDeviceRequests(const DeviceServiceRun& run, int* exitCode,
                                         std::string* error);

}  // namespace fcplat
