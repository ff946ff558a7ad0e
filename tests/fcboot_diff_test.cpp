// fcboot-diff: pairs of files written out here, judged by the exact report
// lines, the JSON form read back against them, and the exit code; a load
// with a failing adapter and files a load takes other than as written
// caught through the emulator, as the verify flow runs; the one-file check.
#include <gtest/gtest.h>

#include <filesystem>
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
                             "SelectBootEnable = 1 ; by hand\r\nUnknown=1\r\n\r\n"
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
        {"hex case, leading zeros, CR LF, unknown lines", kTwo,
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
    const struct {
        const char* name;
        std::string file;
        std::string findings;  // KindsAndLines of want.cfg's; empty: it verifies
    } cases[] = {
        {"a second section headed [hba1]", first + "[hba1]\n" + second,
         "not-taken:8 not-taken:9 not-taken:10 not-taken:11 not-taken:12 not-taken:13"},
        {"a second section headed [HBA 1]", first + "[HBA 1]\n" + second,
         "not-taken:8 not-taken:9 not-taken:10 not-taken:11 not-taken:12 not-taken:13"},
        {"a LUN appended after the fifth key", WithLine(kWorked, 7, "BootDeviceLUN[0]=3\n\n"), "not-taken:7"},
        {"a key line before the first header", "BootDeviceLUN[0]=3\n" + kWorked, "not-taken:1"},
        {"a digit lost from a name", WithLine(kWorked, 5, "BootDeviceWWID=50000000000a001\n"), "short-name:5"},
        {"a \";\" meant as a comment", WithLine(kWorked, 6, ";BootDeviceLUN[0]=7\nBootDeviceLUN[0]=3\n"),
         "taken-with-prefix:6 not-taken:7"},
        {"a grouped name", WithLine(kWorked, 5, "BootDeviceWWID=5000 0000 0000 a001\n"), "trailing-text:5"},
        {"a header meant as a comment", WithLine(kWorked, 7, "#[HBA9] retired\n"),
         "taken-with-prefix:7 trailing-text:7 incomplete-section:7"},
        {"a key given twice", WithLine(kWorked, 3, "HostAdapterBiosEnable=0\nHostAdapterBiosEnable=1\n"),
         "repeated-key:4"},
        // What must still verify.
        {"the worked example", kWorked, ""},
        {"CR LF", Replaced(kWorked, "\n", "\r\n"), ""},
        {"lower-case keys and upper-case hex digits",
         Replaced(Replaced(Replaced(kWorked, "WWID=", "wwid="), "BootDeviceLUN", "bootdevicelun"), "a001", "A001"), ""},
        {"BootDeviceWWID=0", Replaced(kWorked, "=0000000000000000", "=0"), ""},
        {"comments after values and headers", Replaced(Replaced(Replaced(kWorked, "LUN[0]=0\n\n", "LUN[0]=0 ; boot LUN\n\n"),
                                                                "Enable=1\n", "Enable=1 # on\n"), "[HBA1]", "[HBA1] # x"),
         ""},
        {"comment lines", "# [HBA7] retired\n#WWID=1000000000000007\n" +
                               WithLine(kWorked, 3, "# BootDeviceLUN[0]=7\n#[HBA\nHostAdapterBiosEnable=1\n"),
         ""},
        {"UTF-8 with a byte order mark", "\xEF\xBB\xBF" + kWorked, ""},
        {"a line of 255 characters", std::string(255, '#') + "\n" + kWorked, ""},
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
         "taken-with-prefix:3 repeated-key:5 note long-line:3"},
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

// A header a load does not take says why, so that the fix is plain: the
// capitals, or the blank; a "#" line that looks like one is a comment.
TEST(FcbootDiff, LintSaysWhyAHeaderIsNotTaken) {
    const struct {
        const char* header;
        const char* why;  // empty: no finding
    } cases[] = {
        {"[hba1]", "a header is written \"[HBA\" in capitals"},
        {"[HBA 1]", "a header is one word, \"[HBA\" n \"]\", without blanks"},
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

}  // namespace
