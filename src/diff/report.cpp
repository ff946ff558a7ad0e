// fcboot-diff's command line and the two forms of its report.
#include <cstdio>
#include <cstring>

#include "diff/diff.h"
#include "fcboot_version.h"

namespace fcdiff {
namespace {

const char kUsage[] =
    "usage: fcboot-diff [--exact] [--json] EXPECTED ACTUAL\n"
    "       fcboot-diff --lint [--json] FILE\n"
    "Compares the boot settings of two boot configuration files, adapter by\n"
    "adapter, as a load reads them; one line per difference, in EXPECTED's order.\n"
    "Every line of either file that is not blank, a comment line (\"#\" first) or\n"
    "taken by a load exactly as written is a difference too. --lint reports\n"
    "those of one file alone.\n"
    "  --exact    also report adapters of ACTUAL that EXPECTED lacks\n"
    "  --lint     check one file before it is loaded\n"
    "  --json     print the report as one JSON document\n"
    "  --help     print this text; --version: the version line\n"
    "Exit code: 0 the same (--lint: the file is clean), 1 a difference (--lint:\n"
    "a finding), 2 trouble (a file cannot be read, wrong use).\n";

// Length of the valid UTF-8 sequence at s (at most n bytes), 0 if none.
std::size_t Utf8Length(const unsigned char* s, std::size_t n) {
    std::size_t length = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || length > n || s[0] > 0xF4) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xED && s[1] >= 0xA0) ||
        (s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90))
        return 0;
    return length;
}

// A JSON string. Names arrive in UTF-8 and pass as they are; a byte that is
// no part of UTF-8 (a Linux name in another encoding, a line of the file
// quoted in a finding) is kept as the character of that value.
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (const std::size_t n = c >= 0x80 ? Utf8Length(p + i, s.size() - i) : 0) {
            out.append(s, i, n);
            i += n - 1;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string JsonFinding(const Finding& x) {
    std::string out = "{\"kind\": " + JsonString(KindName(x.kind));
    const std::pair<const char*, const std::string*> fields[] = {
        {"file", &x.file},         {"wwid", &x.wwid},   {"key", &x.key},
        {"expected", &x.expected}, {"found", &x.found}, {"written", &x.written},
        {"loads_as", &x.loadsAs},
    };
    for (const auto& f : fields) {
        if (!f.second->empty())
            out += std::string(", \"") + f.first + "\": " + JsonString(*f.second);
        if (std::strcmp(f.first, "file") == 0 && x.line != 0)
            out += ", \"line\": " + std::to_string(x.line);
    }
    return out + ", \"text\": " + JsonString(x.text) + "}";
}

std::string JsonList(const std::vector<Finding>& findings) {
    std::string out = "[";
    for (std::size_t i = 0; i < findings.size(); ++i)
        out += (i ? ",\n    " : "\n    ") + JsonFinding(findings[i]);
    return out + (findings.empty() ? "]" : "\n  ]");
}

int Trouble(const std::string& what, bool withUsage, std::string* err) {
    *err = "fcboot-diff: " + what + "\n" + (withUsage ? kUsage : "");
    return kDiffTrouble;
}

}  // namespace

std::string ReportText(const Report& report) {
    std::string out;
    for (const Finding& x : report.differences) out += x.text + "\n";
    for (const Finding& x : report.notes) out += x.text + "\n";
    return out;
}

std::string ReportJson(const Report& report, const std::string& expected, const std::string& actual,
                       bool exact) {
    return "{\n  \"expected\": " + JsonString(expected) + ",\n  \"actual\": " + JsonString(actual) +
           ",\n  \"exact\": " + (exact ? "true" : "false") +
           ",\n  \"same\": " + (report.differences.empty() ? "true" : "false") +
           ",\n  \"differences\": " + JsonList(report.differences) +
           ",\n  \"notes\": " + JsonList(report.notes) + "\n}\n";
}

std::string LintJson(const Report& report, const std::string& file) {
    return "{\n  \"file\": " + JsonString(file) +
           ",\n  \"clean\": " + (report.differences.empty() ? "true" : "false") +
           ",\n  \"differences\": " + JsonList(report.differences) +
           ",\n  \"notes\": " + JsonList(report.notes) + "\n}\n";
}

int DiffMain(int argc, const char* const* argv, std::string* out, std::string* err) {
    bool exact = false, json = false, lint = false, optionsDone = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsDone || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "--exact") {
            exact = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--lint") {
            lint = true;
        } else if (arg == "--help") {
            *out = kUsage;
            return kDiffSame;
        } else if (arg == "--version") {
            *out = FCBOOT_VERSION_STRING ", dated " FCBOOT_VERSION_DATE "\n";
            return kDiffSame;
        } else {
            return Trouble("unknown option: " + arg, true, err);
        }
    }
    Report report;
    std::string error;
    if (lint) {
        if (exact) return Trouble("--exact compares two files; --lint checks one", true, err);
        if (files.size() != 1) return Trouble("--lint needs one file", true, err);
        if (!LintFile(files[0], &report, &error)) return Trouble(error, false, err);
        *out = json ? LintJson(report, files[0]) : ReportText(report);
        return report.differences.empty() ? kDiffSame : kDiffDifferent;
    }
    if (files.size() != 2) return Trouble("needs two files, EXPECTED and ACTUAL", true, err);

    if (!CompareFiles(files[0], files[1], exact, &report, &error))
        return Trouble(error, false, err);
    *out = json ? ReportJson(report, files[0], files[1], exact) : ReportText(report);
    return report.differences.empty() ? kDiffSame : kDiffDifferent;
}

}  // namespace fcdiff
