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
    // An absent adapter: the present ones the file does not name, which may
    // have replaced it ("replaced?"); or, told by a capture from before the
    // swap, the one now at its position ("replaced") and the SAN change.
    std::vector<std::string> candidates;
    std::string successor, sanChange;
    std::string text;
};

// A threshold range in the monitoring-plugin guidelines' syntax: "N"
// (alert outside 0..N), "N:" (below N), "~:N" (above N), "N:M" (outside
// N..M), and any of them after "@" (alert inside instead).
struct Range {
    bool set = false;
    bool inside = false;             // "@": alert when the value is in the range
    bool lowInfinite = false;        // "~"
    bool highInfinite = false;       // nothing after the ':'
    double low = 0, high = 0;
    std::string text;                // as given
};
// False for text that is no range (empty, not a number, start above end).
bool ParseRange(const std::string& text, Range* range);
// True when the value raises the range's alert; never for a range not set.
bool RangeAlerts(const Range& range, double value);

// What the number of ready adapters is judged by: -w and -c.
struct Thresholds {
    Range warning;   // none by default
    Range critical;  // "1:" by default: critical when no adapter is ready
    Thresholds();
};

// Whether one served adapter can boot the server, variant by variant.
struct AdapterReadiness {
    std::string adapter;  // port name, 16 hex digits
    bool ready[2] = {false, false};  // BIOS, EFIB
    bool unread = false;  // not judged: the snapshot lacks some of it
};

struct Verdict {
    State state = State::Ok;
    std::string summary;
    unsigned adapters = 0, setToBoot = 0, ready = 0, warnings = 0, critical = 0;
    // The counts are what the server holds: nothing was left unread, and
    // the check ran. False: no perfdata, which a graph would plot as real.
    bool countsKnown = false;
    Thresholds thresholds;  // what the ready count was judged by
    std::vector<Finding> findings;  // worst first, then adapter and variant order
    std::vector<AdapterReadiness> readiness;  // in the fleet's order
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

// Judges the served adapters of the fleet, in both variants, against each
// expectation, and the number of ready adapters against the thresholds.
// With `before`, a capture taken before a swap, an adapter an expectation
// names that is absent is matched by its position to its successor.
//
// A variant of an adapter is ready when all of these hold: it is set to
// boot; its selected image is in its boot image directory as an entry of
// type 3 whose kind its model takes in that variant; the image's activation
// finished (models that need the staged sequence); where the driver keeps a
// node list, the list is not empty and holds the boot device (a boot device
// of name 0 takes the first target found, so any node will do).
Verdict Judge(const fcfleet::Fleet& fleet, const std::vector<Expectation>& expectations,
              const Thresholds& thresholds = Thresholds(), const fcfleet::Fleet* before = nullptr);

// A verdict that judged nothing: the check could not run.
Verdict Unknown(const std::string& why);

// The plugin's output: the status line, then one line per finding; or the
// same as one JSON document.
std::string VerdictText(const Verdict& verdict);
std::string VerdictJson(const Verdict& verdict);

// fcboot-check [-w RANGE] [-c RANGE] [--fleet FILE] [--expect FILE] [--expect-efi FILE]
// [--before FILE] [--json],
// --help, --version. Without --fleet it reads this server's devices. The
// exit code, with what goes to standard output and standard error.
int CheckMain(int argc, const char* const* argv, std::string* out, std::string* err);

}  // namespace fccheck
