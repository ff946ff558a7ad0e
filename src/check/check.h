// fcboot-check: will this server boot from the SAN? A read-only readiness check in the monitoring-plugin convention.
//
// The check judges one snapshot of a server, a fleet: read live with the
// capture's read-only requests and held in memory, or read from a fleet
// file (a capture, or a twin after a rehearsed load). The same judgement
// serves both, so a rehearsal's verdict is the one the server gives after
// the same load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bootcfg/bootcfg.h"
#include "fleet/fleet.h"

namespace fccheck {

// The monitoring-plugin states; each is also the exit code.
enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };
const char* StateWord(State state);  // "OK", "WARNING", "CRITICAL", "UNKNOWN"

struct Finding {
    State state = State::Ok;
    std::string adapter;  // port name, 16 hex digits; empty when about no adapter
    std::string variant;  // "BIOS", "EFIB", or empty
    std::string kind;     // a short keyword, as the JSON form names it
    std::string key, expected, found;  // a setting that differs
    std::string text;
};

struct Verdict {
    State state = State::Ok;
    std::string summary;
    unsigned adapters = 0, setToBoot = 0, ready = 0, warnings = 0, critical = 0;
    std::vector<Finding> findings;  // worst first, then adapter and variant order
};

// A boot configuration file read as a load reads it, held as what each of
// its complete sections would write, to be compared as saves of `variant`.
struct Expectation {
    std::string path;
    bool efib = false;
    std::vector<fcboot::BootParams> sections;
};

// Reads an --expect or --expect-efi file. False, with *error saying why,
// when it cannot be read to its end or has findings of its own (a load of
// it would skip or ignore something), which make it no measure to judge by.
bool ReadExpectation(const std::string& path, bool efib, Expectation* expectation,
                     std::string* error);

// Judges the served adapters of the fleet, in both variants, and against
// each expectation.
Verdict Judge(const fcfleet::Fleet& fleet, const std::vector<Expectation>& expectations);

// A verdict that judged nothing: the check could not run.
Verdict Unknown(const std::string& why);

// The plugin's output: the status line, then one line per finding; or the
// same as one JSON document.
std::string VerdictText(const Verdict& verdict);
std::string VerdictJson(const Verdict& verdict);

// fcboot-check [--fleet FILE] [--expect FILE] [--expect-efi FILE] [--json],
// --help, --version. Without --fleet it reads this server's devices. The
// exit code, with what goes to standard output and standard error.
int CheckMain(int argc, const char* const* argv, std::string* out, std::string* err);

}  // namespace fccheck
