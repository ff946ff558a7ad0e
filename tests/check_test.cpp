// fcboot-check: every state a server can be brought to by real loads (a
// fault rule only where a state needs one), judged live against the
// emulated server and through --fleet on the twin the loads left, in text
// and JSON. Both paths must give the very same report; the live one may
// send only requests that read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "capture/capture.h"
#include "check/check.h"
#include "support/capture_checks.h"
#include "support/harness.h"

namespace {

using fcemu::FaultRule;
using fcemu::Fleet;
using fctest::Section;

const char kA[] = "1000000000000001";  // demo adapter 0: model 0xF0A5, sees 500000000000a001
const char kB[] = "1000000000000002";  // demo adapter 1: model 0xF100, no node list
const char kSeen[] = "500000000000a001";

struct Load {
    const char* option;  // "/l" or "/le"
    std::string file;
    std::vector<FaultRule> faults = {};  // on every device, for this load only
};

// A finding that must be there: state word, adapter, variant, kind.
using Want = std::tuple<const char*, std::string, const char*, const char*>;

struct Case {
    const char* name;
    std::vector<Load> loads;
    std::vector<std::string> expect;  // "--expect" or "--expect-efi", then the file's text
    fccheck::State state;
    std::vector<Want> want;  // every finding not OK, and the OK ones named here
    void (*shape)(Fleet*) = nullptr;  // the server before the loads, when not the demo
    std::vector<FaultRule> serverFaults = {};  // stay while the check runs
};

std::string Boot(const char* wwid, const char* device, const char* lun = "0") {
    return Section(wwid, "1", "1", device, lun);
}
std::string NoBoot(const char* wwid) { return Section(wwid, "0", "0", "0", "0"); }

FaultRule StagedFails() {
    return FaultRule{"mailbox:156", 0, std::nullopt, FaultRule::Effect::State, 9};
}

// Adapter A's flash holds one boot image, of a kind its model takes for EFIB
// boot only; nothing selected.
void EfiOnlyImage(Fleet* f) {
    f->devices[0].boot_images = {0x03950001u};
    f->devices[0].region4.fill(0);
}
void OtherMaker(Fleet* f) {
    for (auto& d : f->devices) d.manufacturer = "Other";
}
void UnknownModel(Fleet* f) {
    f->devices[0].vendor_specific_id = 0x123410DFu;
    f->devices[0].revision_primary = 0x00999000u;
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"ready", {{"/l", Boot(kA, kSeen) + NoBoot(kB)}}, {}, fccheck::State::Ok,
         {{"OK", kA, "BIOS", "ready"}, {"OK", kA, "EFIB", "ready"}}},
        {"boot device unseen", {{"/l", Boot(kA, "500000000000b002")}}, {}, fccheck::State::Warning,
         {{"WARNING", kA, "BIOS", "device-unseen"}, {"OK", kA, "BIOS", "ready"}}},
        {"no node list kept", {{"/l", Boot(kB, "500000000000c003", "4")}}, {}, fccheck::State::Ok,
         {{"OK", kB, "BIOS", "no-node-list"}, {"OK", kB, "BIOS", "ready"}}},
        {"activation unfinished", {{"/l", Boot(kB, "500000000000c003"), {StagedFails()}}}, {},
         fccheck::State::Critical, {{"CRITICAL", kB, "BIOS", "activation"}}},
        {"boot device 0", {{"/l", Boot(kA, "0")}}, {}, fccheck::State::Warning,
         {{"WARNING", kA, "BIOS", "device-zero"}, {"OK", kA, "BIOS", "ready"}}},
        {"image kind not acceptable for the model",
         {{"/l", Boot(kA, kSeen)}, {"/le", Boot(kA, kSeen)}}, {}, fccheck::State::Critical,
         {{"CRITICAL", kA, "BIOS", "image-kind"}, {"OK", kA, "EFIB", "ready"}}, EfiOnlyImage},
        {"nothing set to boot", {{"/l", NoBoot(kA) + NoBoot(kB)}}, {}, fccheck::State::Ok,
         {{"OK", kA, "BIOS", "not-set-to-boot"}, {"OK", kA, "EFIB", "not-set-to-boot"}}},
        {"expected not to boot and it does not", {{"/l", NoBoot(kA) + NoBoot(kB)}},
         {"--expect", NoBoot(kA) + NoBoot(kB)}, fccheck::State::Ok, {}},
        {"EFIB ready as expected", {{"/le", Boot(kA, kSeen, "5")}},
         {"--expect-efi", Boot(kA, kSeen, "5")}, fccheck::State::Ok, {{"OK", kA, "EFIB", "ready"}}},
        {"EFIB drifted", {{"/le", Boot(kA, kSeen, "5")}}, {"--expect-efi", Boot(kA, kSeen, "7")},
         fccheck::State::Critical, {{"CRITICAL", kA, "EFIB", "setting"}}},
        {"expected to boot, not set to boot", {{"/l", NoBoot(kB)}}, {"--expect", Boot(kB, kSeen)},
         fccheck::State::Critical,
         {{"CRITICAL", kB, "BIOS", "setting"}, {"CRITICAL", kB, "BIOS", "setting"},
          {"CRITICAL", kB, "BIOS", "setting"}, {"CRITICAL", kB, "BIOS", "not-ready"}}},
        {"expect naming an absent adapter", {{"/l", Boot(kA, kSeen)}},
         {"--expect", Boot(kA, kSeen) + Boot("1000000000000009", kSeen)}, fccheck::State::Critical,
         {{"CRITICAL", "1000000000000009", "BIOS", "absent"}}},
        {"unknown model set to boot", {}, {}, fccheck::State::Critical,
         {{"CRITICAL", kA, "BIOS", "unknown-model"}, {"CRITICAL", kA, "EFIB", "unknown-model"}},
         UnknownModel},
        {"no served adapter", {}, {}, fccheck::State::Unknown, {}, OtherMaker},
        {"no rights", {}, {}, fccheck::State::Unknown,
         {{"UNKNOWN", "", "", "unreadable"}, {"UNKNOWN", "", "", "unreadable"}}, nullptr,
         {FaultRule{"open", 0, std::nullopt, FaultRule::Effect::Fail, 5}}},
        {"expect file unreadable", {}, {"--expect", ""}, fccheck::State::Unknown, {}},
        {"expect file with findings of its own", {},
         {"--expect", Boot(kA, kSeen) + "[HBA1]\nWWID=" + kB + "\n"}, fccheck::State::Unknown, {}},
        {"expect file a load takes other than written", {},
         {"--expect-efi", Section(kA, "1", "1", kSeen, "0 (the first LUN)")}, fccheck::State::Unknown, {}},
    };
    return cases;
}

struct Outcome {
    int code = -1;
    std::string out, err;
};

Outcome Check(std::vector<std::string> args) {
    args.insert(args.begin(), "fcboot-check");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    Outcome o;
    o.code = fccheck::CheckMain(static_cast<int>(argv.size()), argv.data(), &o.out, &o.err);
    return o;
}

// The server after the case's loads: the fleet the loads left, which a
// rehearsal keeps as its twin.
Fleet Prepare(const Case& c, const std::string& dir) {
    Fleet fleet = fcemu::DemoFleet();
    if (c.shape != nullptr) c.shape(&fleet);
    int n = 0;
    for (const Load& load : c.loads) {
        const std::string path = dir + "/load" + std::to_string(n++) + ".cfg";
        fctest::WriteFileBytes(path, load.file);
        for (auto& d : fleet.devices) d.faults = load.faults;
        fleet = fctest::RunUtility(fleet, {load.option, path}).fleet_after;
    }
    for (auto& d : fleet.devices) d.faults = c.serverFaults;
    return fleet;
}

void ExpectFindings(const Case& c, const std::string& text, const std::string& json) {
    const nlohmann::json doc = nlohmann::json::parse(json);
    EXPECT_EQ(doc["status"], fccheck::StateWord(c.state));
    EXPECT_EQ(doc["exit_code"], static_cast<int>(c.state));
    std::multiset<std::tuple<std::string, std::string, std::string, std::string>> got, want;
    for (const auto& f : doc["findings"]) {
        const auto item = std::make_tuple(f["state"].get<std::string>(), f["adapter"].get<std::string>(),
                                          f["variant"].get<std::string>(), f["kind"].get<std::string>());
        if (std::get<0>(item) != "OK") got.insert(item);
    }
    for (const Want& w : c.want) {
        const auto item = std::make_tuple(std::string(std::get<0>(w)), std::get<1>(w),
                                          std::string(std::get<2>(w)), std::string(std::get<3>(w)));
        if (std::get<0>(item) != "OK") {
            want.insert(item);
            continue;
        }
        bool found = false;
        for (const auto& f : doc["findings"])
            found = found || (f["state"] == "OK" && f["adapter"] == std::get<1>(item) &&
                              f["variant"] == std::get<2>(item) && f["kind"] == std::get<3>(item));
        EXPECT_TRUE(found) << std::get<1>(item) << " " << std::get<2>(item) << " " << std::get<3>(item);
    }
    EXPECT_EQ(got, want) << text;

    // The text: the status line with its perfdata, then one line per finding.
    const auto& p = doc["perfdata"];
    const std::string status = std::string("FCBOOT ") + fccheck::StateWord(c.state) + " - ";
    EXPECT_EQ(text.compare(0, status.size(), status), 0) << text;
    const std::string perf = " | adapters=" + std::to_string(p["adapters"].get<int>()) +
                             " set_to_boot=" + std::to_string(p["set_to_boot"].get<int>()) +
                             " ready=" + std::to_string(p["ready"].get<int>()) +
                             " warnings=" + std::to_string(p["warnings"].get<int>()) +
                             " critical=" + std::to_string(p["critical"].get<int>()) + "\n";
    EXPECT_NE(text.find(perf), std::string::npos) << text;
    std::size_t lines = 0;
    for (char ch : text) lines += ch == '\n';
    EXPECT_EQ(lines, 1 + doc["findings"].size()) << text;
    for (const auto& f : doc["findings"]) {
        const std::string line = f["state"].get<std::string>() + ": " +
                                 (f["adapter"] == "" ? "" : f["adapter"].get<std::string>() + " ") +
                                 (f["variant"] == "" ? "" : f["variant"].get<std::string>() + ": ") +
                                 f["text"].get<std::string>() + "\n";
        EXPECT_NE(text.find("\n" + line), std::string::npos) << line;
    }
    EXPECT_EQ(p["critical"].get<unsigned>(), static_cast<unsigned>(std::count_if(
        doc["findings"].begin(), doc["findings"].end(), [](const auto& f) { return f["state"] == "CRITICAL"; })));
}

TEST(Check, JudgesEveryStateLiveAndThroughTheFleetAlike) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const std::string dir = fctest::TempDir();
        const Fleet server = Prepare(c, dir);
        std::vector<std::string> args;
        if (!c.expect.empty()) {
            const std::string path = dir + "/expected.cfg";
            if (!c.expect[1].empty()) fctest::WriteFileBytes(path, c.expect[1]);
            args = {c.expect[0], path};
        }
        // The twin the fleet path judges: the fleet itself, or, while faults
        // stand in the way, what a capture of the server writes.
        Fleet twin = server;
        if (!c.serverFaults.empty()) {
            fcemu::StartServer(server);
            twin = fccapture::CaptureServer();
            fcemu::StopServer();
        }
        const std::string twinPath = dir + "/twin.json";
        std::string error;
        ASSERT_TRUE(fcfleet::SaveFleetFile(twinPath, twin, &error)) << error;

        std::string reports[2];  // the live check's text and JSON
        for (bool json : {false, true}) {
            std::vector<std::string> a = args;
            if (json) a.push_back("--json");
            fcemu::StartServer(server);
            const Outcome live = Check(a);
            const std::vector<fcemu::RequestRecord> log = fcemu::RequestLog();
            fcemu::StopServer();
            EXPECT_TRUE(fcemu::Violations().empty());
            fctest::ExpectOnlyReads(log);
            a.insert(a.end(), {"--fleet", twinPath});
            const Outcome fleet = Check(a);
            EXPECT_EQ(live.code, static_cast<int>(c.state)) << live.out << live.err;
            EXPECT_EQ(fleet.code, live.code);
            EXPECT_EQ(fleet.out, live.out);
            EXPECT_EQ(live.err, "");
            reports[json] = live.out;
        }
        ExpectFindings(c, reports[0], reports[1]);
    }
}

TEST(Check, UnreadableFleetFilesAndWrongUseAreUnknown) {
    const std::string dir = fctest::TempDir();
    fctest::WriteFileBytes(dir + "/broken.json", "{\"fleet_version\": 1, \"devices\": [");
    struct Row {
        std::vector<std::string> args;
        int code;
        const char* first;  // the output begins so
        bool usage;         // the usage on standard error
    };
    const Row rows[] = {
        {{"--fleet", dir + "/absent.json"}, 3, "FCBOOT UNKNOWN - ", false},
        {{"--fleet", dir + "/broken.json", "--json"}, 3, "{\n  \"status\": \"UNKNOWN\"", false},
        {{"--fleet", dir}, 3, "FCBOOT UNKNOWN - ", false},
        {{"--bogus"}, 3, "FCBOOT UNKNOWN - wrong use: unknown option --bogus |", true},
        {{"--json", "--expect"}, 3, "{\n  \"status\": \"UNKNOWN\"", true},
        {{"--fleet", "a", "--fleet", "b"}, 3, "FCBOOT UNKNOWN - wrong use: --fleet given twice", true},
        {{"boot.cfg"}, 3, "FCBOOT UNKNOWN - wrong use: unexpected argument boot.cfg", true},
        {{"--help"}, 0, "usage: fcboot-check [--fleet FILE]", false},
        {{"--version"}, 0, FCBOOT_VERSION_LINE "\n", false},
        {{"--version", "--json"}, 3, "{", true},
    };
    for (const Row& r : rows) {
        const Outcome o = Check(r.args);
        SCOPED_TRACE(r.args[0]);
        EXPECT_EQ(o.code, r.code);
        EXPECT_EQ(o.out.compare(0, std::strlen(r.first), r.first), 0) << o.out;
        EXPECT_EQ(o.err.find("usage: fcboot-check") != std::string::npos, r.usage) << o.err;
    }
}

// fcboot-emu --check runs the live path on the emulated server and leaves
// the fleet file as it was; a rehearsal's twin then gives the same verdict.
TEST(Check, RunsUnderTheEmulatorAndPredictsTheLoad) {
    const std::string dir = fctest::TempDir();
    const std::string fleet = dir + "/fleet.json", load = dir + "/load.cfg";
    std::string error;
    ASSERT_TRUE(fcfleet::SaveFleetFile(fleet, fcemu::DemoFleet(), &error));
    fctest::WriteFileBytes(load, Boot(kB, "500000000000c003") + Boot(kA, kSeen));
    const std::string before = fctest::ReadFileBytes(fleet);
    testing::internal::CaptureStdout();
    const int beforeLoad = fctest::EmuMain({"--fleet", fleet, "--check", "--expect", load});
    const int afterCheck = fctest::ReadFileBytes(fleet) == before;
    const int loaded = fctest::EmuMain({"--fleet", fleet, "/l", load});
    const int rehearsed = fctest::EmuMain({"--fleet", fleet, "--check", "--expect", load});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(beforeLoad, 2);
    EXPECT_TRUE(afterCheck);
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(rehearsed, 0) << out;
    EXPECT_EQ(Check({"--fleet", fleet, "--expect", load}).code, 0);
    // fcboot-emu's own trouble is UNKNOWN to whoever runs the check.
    EXPECT_EQ(fctest::EmuMain({"--capture", "x", "--check"}), 3);
}

}  // namespace
