// fcboot-diff: pairs of files written out here, judged by the exact report
// lines, the JSON form read back against them, and the exit code; a load
// with a failing adapter and files a load takes other than as written
// caught through the emulator, as the verify flow runs; the one-file check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "diff/diff.h"
#include "support/harness.h"

namespace {

struct DiffRun {
    int code = -1;
    std::string out, err;
};

// fcboot-diff ARGS..., in the current folder; want.cfg now.cfg when ARGS
// names no file.
DiffRun Invoke(std::vector<std::string> args) {
    args.insert(args.begin(), "fcboot-diff");
    if (args.size() == 1 || args.back().compare(0, 2, "--") == 0)
        args.insert(args.end(), {"want.cfg", "now.cfg"});
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    DiffRun r;
    r.code = fcdiff::DiffMain(static_cast<int>(argv.size()), argv.data(), &r.out, &r.err);
    return r;
}

// The same in a fresh folder, where want.cfg and now.cfg hold `want` and `now`.
DiffRun Diff(const std::string& want, const std::string& now, const std::vector<std::string>& args = {}) {
    std::filesystem::current_path(fctest::TempDir());
    fctest::WriteFileBytes("want.cfg", want);
    fctest::WriteFileBytes("now.cfg", now);
    return Invoke(args);
}

std::string Section(const std::string& wwid, const std::string& lun = "0", const char* header = "[HBA0]",
                    const std::string& device = "500000000000a001") {
    return fctest::Section(wwid, "1", "1", device, lun, header);
}

const std::string kA = "1000000000000001", kB = "1000000000000002";
const std::string kTwo = Section(kA) + Section(kB, "0", "[HBA1]", "0");

// The worked example of the user's guide, which the demo server holds.
const std::string kWorked = fctest::ReadFileBytes(FCBOOT_SOURCE_DIR "/examples/boot.cfg");

// `text` with its line `line` (from 1) replaced by `by`, which may be
// several lines or none.
std::string WithLine(const std::string& text, std::size_t line, const std::string& by) {
    std::size_t from = 0;
    for (std::size_t n = 1; n < line; ++n) from = text.find('\n', from) + 1;
    const std::size_t to = text.find('\n', from) + 1;
    return text.substr(0, from) + by + text.substr(to);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The findings of a --json report as "kind:line" words, differences first,
// notes marked with a "note " before them.
std::string KindsAndLines(const std::string& json) {
    const nlohmann::json doc = nlohmann::json::parse(json);
    std::string out;
    for (const char* list : {"differences", "notes"})
        for (const nlohmann::json& x : doc[list])
            out += std::string(out.empty() ? "" : " ") + (list[0] == 'n' ? "note " : "") +
                   x.value("kind", std::string()) + ":" + std::to_string(x.value("line", 0));
    return out;
}

// Files that differ only in form are the same; every other difference has
// its line.
TEST(FcbootDiff, EachPairGetsItsVerdictAndItsLines) {
    const std::string crlf = "[HBA9]\r\nwwid=1000000000000002\r\nhostadapterbiosenable=01\r\n"
                             "SelectBootEnable = 1 ; by hand\r\n  # by hand\r\n;\r\n"
                             "BootDeviceLUN[0]=00000\r\nBootDeviceWWID=0000000000000000\r\n";
    std::string utf16 = "\xff\xfe";
    for (char c : Section(kA)) utf16 += std::string(1, c) + '\0';
    const std::string keywords = "the keywords are WWID, HostAdapterBiosEnable, SelectBootEnable, "
                                 "BootDeviceWWID and BootDeviceLUN[0]\n";
    const std::string nothing = "want.cfg: no complete section, so a load changes nothing: ";
    constexpr int same = fcdiff::kDiffSame, differ = fcdiff::kDiffDifferent;
    const struct {
        const char* name;
        std::string want, now;
        std::vector<std::string> args;
        int code;
        std::string out;
    } cases[] = {
        {"sections swapped, headers renumbered", kTwo,
         Section(kB, "0", "[HBA7]", "0") + Section(kA, "0", "[HBA]"), {}, same, ""},
        {"hex case, leading zeros, CR LF, comment lines", kTwo,
         Section(kA, "0", "[HBA0]", "500000000000A001") + crlf, {}, same, ""},
        {"a comment after a value", kTwo, Section(kA, "0 ; boot LUN") + Section(kB, "0", "[HBA1]", "0"), {}, same, ""},
        {"an adapter only in ACTUAL, without --exact", Section(kA), kTwo, {}, same, ""},
        {"a short WWID is the same adapter, but no name as written", Section("00000000000000A1"), Section("a1"), {}, differ,
         "now.cfg:2: WWID a1 is shorter than 16 digits; a load pads it on the left to 00000000000000a1\n"},
        {"value", kTwo, Section(kA, "3") + Section(kB, "0", "[HBA1]", "0"), {}, differ,
         "1000000000000001 BootDeviceLUN[0]: expected 0, found 3\n"},
        {"adapter missing", kTwo, Section(kB, "0", "[HBA1]", "0"), {}, differ,
         "1000000000000001: missing from now.cfg\n"},
        {"adapter extra, --exact", Section(kA), kTwo, {"--exact"}, differ,
         "1000000000000002: only in now.cfg, not in want.cfg\n"},
        {"grouped name and trailing number", Section(kA, "1 0", "[HBA0]", "5000 0000 0000 a001"), Section(kA), {},
         differ,
         "1000000000000001 BootDeviceWWID: expected 0000000000005000, found 500000000000a001\n"
         "1000000000000001 BootDeviceLUN[0]: expected 1, found 0\n"
         "want.cfg:5: BootDeviceWWID: text after the value is ignored: \"5000 0000 0000 a001\" loads as "
         "0000000000005000\n"
         "want.cfg:6: BootDeviceLUN[0]: text after the value is ignored: \"1 0\" loads as 1\n"},
        {"incomplete and rejected sections",
         Section(kA, "300") + "[HBA1]\nWWID=" + kB + "\nBootDeviceLUN=0\n" + Section(kB, "0", "[HBA1]", "0"), kTwo, {},
         differ,
         "want.cfg:1: section \"[HBA0]\" of 1000000000000001 is rejected by a load: BootDeviceLUN[0] \"300\" "
         "at line 6 is not a number from 0 to 255; the header at line 8 starts afresh\n"
         "want.cfg:8: section \"[HBA1]\" of 1000000000000002 is skipped by a load: no HostAdapterBiosEnable, "
         "SelectBootEnable, BootDeviceWWID, BootDeviceLUN[0]; the header at line 11 starts afresh\n"
         "want.cfg:10: \"BootDeviceLUN=0\" is not taken by a load: " + keywords},
        {"a section both rejected and short of keys",
         "[HBA0]\nWWID=" + kA + "\nHostAdapterBiosEnable=1\nBootDeviceLUN[0]=300\n" +
             Section(kB, "0", "[HBA1]", "0"),
         kTwo, {}, differ,
         "want.cfg:1: section \"[HBA0]\" of 1000000000000001 is rejected by a load: BootDeviceLUN[0] \"300\" "
         "at line 4 is not a number from 0 to 255; no SelectBootEnable, BootDeviceWWID; the header at line 5 "
         "starts afresh\n"},
        {"a WWID twice", kTwo + Section(kA, "2", "[HBA2]"), kTwo, {}, differ,
         "want.cfg:15: section \"[HBA2]\" of 1000000000000001 repeats a WWID (first at line 1); a load "
         "applies both, the later last\n"
         "1000000000000001 BootDeviceLUN[0]: expected 2, found 0\n"},
        {"a stray header, escaped; names short and only in ACTUAL", kTwo,
         Section(kA, "3") + "[hba1] \"x\"\t\xff\n" + Section("a1"), {"--exact"}, differ,
         "1000000000000001 BootDeviceLUN[0]: expected 0, found 3\n1000000000000002: missing from now.cfg\n"
         "now.cfg:8: \"[hba1] \\\"x\\\"\\x09\\xff\" is not taken by a load: a header is written \"[HBA\" in "
         "capitals\n00000000000000a1: only in now.cfg, not in want.cfg\nnow.cfg:10: WWID a1 is shorter than 16 digits; a load pads it on the left to "
         "00000000000000a1\n"},
        {"empty", "", kTwo, {}, differ, nothing + "the file holds no text\n"},
        {"UTF-16", utf16, kTwo, {}, differ,
         nothing + "it is UTF-16 text (as Windows PowerShell 5.1 writes with >); save it as ASCII or UTF-8\n"
                   "want.cfg:1: \"\\xff\\xfe[\" is not taken by a load: it comes before the first section header\n"
                   "want.cfg:1: the line holds NUL bytes (8 lines in all); a load reads a line only up to "
                   "the first\n"},
        {"header in small letters", "[hba0]\n", kTwo, {}, differ,
         nothing + "line 1: \"[hba0]\" is not taken by a load: a header is written \"[HBA\" in capitals\n"
                   "want.cfg:1: \"[hba0]\" is not taken by a load: a header is written \"[HBA\" in capitals\n"},
        {"header with a blank", "[HBA 0]\n", kTwo, {}, differ,
         nothing + "line 1: \"[HBA 0]\" is not taken by a load: a header is one word, \"[HBA\" n \"]\", without "
                   "blanks\nwant.cfg:1: \"[HBA 0]\" is not taken by a load: a header is one word, \"[HBA\" n "
                   "\"]\", without blanks\n"},
        {"key misspelt", Section(kA).replace(Section(kA).find("LUN[0]"), 6, "LUN"), kTwo, {}, differ,
         nothing + "line 6: \"BootDeviceLUN=0\" is not taken by a load: " + keywords +
             "want.cfg:1: section \"[HBA0]\" of 1000000000000001 is skipped by a load: no BootDeviceLUN[0]\n"
             "want.cfg:6: \"BootDeviceLUN=0\" is not taken by a load: " + keywords},
    };
    for (const auto& c : cases) {
        const DiffRun r = Diff(c.want, c.now, c.args);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        // The JSON form carries the same lines, a value's fields apart too.
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const nlohmann::json doc = nlohmann::json::parse(Invoke(args).out);
        EXPECT_EQ(doc["expected"], "want.cfg");
        EXPECT_EQ(doc["same"], c.code == same);
        std::string lines;
        for (const char* list : {"differences", "notes"})
            for (const nlohmann::json& x : doc[list]) {
                const auto at = [&](const char* key) { return x.value(key, std::string()); };
                lines += at("text") + "\n";
                if (at("kind") == "value") {
                    EXPECT_EQ(at("text"), at("wwid") + " " + at("key") + ": expected " + at("expected") +
                                              ", found " + at("found"));
                }
            }
        EXPECT_EQ(lines, c.out) << c.name;
    }
}

TEST(FcbootDiff, TroubleEndsWith2AndHelpWith0) {
    const struct { std::vector<std::string> args; const char* err; } cases[] = {
        {{"want.cfg", "missing.cfg"}, "fcboot-diff: cannot read missing.cfg"},
        {{"want.cfg", "."}, "fcboot-diff: cannot read ."},  // a folder
        {{"want.cfg"}, "fcboot-diff: needs two files, EXPECTED and ACTUAL\nusage: "},
        {{"want.cfg", "now.cfg", "now.cfg"}, "fcboot-diff: needs two files"},
        {{"--exact", "--color", "want.cfg", "now.cfg"}, "fcboot-diff: unknown option: --color\nusage: "},
        {{"--lint", "missing.cfg"}, "fcboot-diff: cannot read missing.cfg"},
        {{"--lint", "--json", "."}, "fcboot-diff: cannot read ."},
        {{"--lint"}, "fcboot-diff: --lint needs one file\nusage: "},  // want.cfg now.cfg
        {{"--lint", "--exact", "want.cfg"}, "fcboot-diff: --exact compares two files; --lint checks one\n"},
    };
    for (const auto& c : cases) {
        const DiffRun r = Diff(kTwo, kTwo, c.args);
        EXPECT_EQ(r.code, fcdiff::kDiffTrouble) << c.args.back();
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_EQ(r.err.compare(0, std::string(c.err).size(), c.err), 0) << r.err;
    }
    const DiffRun help = Invoke({"--help"});
    EXPECT_EQ(help.code, fcdiff::kDiffSame);
    EXPECT_EQ(help.out.compare(0, 19, "usage: fcboot-diff "), 0);
    EXPECT_NE(help.out.find("fcboot-diff --lint [--json] FILE"), std::string::npos);
    fcdiff::Report report;
    std::string error;
    EXPECT_FALSE(fcdiff::LintFile("missing.cfg", &report, &error));
    EXPECT_EQ(error.compare(0, 24, "cannot read missing.cfg:"), 0) << error;
    EXPECT_EQ(Invoke({"--version"}).out, std::string(FCBOOT_VERSION_LINE) + "\n");
}

// A load whose write fails on one adapter still ends with 0; a save and
// fcboot-diff find exactly that adapter.
TEST(FcbootDiff, CatchesTheAdapterALoadDidNotReach) {
    const std::string want = Section("1000000000000001", "5", "[HBA0]", "2100000000000042") +
                             Section("1000000000000002", "6", "[HBA1]", "2100000000000043");
    for (const bool fault : {false, true}) {
        fcemu::Fleet fleet = fcemu::DemoFleet();
        if (fault) {
            fcemu::FaultRule rule;
            rule.match = "mailbox:27", rule.value = 31;
            fleet.devices[1].faults.push_back(rule);
        }
        std::filesystem::current_path(fctest::TempDir());
        fctest::WriteFileBytes("want.cfg", want);
        const fctest::RunResult load = fctest::RunUtility(fleet, {"/l", "want.cfg"});
        EXPECT_EQ(load.exit_code, 0);
        ASSERT_EQ(fctest::RunUtility(load.fleet_after, {"/s", "now.cfg"}).exit_code, 0);
        const DiffRun r = Invoke({});
        EXPECT_EQ(r.code, fault ? fcdiff::kDiffDifferent : fcdiff::kDiffSame);
        EXPECT_EQ(r.out, fault ? "1000000000000002 HostAdapterBiosEnable: expected 1, found 0\n"
                                 "1000000000000002 SelectBootEnable: expected 1, found 0\n"
                                 "1000000000000002 BootDeviceWWID: expected 2100000000000043, found 0000000000000000\n"
                                 "1000000000000002 BootDeviceLUN[0]: expected 6, found 0\n"
                               : "");
    }
}

// The verify flow on files a load takes other than as written: the load and
// the save end with 0, and fcboot-diff must not say "the same". Then the
// harmless ways of writing a file, which must still verify.
TEST(FcbootDiff, VerifiesOnlyWhatALoadTookAsWritten) {
    const std::string second = "WWID=1000000000000002\nHostAdapterBiosEnable=1\nSelectBootEnable=0\n"
                               "BootDeviceWWID=500000000000b002\nBootDeviceLUN[0]=2\n";
    const std::string first = kWorked.substr(0, kWorked.find("[HBA1]"));
    // Lines a load ignores after the first section's fifth key, each with
    // the file as its writer meant it (which the adapters then do not hold).
    const struct {
        const char* name;
        std::string file;
        std::string findings;  // KindsAndLines of want.cfg's; empty: it verifies
        std::string meant;     // the file as meant, which a save must differ from
    } cases[] = {
        {"HostAdaptorBiosEnable, misspelt", WithLine(kWorked, 7, "HostAdaptorBiosEnable=0\n\n"), "not-taken:7",
         WithLine(kWorked, 3, "HostAdapterBiosEnable=0\n")},
        {"Boot DeviceLUN[0], a blank inside", WithLine(kWorked, 7, "Boot DeviceLUN[0]=3\n\n"), "not-taken:7",
         WithLine(kWorked, 6, "BootDeviceLUN[0]=3\n")},
        {"Select Boot Enable", WithLine(kWorked, 7, "Select Boot Enable=0\n\n"), "not-taken:7",
         WithLine(kWorked, 4, "SelectBootEnable=0\n")},
        {"a non-breaking space before the keyword", WithLine(kWorked, 7, "\xC2\xA0" "BootDeviceLUN[0]=3\n\n"),
         "not-taken:7", WithLine(kWorked, 6, "BootDeviceLUN[0]=3\n")},
        {"junk", WithLine(kWorked, 7, "junk\n\n"), "not-taken:7", {}},
        {"free text", WithLine(kWorked, 7, "Saved before the firmware update\n\n"), "not-taken:7", {}},
        {"free text inside a section", WithLine(kWorked, 3, "Saved before the update\nHostAdapterBiosEnable=1\n"),
         "not-taken:3", {}},
        {"a boot device line read in pieces",
         WithLine(kWorked, 5, std::string(224, ' ') + "BootDeviceWWID=500000000000a0011\n"), "not-taken:5", {}},
        {"a Ctrl-Z before the second section", first + "\x1a[HBA1]\n" + second,
         "not-taken:8", first + "[HBA1]\n" + second},
        {"a Ctrl-Z inside a line", WithLine(kWorked, 9, "WWID=1000000000000002\x1a\n"), "incomplete-section:8 not-taken:10", {}},
        {"a second section headed [hba1]", first + "[hba1]\n" + second,
         "not-taken:8 not-taken:9 not-taken:10 not-taken:11 not-taken:12 not-taken:13", {}},
        {"a second section headed [HBA 1]", first + "[HBA 1]\n" + second,
         "not-taken:8 not-taken:9 not-taken:10 not-taken:11 not-taken:12 not-taken:13", {}},
        {"a LUN appended after the fifth key", WithLine(kWorked, 7, "BootDeviceLUN[0]=3\n\n"), "not-taken:7",
         WithLine(kWorked, 6, "BootDeviceLUN[0]=3\n")},
        {"a key line before the first header", "BootDeviceLUN[0]=3\n" + kWorked, "not-taken:1", {}},
        {"a digit lost from a name", WithLine(kWorked, 5, "BootDeviceWWID=50000000000a001\n"), "short-name:5", {}},
        {"a \";\" meant as a comment", WithLine(kWorked, 6, ";BootDeviceLUN[0]=7\nBootDeviceLUN[0]=3\n"),
         "taken-with-prefix:6 not-taken:7", {}},
        {"a grouped name", WithLine(kWorked, 5, "BootDeviceWWID=5000 0000 0000 a001\n"), "trailing-text:5", {}},
        {"a header meant as a comment", WithLine(kWorked, 7, "#[HBA9] retired\n"),
         "taken-with-prefix:7 trailing-text:7 incomplete-section:7", {}},
        {"a key given twice", WithLine(kWorked, 3, "HostAdapterBiosEnable=0\nHostAdapterBiosEnable=1\n"),
         "repeated-key:4", {}},
        {"a key given twice, the same", WithLine(kWorked, 3, "HostAdapterBiosEnable=1\nhostadapterbiosenable=01\n"), "", {}},
        // What must still verify.
        {"the worked example", kWorked, "", {}},
        {"CR LF", Replaced(kWorked, "\n", "\r\n"), "", {}},
        {"lower-case keys and upper-case hex digits",
         Replaced(Replaced(Replaced(kWorked, "WWID=", "wwid="), "BootDeviceLUN", "bootdevicelun"), "a001", "A001"), "", {}},
        {"BootDeviceWWID=0", Replaced(kWorked, "=0000000000000000", "=0"), "", {}},
        {"comments after values and headers", Replaced(Replaced(Replaced(kWorked, "LUN[0]=0\n\n", "LUN[0]=0 ; boot LUN\n\n"),
                                                                "Enable=1\n", "Enable=1 # on\n"), "[HBA1]", "[HBA1] # x"),
         "", {}},
        {"comment lines, indented too", "# [HBA7] retired\n#WWID=1000000000000007\n   # moved\n" +
                               WithLine(kWorked, 3, "# BootDeviceLUN[0]=7\n#[HBA\n   # moved to the new array\n"
                                                    "\t#WWID=1000000000000007\nHostAdapterBiosEnable=1\n"),
         "", {}},
        {"blank lines and a Ctrl-Z as the last byte", Replaced(kWorked, "\n\n", "\n \t\n;\n") + "\x1a", "", {}},
        {"CR LF and a Ctrl-Z at the end", Replaced(kWorked, "\n", "\r\n") + "\x1a\r\n", "", {}},
        {"UTF-8 with a byte order mark", "\xEF\xBB\xBF" + kWorked, "", {}},
        {"a line of 255 characters", std::string(255, '#') + "\n" + kWorked, "", {}},
    };
    for (const auto& c : cases) {
        std::filesystem::current_path(fctest::TempDir());
        fctest::WriteFileBytes("want.cfg", c.file);
        const fctest::RunResult load = fctest::RunUtility(fcemu::DemoFleet(), {"/l", "want.cfg"});
        EXPECT_EQ(load.exit_code, 0) << c.name;
        ASSERT_EQ(fctest::RunUtility(load.fleet_after, {"/s", "now.cfg"}).exit_code, 0) << c.name;
        const DiffRun r = Invoke({});
        EXPECT_EQ(r.code, c.findings.empty() ? fcdiff::kDiffSame : fcdiff::kDiffDifferent) << c.name;
        // Nothing printed, or first the finding's file and line.
        const std::size_t colon = c.findings.find(':');
        const std::string named =
            c.findings.empty() ? "" : "want.cfg" + c.findings.substr(colon, c.findings.find(' ') - colon) + ": ";
        EXPECT_EQ(r.out.substr(0, c.findings.empty() ? std::string::npos : named.size()), named) << c.name;
        EXPECT_EQ(KindsAndLines(Invoke({"--json"}).out), c.findings) << c.name;
        // The one-file check finds the same before anything is loaded.
        const DiffRun lint = Invoke({"--lint", "--json", "want.cfg"});
        EXPECT_EQ(lint.code, r.code) << c.name;
        EXPECT_EQ(KindsAndLines(lint.out), c.findings) << c.name;
        // And the adapters do not hold what the writer meant.
        if (c.meant.empty()) continue;
        fctest::WriteFileBytes("meant.cfg", c.meant);
        EXPECT_NE(KindsAndLines(Invoke({"--json", "meant.cfg", "now.cfg"}).out).find("value:"), std::string::npos)
            << c.name;
    }
}

// The one-file check on each finding kind: its exit code, the kind and line
// in --json, and the text form's lines. Line numbers hold after lines
// longer than 255 characters, which a load reads in pieces.
TEST(FcbootDiff, LintNamesEachFindingAndItsLine) {
    const std::string a = Section(kA), b = Section(kB, "0", "[HBA1]", "0");
    const std::string head = "[HBA0]\nWWID=" + kA + "\n", rest = "HostAdapterBiosEnable=1\nSelectBootEnable=1\n"
                                                                   "BootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=0\n";
    const std::string long300 = "#" + std::string(299, '-') + "\n", long600 = "#" + std::string(599, '-') + "\n";
    const struct {
        const char* name;
        std::string file;
        std::string findings;  // KindsAndLines
    } cases[] = {
        {"clean", kTwo, ""},
        {"no complete section", "# nothing\n", "no-section:0"},
        {"a section lacks a key", head + "HostAdapterBiosEnable=1\n", "no-section:0 incomplete-section:1"},
        {"a section's value is rejected", WithLine(a, 6, "BootDeviceLUN[0]=256\n") + b, "rejected-section:1"},
        {"a rejected value beside a good one", WithLine(a, 6, "BootDeviceLUN[0]=x\nBootDeviceLUN[0]=0\n") + b,
         "not-taken:6"},
        {"a WWID twice", a + b + Section(kA, "0", "[HBA2]"), "duplicate:15"},
        {"text after a value", WithLine(a, 6, "BootDeviceLUN[0]=0 1\n"), "trailing-text:6"},
        {"text after a header", WithLine(a, 1, "[HBA0] adapter one\n"), "trailing-text:1"},
        {"a misspelt key", WithLine(a, 6, "BootDeviceLUN=3\nBootDeviceLUN[0]=0\n"), "not-taken:6"},
        {"a keyword of two words", WithLine(a, 6, "x BootDeviceLUN[0]=3\nBootDeviceLUN[0]=0\n"), "not-taken:6"},
        {"a header not alone on its line in a section", head + "[HBA1] ; next\n" + rest, "not-taken:3"},
        {"a \"=\" before a keyword", WithLine(a, 6, "=BootDeviceLUN[0]=0\n"), "taken-with-prefix:6"},
        {"a \";\" before a header", ";" + a, "taken-with-prefix:1"},
        {"a name with a digit lost", WithLine(a, 2, "WWID=100000000000001\n"), "short-name:2"},
        {"a key given twice", WithLine(a, 4, "SelectBootEnable=0\nSelectBootEnable=1\n"), "repeated-key:5"},
        {"NUL bytes", a + std::string("# x\0y\n", 6), "not-taken:8"},
        // A control character quoted in a finding: the report stays JSON.
        {"a control character after a value", WithLine(a, 6, "BootDeviceLUN[0]=0 \x01\x1f\n"), "trailing-text:6"},
        {"findings after long lines name their own lines",
         head + long300 + long600 + std::string(255, '#') + "\n" + rest.substr(0, 43) + "BootDeviceWWID=a001\n" +
             "BootDeviceLUN[0]=0 x\n",
         "short-name:8 trailing-text:9 note long-line:3 note long-line:4"},
        {"a key in the tail of a long line", head + "#" + std::string(254, '-') + "SelectBootEnable=0\n" + rest,
         "not-taken:3 repeated-key:5"},
        {"free text past the first 255 characters", a + std::string(260, ' ') + "junk\n", "not-taken:8"},
        {"a comment past the first 255 characters", a + std::string(260, ' ') + "# note\n", "note long-line:8"},
    };
    for (const auto& c : cases) {
        std::filesystem::current_path(fctest::TempDir());
        fctest::WriteFileBytes("boot.cfg", c.file);
        const DiffRun json = Invoke({"--lint", "--json", "boot.cfg"});
        const bool clean = c.findings.empty() || c.findings.compare(0, 5, "note ") == 0;
        EXPECT_EQ(json.code, clean ? fcdiff::kDiffSame : fcdiff::kDiffDifferent) << c.name;
        EXPECT_EQ(KindsAndLines(json.out), c.findings) << c.name;
        const nlohmann::json doc = nlohmann::json::parse(json.out);
        EXPECT_EQ(doc["file"], "boot.cfg");
        EXPECT_EQ(doc["clean"], clean) << c.name;
        // The text form: the same findings, one line each, with the same lines.
        const DiffRun text = Invoke({"--lint", "boot.cfg"});
        EXPECT_EQ(text.code, json.code) << c.name;
        std::string lines;
        for (const char* list : {"differences", "notes"})
            for (const nlohmann::json& x : doc[list]) lines += x.value("text", std::string()) + "\n";
        EXPECT_EQ(text.out, lines) << c.name;
        for (const char* list : {"differences", "notes"})
            for (const nlohmann::json& x : doc[list])
                if (x.value("line", 0) != 0) {
                    const std::string at = std::string(list[0] == 'n' ? "note: " : "") + "boot.cfg:" +
                                           std::to_string(x.value("line", 0)) + ": ";
                    EXPECT_EQ(x.value("text", std::string()).compare(0, at.size(), at), 0) << c.name;
                }
    }
}

// What a JSON reader must find where a report quotes `bytes`: every
// well-formed UTF-8 sequence as itself, every other byte as the character of
// its value. Judged by the code point a sequence spells (no overlong form, no
// surrogate, nothing beyond U+10FFFF), not by tables of lead bytes.
std::string AsAJsonReaderFindsIt(const std::string& bytes) {
    const auto encode = [](std::uint32_t cp) {
        if (cp < 0x80) return std::string(1, static_cast<char>(cp));
        return std::string{static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
    };
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        bool whole = n != 0 && i + n <= bytes.size();
        for (std::size_t k = 1; whole && k < n; ++k) {
            const auto d = static_cast<unsigned char>(bytes[i + k]);
            whole = d >> 6 == 2;
            cp = cp << 6 | (d & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (whole && cp >= least[n] && (cp < 0xD800 || cp > 0xDFFF) && cp <= 0x10FFFF) {
            out.append(bytes, i, n);
            i += n;
        } else {
            out += encode(c);
            ++i;
        }
    }
    return out;
}

// A finding quotes the line's bytes as they are: random bytes, most of them
// near the edges of UTF-8, after a value; the JSON report must stay JSON and
// read back as those bytes. FCBOOT_SEED=N repeats a run.
TEST(FcbootDiff, AQuotedLineReadsBackFromTheJsonReport) {
    const unsigned seed = fctest::RandomSeed();
    SCOPED_TRACE("FCBOOT_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    const auto from = [&](const std::string& set) { return set[random() % set.size()]; };
    const std::string leads = "\xC0\xC1\xC2\xDF\xE0\xE1\xED\xEE\xEF\xF0\xF1\xF4\xF5\xF7\xF8\xFF\x80\xBF";
    const std::string follows = "\x80\x8F\x90\x9F\xA0\xBF\xC0" "a";
    const std::string plain = "a\"\\\x01\x1f\x7f ";
    std::filesystem::current_path(fctest::TempDir());
    for (int n = 0; n < 400; ++n) {
        std::string tail = "x";
        for (std::size_t piece = 1 + random() % 6; piece > 0; --piece) {
            if (random() % 4 == 0) {
                tail += from(plain);
                continue;
            }
            tail += from(leads);
            for (std::size_t k = random() % 4; k > 0; --k) tail += from(follows);
        }
        tail += "x";
        fctest::WriteFileBytes("boot.cfg", WithLine(Section(kA), 6, "BootDeviceLUN[0]=0 " + tail + "\n"));
        const DiffRun r = Invoke({"--lint", "--json", "boot.cfg"});
        const nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << "no JSON for the line number " << n << ":\n" << r.out;
        ASSERT_EQ(doc["differences"].size(), 1u) << r.out;
        EXPECT_EQ(doc["differences"][0].value("written", std::string()), AsAJsonReaderFindsIt("0 " + tail))
            << "line number " << n;
    }
}

// A header a load does not take says why, so that the fix is plain: the
// capitals, or the blank; a "#" line that looks like one is a comment.
TEST(FcbootDiff, LintSaysWhyAHeaderIsNotTaken) {
    const struct {
        const char* header;
        const char* why;  // empty: no finding
    } cases[] = {
        {"[hba1]", "a header is written \"[HBA\" in capitals"},
        {"[HBA 1]", "a header is one word, \"[HBA\" n \"]\", without blanks"},
        {"HBA10]", "a header begins with \"[\": \"[HBA\" n \"]\""},
        {"# [HBA1]", ""},
    };
    for (const auto& c : cases) {
        std::filesystem::current_path(fctest::TempDir());
        fctest::WriteFileBytes("boot.cfg", Section(kA) + c.header + "\n" + Section(kB).substr(7));
        const DiffRun r = Invoke({"--lint", "boot.cfg"});
        const std::string first = r.out.substr(0, r.out.find('\n'));
        if (*c.why == '\0') {
            EXPECT_EQ(first.find("boot.cfg:8:"), std::string::npos) << c.header << ": " << r.out;
            continue;
        }
        EXPECT_EQ(first, std::string("boot.cfg:8: \"") + c.header + "\" is not taken by a load: " + c.why)
            << r.out;
    }
}

// A reader of the file format of its own, written from the format's rules
// and apart from the program's code. True when every line of the file is
// blank, a comment line, or taken by a load exactly as written; otherwise
// *why names the first line that is not.
bool EveryLineTaken(std::string file, std::string* why) {
    const auto delimiter = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ';'; };
    const auto blank = [&](const std::string& t) {
        for (char c : t)
            if (!delimiter(c)) return false;
        return true;
    };
    const auto comment = [](const std::string& t) {
        const std::size_t at = t.find_first_not_of(" \t");
        return at != std::string::npos && t[at] == '#';
    };
    // Windows text mode: the file ends at the first Ctrl-Z, CR LF is LF.
    const std::size_t ctrlZ = file.find('\x1a');
    if (ctrlZ != std::string::npos) {
        if (file.find_first_not_of(" \t\r\n;\x1a", ctrlZ) != std::string::npos) return *why = "text after a Ctrl-Z", false;
        file.resize(ctrlZ);
    }
    if (file.find('\0') != std::string::npos) return *why = "a NUL byte", false;
    file = Replaced(file, "\r\n", "\n");

    // (first word at, its length) of t from `from` on; at = npos if none.
    const auto word = [&](const std::string& t, std::size_t from) {
        while (from < t.size() && delimiter(t[from])) ++from;
        std::size_t end = from;
        while (end < t.size() && !delimiter(t[end])) ++end;
        return std::make_pair(from < t.size() ? from : std::string::npos, end - from);
    };
    const auto header = [&](const std::string& w) {
        const std::size_t at = w.find("[HBA");
        return at != std::string::npos && w.find(']', 4) != std::string::npos;
    };
    const auto digits = [](const std::string& v, const char* set, std::size_t most) {
        return !v.empty() && v.size() <= most && v.find_first_not_of(set) == std::string::npos;
    };
    const char* const keys[] = {"wwid", "hostadapterbiosenable", "selectbootenable", "bootdevicewwid", "bootdevicelun[0]"};

    // A header word as a load takes it as written: only blanks before it
    // (a lone CR among them, which no editor shows as text), "[HBA" first,
    // and after its last "]" at most a comment.
    const auto headerAsWritten = [&](const std::string& t, std::size_t w, const std::string& h) {
        if (h.rfind("[HBA", 0) != 0 || w != t.find_first_not_of(" \t\r")) return false;
        const std::string rest = t.substr(w + h.rfind(']') + 1);
        const std::size_t r = rest.find_first_not_of(" \t\r");
        return r == std::string::npos || rest[r] == ';' || rest[r] == '#';
    };

    std::vector<bool> ok;               // per line
    std::vector<std::size_t> section;   // the lines of the section being read
    std::map<int, std::pair<std::size_t, std::string>> value;  // key: line, value as loaded
    bool inside = false;
    const auto drop = [&] {
        for (std::size_t l : section) ok[l] = false;
    };
    std::size_t line = 0, at = 0;
    bool lineStart = true, split = false, anyRead = false, firstBlank = false;
    std::string lineText;  // the line's text so far
    while (at < file.size()) {
        // A piece: up to 255 characters, or through the line's end.
        const std::size_t end = std::min(file.find('\n', at), file.size());
        const bool whole = end - at <= 255;
        const std::string t = file.substr(at, whole ? end - at : 255);
        at = whole ? end + 1 : at + 255;
        const bool first = lineStart;
        if (first) ok.push_back(false), line = ok.size() - 1, split = anyRead = false, firstBlank = blank(t), lineText.clear();
        lineText += t;
        lineStart = whole;
        if (!first && !blank(t)) split = true;

        bool read = false, asWritten = false;
        const auto [w, wl] = word(t, 0);
        if (!inside) {
            const std::string w1 = w == std::string::npos ? "" : t.substr(w, wl);
            if (header(w1)) {
                read = inside = true;
                section = {line}, value.clear();
                asWritten = headerAsWritten(t, w, w1);
            }
        } else {
            const std::size_t k = std::min(t.find_first_not_of('='), t.size());
            const std::size_t eq = t.find('=', k);
            const std::string part = t.substr(k, eq == std::string::npos ? std::string::npos : eq - k);
            const auto [kw, kl] = word(part, 0);
            const bool one = kw != std::string::npos && word(part, kw + kl).first == std::string::npos;
            const std::string name = one ? part.substr(kw, kl) : "";
            std::string lower = name;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            int key = -1;
            for (int i = 0; i < 5; ++i)
                if (lower == keys[i]) key = i;
            if (one && header(name)) {
                read = true;
                drop();
                section = {line}, value.clear();
                asWritten = eq == std::string::npos && headerAsWritten(t, k + kw, name);
            } else if (key >= 0) {
                read = true;
                const std::pair<std::size_t, std::size_t> v =
                    eq == std::string::npos ? std::make_pair(std::string::npos, std::size_t{0}) : word(t, eq + 1);
                const std::string val = v.first == std::string::npos ? "" : t.substr(v.first, v.second);
                std::string loads;
                if (key == 0 || key == 3) {
                    if (digits(val, "0123456789abcdefABCDEF", 16)) {
                        loads = std::string(16 - val.size(), '0') + val;
                        for (char& c : loads) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    }
                } else if (digits(val, "0123456789", 5) && std::stoul(val) <= (key == 4 ? 255u : 1u)) {
                    loads = std::to_string(std::stoul(val));
                }
                if (!loads.empty()) {
                    const std::string rest = t.substr(v.first + v.second);
                    const std::size_t r = rest.find_first_not_of(" \t\r");
                    asWritten = k + kw == t.find_first_not_of(" \t\r") &&
                                (r == std::string::npos || rest[r] == ';' || rest[r] == '#');
                    // The same key again with another value: the earlier is not what loads.
                    const auto earlier = value.find(key);
                    if (earlier != value.end() && earlier->second.second != loads) ok[earlier->second.first] = false;
                    value[key] = {line, loads};
                    section.push_back(line);
                    if (value.size() == 5) inside = false, section.clear();
                }
            }
        }
        anyRead = anyRead || read;
        if (first) ok[line] = read ? asWritten : blank(t) || comment(t);
        // A line read in pieces, one of them as a header or key line, or
        // text past the first piece that is no comment.
        if (split && (anyRead || (firstBlank && !blank(lineText) && !comment(lineText)))) ok[line] = false;
    }
    // A section the end of the file leaves incomplete is dropped.
    if (inside) drop();
    for (std::size_t i = 0; i < ok.size(); ++i)
        if (!ok[i]) return *why = "line " + std::to_string(i + 1), false;
    return true;
}

// Random files made by mutating valid files line by line. Whenever the
// one-file check passes one, the reader of the test must find every line
// blank, a comment or taken as written, and a load, a save and fcboot-diff
// must find the adapters holding what the file says.
TEST(FcbootDiff, ACleanFileIsTakenLineForLine) {
#ifdef _WIN32
    const int files = 400;  // under Wine the whole program must stay short
#else
    const int files = 2000;
#endif
    const unsigned seed = fctest::RandomSeed();
    SCOPED_TRACE("FCBOOT_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const auto hex = [&](std::size_t n) {
        std::string h;
        while (h.size() < n) h += "0123456789abcdef"[pick(16)];
        return h;
    };
    const std::vector<std::string> inserted = {
        "", "# note", "   # moved to the new array", "\t#WWID=1000000000000009", ";", "junk", "[HBA5]", "[hba1]",
        "Saved before the firmware update", "WWID=1000000000000001", "BootDeviceLUN[0]=3", "HostAdaptorBiosEnable=0",
        "Select Boot Enable=0", "\xC2\xA0" "BootDeviceLUN[0]=3", "x=1", "#[HBA2]", "; old"};
    const std::vector<std::string> prefixes = {";", "x ", "\xC2\xA0", "\t", "=", " ", "#", "  "};
    const std::vector<std::string> trailers = {" 1", " # boot", " ; by hand", " x", "\r", ";", "\t", "0"};

    std::filesystem::current_path(fctest::TempDir());
    int clean = 0;
    for (int n = 0; n < files; ++n) {
        // A valid file: the demo adapters in either order, keys shuffled.
        std::vector<std::string> lines;
        for (const char* wwid : pick(2) ? std::vector<const char*>{"1000000000000001", "1000000000000002"}
                                        : std::vector<const char*>{"1000000000000002"}) {
            std::vector<std::string> keys = {
                std::string("WWID=") + wwid, "HostAdapterBiosEnable=" + std::to_string(pick(2)),
                "SelectBootEnable=" + std::to_string(pick(2)),
                "BootDeviceWWID=" + (pick(3) ? hex(16) : std::string(16, '0')),
                "BootDeviceLUN[0]=" + std::to_string(pick(256))};
            std::shuffle(keys.begin(), keys.end(), random);
            lines.push_back("[HBA" + std::to_string(pick(4)) + "]");
            lines.insert(lines.end(), keys.begin(), keys.end());
            lines.push_back("");
        }
        // One to three mutations.
        for (std::size_t m = 1 + pick(3); m > 0 && !lines.empty(); --m) {
            const std::size_t i = pick(lines.size());
            std::string& l = lines[i];
            const std::size_t eq = std::min(l.find('='), l.size());
            switch (pick(12)) {
            case 0: lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i), inserted[pick(inserted.size())]); break;
            case 1: lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i)); break;
            case 2: if (eq > 0) l[pick(eq)] = "xAo_"[pick(4)]; break;                         // misspelt
            case 3: if (eq > 1) l.insert(1 + pick(eq - 1), pick(2) ? " " : "\t"); break;      // split
            case 4: l = prefixes[pick(prefixes.size())] + l; break;
            case 5: l += trailers[pick(trailers.size())]; break;
            case 6: l.insert(pick(l.size() + 1), "\x1a"); break;
            case 7: l.insert(pick(l.size() + 1), "\r"); break;
            case 8: l.insert(pick(l.size() + 1), std::string(1, '\0')); break;
            case 9: l.insert(pick(2) ? 0 : l.size(), std::string(200 + pick(80), pick(2) ? ' ' : '-')); break;
            case 10: {  // a line, or its whole section, again somewhere
                std::size_t from = i, to = i + 1;
                if (pick(2)) {
                    while (from > 0 && lines[from].rfind("[HBA", 0) != 0) --from;
                    to = std::min(lines.size(), from + 7);
                }
                const std::vector<std::string> again(lines.begin() + static_cast<std::ptrdiff_t>(from),
                                                     lines.begin() + static_cast<std::ptrdiff_t>(to));
                lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(pick(lines.size() + 1)), again.begin(),
                             again.end());
                break;
            }
            default:
                for (char& c : l) c = static_cast<char>(pick(2) ? std::tolower(static_cast<unsigned char>(c))
                                                               : std::toupper(static_cast<unsigned char>(c)));
            }
        }
        const std::string end = pick(2) ? "\n" : "\r\n";
        std::string file;
        for (const std::string& l : lines) file += l + end;
        if (pick(8) == 0) file += "\x1a";

        fctest::WriteFileBytes("want.cfg", file);
        fcdiff::Report lint;
        std::string error;
        ASSERT_TRUE(fcdiff::LintFile("want.cfg", &lint, &error)) << error;
        if (!lint.differences.empty()) continue;
        ++clean;
        std::string why;
        std::string quoted = file;
        for (char& c : quoted)
            if (c == '\0') c = '@';
        ASSERT_TRUE(EveryLineTaken(file, &why)) << why << " of a clean file, number " << n << ":\n" << quoted;
        const fctest::RunResult load = fctest::RunUtility(fcemu::DemoFleet(), {"/l", "want.cfg"});
        ASSERT_EQ(fctest::RunUtility(load.fleet_after, {"/s", "now.cfg"}).exit_code, 0);
        const DiffRun r = Invoke({});
        ASSERT_EQ(r.code, fcdiff::kDiffSame) << r.out << "of a clean file, number " << n << ":\n" << quoted;
    }
    // Enough of them pass the check for the two judges to be put to work.
    EXPECT_GT(clean, files / 10);
}

}  // namespace
