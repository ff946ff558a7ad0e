// fcboot-emu's serving mode: the emulated server answering the requests that
// the emulator's driver forwards from a program running as a process of its
// own, through the same entry points the utility reaches in-process.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace fcemu {

// The status a driver completes a request with so that the caller's
// GetLastError gives `error`; none for errors the device path cannot
// deliver.
std::optional<std::uint32_t> StatusOfError(std::uint32_t error);

// Refuses the fault rules the device path cannot deliver: "open" rules
// (Wine completes every open whatever the driver answers) and failures whose
// Windows error has no status. `fleetName` starts the message.
bool CheckServableFleet(const Fleet& fleet, const std::string& fleetName, std::string* error);

// The driver's connection to the running server (StartServer first).
struct DriverConnection {
    std::map<std::uint64_t, void*> opens;  // the driver's file object -> the emulator's handle
    std::string failure;                   // the first harness fault, empty if none
    std::uint64_t requests = 0;
    std::uint64_t abort_after =
        0;  // self-test of the harness: end at once after this many (0: never)
    // Self-test of the driver: the first device control is answered with
    // STATUS_PENDING, a status the driver must refuse.
    bool reply_pending = false;
    // Self-test of the harness: stop answering at the first request, as if
    // stuck, leaving the program waiting.
    bool hang = false;
};

// Answers one request message of the driver through the emulated backend's
// CreateFileA, DeviceIoControl and CloseHandle. Returns false (with
// connection.failure set) when the message itself is malformed.
bool AnswerDriverRequest(DriverConnection& connection, const std::vector<std::uint8_t>& request,
                         std::vector<std::uint8_t>* reply);

struct ServeOptions {
    std::string program;
    std::vector<std::string> args;
    std::uint64_t abort_after = 0;
    // Self-tests of the harness (--fail-step): "tie", "exit-code", "status"
    // or "hang"; empty for none.
    std::string fail_step;
};

// Whether `step` names a step --fail-step can fail.
bool IsFailStep(const std::string& step);

struct ServedRun {
    bool started = false;  // the program ran
    int exit_code = 0;
    std::string failure;  // why the run cannot be trusted, empty if it can
};

// Serves `fleet` while the program runs; the server is left stopped with its
// request log, violations and state for the caller.
ServedRun RunServed(const Fleet& fleet, const ServeOptions& options);

}  // namespace fcemu
