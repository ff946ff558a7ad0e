// fcboot-diff: compares two boot configuration files as a load reads them, adapter by adapter.
//
// Both files go through the utility's own section reader, so a section
// counts exactly when a load would apply it and a value is what a load
// would write. Besides the differences of the settings, the report names
// every line of either file that is not blank, a comment line or taken by
// a load exactly as written: sections skipped, lines not taken, text
// before a key or after a value, names padded, text after a Ctrl-Z. Those file findings can also be had
// for one file alone (--lint), to refuse a file before it is loaded. It
// opens no device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fcdiff {

constexpr int kDiffSame = 0;
constexpr int kDiffDifferent = 1;
constexpr int kDiffTrouble = 2;  // a file cannot be read, or wrong use

enum class FindingKind {
    // Differences: the exit code becomes 1.
    NoSection,          // a file holds no complete section
    IncompleteSection,  // a section a load skips: a key is missing
    RejectedSection,    // a section a load skips: a key's value was rejected
    Duplicate,          // a further complete section for one WWID
    TrailingText,       // text after a value or header, which a load ignores
    NotTaken,           // a line that is not blank, no comment, and not taken as written
    TakenWithPrefix,    // a header or key line a load takes despite text before it
    ShortName,          // a world-wide name a load pads on the left
    RepeatedKey,        // a key given twice in a section: a load keeps the later
    Missing,            // an adapter of EXPECTED that ACTUAL lacks
    Value,              // a setting that differs
    Extra,              // with --exact: an adapter of ACTUAL that EXPECTED lacks
    // Notes: cannot change what a load applies; the exit code stays.
    LongLine,  // a line over 255 characters whose further pieces a load passes over
};

struct Finding {
    FindingKind kind = FindingKind::Value;
    std::string file;        // the file named on the command line; empty for comparisons
    std::uint32_t line = 0;  // 0: none
    std::string wwid;        // the adapter, as a save writes it; empty when unknown
    std::string key;
    std::string expected, found;   // Value, Missing, Extra
    std::string written, loadsAs;  // TrailingText, TakenWithPrefix, ShortName, RepeatedKey
    std::string text;              // the report line
};

struct Report {
    std::vector<Finding> differences;  // EXPECTED's order first, then ACTUAL's
    std::vector<Finding> notes;
};

bool IsNote(FindingKind kind);
const char* KindName(FindingKind kind);  // as the JSON form names it

// Reads both files and compares them. False, with *error saying why, when
// either cannot be read to its end.
bool CompareFiles(const std::string& expected, const std::string& actual, bool exact,
                  Report* report, std::string* error);

// The findings of one file on its own: true with report->differences
// holding them (empty: every line is blank, a comment line or taken as written) and
// report->notes the notes; false, with *error saying why, when the file
// cannot be read to its end.
bool LintFile(const std::string& path, Report* report, std::string* error);

// The report as lines (notes after the differences), or as one JSON document.
std::string ReportText(const Report& report);
std::string ReportJson(const Report& report, const std::string& expected, const std::string& actual,
                       bool exact);
std::string LintJson(const Report& report, const std::string& file);

// fcboot-diff [--exact] [--json] EXPECTED ACTUAL, fcboot-diff --lint
// [--json] FILE, and --help, --version:
// the exit code, with what goes to standard output and standard error.
int DiffMain(int argc, const char* const* argv, std::string* out, std::string* err);

}  // namespace fcdiff
