// Fault sweep: every device call of a clean save and load is re-run with a
// fault aimed at exactly that call, once and from then on, with every effect
// that fits it. Whatever the driver or the firmware does, a run must end with
// a code of the exit-code table, print only the utility's own lines, break no
// rule of the driver (no leaked or double-closed handle), leave adapters whose
// state still serializes, and never report a failure as a success.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "adapter/bytes.h"
#include "frontend/frontend.h"
#include "platform/emulated_backend.h"
#include "support/harness.h"

namespace {

using Effect = fcemu::FaultRule::Effect;

constexpr std::uint32_t kMiniportIoctl = 0x0004D008u;
constexpr std::uint32_t kBusSlotIoctl = 0x00230800u;
constexpr std::uint32_t kNodeListIoctl = 0x00230818u;

void FillBootRegions(fcemu::DeviceConfig& d, bool biosOn, const char* bootDevice, std::uint8_t lun,
                     std::uint32_t selected) {
    const std::array<std::uint8_t, 8> dev = fctest::Wwn(bootDevice);
    d.region4.fill(0);
    fcboot::StoreLe32(d.region4.data() + 12, selected);
    d.region8.fill(0);
    std::memcpy(d.region8.data(), "BIOS", 4);
    fcboot::StoreLe32(d.region8.data() + 4, 0x00000502u);
    d.region8[9] = biosOn ? 1 : 0;
    for (int i = 0; i < 8; ++i) d.region8[static_cast<std::size_t>(17 + (i ^ 3))] = dev[static_cast<std::size_t>(i)];
    d.region8[28] = lun;
    d.region10.fill(0);
    std::memcpy(d.region10.data(), "EFIB", 4);
    for (int i = 0; i < 8; ++i) d.region10[static_cast<std::size_t>(4 + (i ^ 3))] = dev[static_cast<std::size_t>(i)];
    d.region10[13] = lun;
    d.region10[23] = 1;
    d.region10[196] = biosOn ? 1 : 0;
    d.region10[201] = 0x01;
}

// Three adapters: a port-driver adapter of model 0xF700 with an image
// selected (the load clears it), a miniport adapter of model 0xF085 and one
// of model 0xF0A5, both without a selection (the load selects an image; the
// 0xF0A5 needs the staged sequence).
fcemu::Fleet SweepFleet() {
    fcemu::Fleet fleet;
    fcemu::DeviceConfig a = fcemu::DefaultDevice(0);
    a.vendor_specific_id = 0xF70010DFu;
    a.revision_primary = 0x00020000u;  // chip code 32
    a.boot_images = {0x03160001u};
    a.node_list = std::vector<fcemu::NodeEntry>{
        fcemu::NodeEntry{{0x50, 0, 0, 0, 0, 0, 0xA0, 0x01}, 0x010200, 0, 0},
        fcemu::NodeEntry{{0x50, 0, 0, 0, 0, 0, 0xA0, 0x02}, 0x010300, 0, 0}};
    FillBootRegions(a, true, "500000000000a001", 3, 0x03160001u);
    fleet.devices.push_back(a);

    fcemu::DeviceConfig b = fcemu::DefaultDevice(2);
    b.driver_name = "tarmp4";
    b.driver_version = "7.2.20";
    b.vendor_specific_id = 0xF08510DFu;
    b.boot_images = {0x02310002u, 0x03360001u};
    b.node_list = std::vector<fcemu::NodeEntry>{
        fcemu::NodeEntry{{0x50, 0, 0, 0, 0, 0, 0xB0, 0x01}, 0x020100, 0, 0}};
    FillBootRegions(b, false, "0000000000000000", 0, 0);
    fleet.devices.push_back(b);

    fcemu::DeviceConfig c = fcemu::DefaultDevice(5);
    c.driver_name = "tarmp4";
    c.driver_version = "7.2.20";
    c.vendor_specific_id = 0xF0A510DFu;
    c.revision_primary = 0x00012000u;  // chip code 18
    c.boot_images = {0x03960001u};
    FillBootRegions(c, true, "500000000000c001", 7, 0);
    fleet.devices.push_back(c);
    return fleet;
}

std::string WwnHex(const std::array<std::uint8_t, 8>& w) {
    char buf[17];
    for (int i = 0; i < 8; ++i) std::snprintf(buf + 2 * i, 3, "%02x", w[static_cast<std::size_t>(i)]);
    return buf;
}

// Clears the selection of the first adapter, selects images on the others,
// and changes every adapter's boot device and LUN.
std::string SweepLoadFile(const fcemu::Fleet& fleet) {
    const char* select[] = {"0", "1", "1"};
    const char* device[] = {"500000000000a0ff", "500000000000b0ff", "500000000000c0ff"};
    std::string text;
    for (std::size_t i = 0; i < fleet.devices.size(); ++i) {
        text += "[HBA" + std::to_string(i) + "]\nWWID=" + WwnHex(fleet.devices[i].port_wwn) +
                "\nHostAdapterBiosEnable=1\nSelectBootEnable=" + select[i] +
                "\nBootDeviceWWID=" + device[i] + "\nBootDeviceLUN[0]=" + std::to_string(10 + i) +
                "\n\n";
    }
    return text;
}

// One device call of the clean run, named the way a fault rule names it.
struct CallPosition {
    std::uint32_t port;
    std::string match;
    std::uint32_t skip;  // earlier calls of the device that the rule also matches
    bool regionDump;     // mailbox 23 of type 2
};

// The harness names its folders after the test; runs of the same test from
// two builds at once must not share the files they judge.
std::string PrivateDir() {
    const std::string dir = fctest::TempDir() + "/" + std::to_string(std::random_device{}());
    std::filesystem::create_directories(dir);
    return dir;
}

std::string Hex32(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
    return buf;
}

std::vector<CallPosition> CallPositions(const std::vector<fcemu::RequestRecord>& log,
                                        const fcemu::Fleet& fleet) {
    std::set<int> ports;
    for (const auto& d : fleet.devices) ports.insert(static_cast<int>(d.port));
    std::map<std::pair<int, std::string>, std::uint32_t> seen;
    std::vector<CallPosition> out;
    for (const auto& r : log) {
        if (ports.count(r.port) == 0) continue;
        std::string match;
        if (r.op == "open") {
            match = "open";
        } else if (r.op == "ioctl" && r.ioctl == kMiniportIoctl && r.mailbox) {
            match = "mailbox:" + std::to_string(*r.mailbox);
        } else if (r.op == "ioctl" && r.ioctl == kMiniportIoctl && r.control_code) {
            match = "ioctl:" + Hex32(*r.control_code);
        } else if (r.op == "ioctl" && r.ioctl == kBusSlotIoctl) {
            match = "bus_slot";
        } else if (r.op == "ioctl" && r.ioctl == kNodeListIoctl) {
            match = "node_list";
        } else {
            continue;  // closes take no fault
        }
        const std::uint32_t skip = seen[{r.port, match}]++;
        out.push_back({static_cast<std::uint32_t>(r.port), match, skip,
                       r.mailbox && *r.mailbox == 23 && r.region.has_value()});
    }
    return out;
}

struct FaultEffect {
    Effect effect;
    std::uint32_t value;
};

std::vector<FaultEffect> EffectsFor(const CallPosition& p) {
    if (p.match == "open") return {{Effect::Fail, 2}};
    if (p.match == "bus_slot" || p.match == "node_list") return {{Effect::Fail, 31}};
    if (p.match.compare(0, 6, "ioctl:") == 0) {
        std::vector<FaultEffect> e = {{Effect::Fail, 31}, {Effect::ReturnCode, 1}};
        if (p.match == "ioctl:80010204") e.push_back({Effect::ReturnCode, 8});
        return e;
    }
    std::vector<FaultEffect> e = {
        {Effect::Fail, 31}, {Effect::MbxStatus, 253}, {Effect::MbxStatus, 252}, {Effect::MbxStatus, 18}};
    if (p.regionDump) {
        e.push_back({Effect::DeliverBytes, 0});
        e.push_back({Effect::DeliverBytes, 4});
    }
    if (p.match == "mailbox:156") {
        // 9 too early, 8 for ever (a sequence that never ends), 0 never heard of.
        e.push_back({Effect::State, 9});
        e.push_back({Effect::State, 8});
        e.push_back({Effect::State, 0});
    }
    return e;
}

bool IsHexNumber(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Empty when every line of out is one the utility may print on a file
// command; else the first offending line.
std::string ForeignLine(const std::string& out) {
    if (!out.empty() && out.back() != '\n') return "unterminated: " + out;
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t nl = out.find('\n', at);
        std::string line = out.substr(at, nl - at);
        at = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool own = false;
        for (const char* prefix : {"isValidBootBios ", "DumpConfigRegion failed!!! status "}) {
            const std::size_t n = std::strlen(prefix);
            own = own || (line.compare(0, n, prefix) == 0 && IsHexNumber(line.substr(n)));
        }
        if (!own) return line;
    }
    return "";
}

// The key lines of each section of a saved file, by the WWID they name.
std::map<std::string, std::string> SectionsByWwid(const std::string& text) {
    std::map<std::string, std::string> out;
    std::string wwid, body;
    std::size_t at = 0;
    auto flush = [&] {
        if (!wwid.empty()) out[wwid] = body;
        wwid.clear();
        body.clear();
    };
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 4, "[HBA") == 0) {
            flush();
        } else if (line.compare(0, 5, "WWID=") == 0) {
            wwid = line.substr(5);
        } else if (!line.empty()) {
            body += line + "\n";
        }
    }
    flush();
    return out;
}

bool ExitCodeInTable(int code) {
    for (int c : {0, 1, 2, 4, 5, 7, 8, 16, 17, 255})
        if (code == c) return true;
    return false;
}

std::uint32_t SelectedImage(const fcemu::DeviceConfig& d) { return fcboot::LoadLe32(d.region4.data() + 12); }

struct CommandCase {
    const char* option;
    bool save;
    bool efib;
};

const CommandCase kCommands[] = {
    {"/s", true, false}, {"/se", true, true}, {"/l", false, false}, {"/le", false, true}};

// Everything the clean run of a command left, to judge faulted runs by.
struct CleanRun {
    fcemu::Fleet before;
    fctest::RunResult result;
    std::string savedText;
};

std::string Describe(const CommandCase& c, const CallPosition& p, const FaultEffect& e, bool once) {
    const char* names[] = {"fail", "return_code", "mbx_status", "deliver_bytes", "state"};
    return std::string(c.option) + " port " + std::to_string(p.port) + " " + p.match + " skip " +
           std::to_string(p.skip) + " " + names[static_cast<int>(e.effect)] + " " +
           std::to_string(e.value) + (once ? " once" : " persistent");
}

// Checks one faulted run; returns false (with a test failure) if it broke a
// promise.
bool JudgeRun(const CommandCase& c, const CleanRun& clean, const fctest::RunResult& r,
              const std::string& savedText, bool dataMustMatch, const std::string& what) {
    bool ok = true;
    auto fail = [&](const std::string& why) {
        ADD_FAILURE() << what << ": " << why;
        ok = false;
    };
    if (!ExitCodeInTable(r.exit_code)) fail("exit code " + std::to_string(r.exit_code));
    const std::string foreign = ForeignLine(r.out);
    if (!foreign.empty()) fail("foreign output line \"" + foreign + "\"");
    for (const auto& v : r.violations) fail("protocol violation: " + v);
    fcemu::Fleet reparsed;
    std::string error;
    if (!fcemu::ParseFleet(fcemu::SerializeFleet(r.fleet_after), &reparsed, &error))
        fail("fleet no longer serializes: " + error);

    if (c.save) {
        const auto sections = SectionsByWwid(savedText);
        const auto cleanSections = SectionsByWwid(clean.savedText);
        if ((r.exit_code == 0) != !sections.empty())
            fail("exit code " + std::to_string(r.exit_code) + " with " +
                 std::to_string(sections.size()) + " sections written");
        for (const auto& s : sections) {
            const auto it = cleanSections.find(s.first);
            if (it == cleanSections.end())
                fail("section for unknown WWID " + s.first);
            else if (dataMustMatch && it->second != s.second)
                fail("section for " + s.first + " holds\n" + s.second + "instead of\n" + it->second);
        }
        for (std::size_t i = 0; i < r.fleet_after.devices.size(); ++i) {
            const auto& d = r.fleet_after.devices[i];
            const auto& b = clean.before.devices[i];
            if (d.region4 != b.region4 || d.region8 != b.region8 || d.region10 != b.region10)
                fail("a save changed the regions of port " + std::to_string(d.port));
        }
    } else {
        // Every boot region is either untouched or holds exactly what the
        // clean load wrote; a selection is the old one or the new one.
        bool anyApplied = false;
        for (std::size_t i = 0; i < r.fleet_after.devices.size(); ++i) {
            const auto& d = r.fleet_after.devices[i];
            const auto& b = clean.before.devices[i];
            const auto& a = clean.result.fleet_after.devices[i];
            const bool boot = c.efib ? d.region10 == a.region10 : d.region8 == a.region8;
            const bool untouched = c.efib ? d.region10 == b.region10 : d.region8 == b.region8;
            if (!boot && !untouched) fail("torn boot region on port " + std::to_string(d.port));
            if (SelectedImage(d) != SelectedImage(b) && SelectedImage(d) != SelectedImage(a))
                fail("unexpected image selected on port " + std::to_string(d.port));
            anyApplied = anyApplied || (boot && SelectedImage(d) == SelectedImage(a));
        }
        if (r.exit_code == 0 && !anyApplied) fail("load ended with 0 but no section took effect");
    }
    return ok;
}

TEST(FaultSweep, EveryCallFailingInEveryWayKeepsEveryPromise) {
    const fcemu::Fleet fleet = SweepFleet();
    const std::string dir = PrivateDir();
    const std::string loadPath = dir + "/load.cfg";
    fctest::WriteFileBytes(loadPath, SweepLoadFile(fleet));
    const std::string savePath = dir + "/save.cfg";

    std::size_t runs = 0;
    std::size_t broken = 0;
    std::map<std::string, std::size_t> exitCodes;
    for (const CommandCase& c : kCommands) {
        SCOPED_TRACE(c.option);
        CleanRun clean;
        clean.before = fleet;
        clean.result = fctest::RunUtility(fleet, {c.option, c.save ? savePath : loadPath});
        ASSERT_EQ(clean.result.exit_code, 0);
        ASSERT_TRUE(clean.result.violations.empty()) << clean.result.violations.front();
        if (c.save) {
            clean.savedText = fctest::ReadFileBytes(savePath);
            ASSERT_EQ(SectionsByWwid(clean.savedText).size(), 3u);
        } else {
            // The clean load exercises the staged selection in full.
            ASSERT_FALSE(fctest::MailboxCalls(clean.result.log, 156).empty());
            bool memoryRead = false;
            for (const auto& rec : fctest::MailboxCalls(clean.result.log, 23))
                memoryRead = memoryRead || rec.address.has_value();
            ASSERT_TRUE(memoryRead);
            ASSERT_FALSE(fctest::MailboxCalls(clean.result.log, 27).empty());
        }

        for (const CallPosition& p : CallPositions(clean.result.log, fleet)) {
            for (const FaultEffect& e : EffectsFor(p)) {
                for (bool once : {true, false}) {
                    fcemu::Fleet faulted = fleet;
                    for (auto& d : faulted.devices) {
                        if (d.port != p.port) continue;
                        fcemu::FaultRule rule;
                        rule.match = p.match;
                        rule.skip = p.skip;
                        if (once) rule.times = 1;
                        rule.effect = e.effect;
                        rule.value = e.value;
                        d.faults.push_back(rule);
                    }
                    if (c.save) fctest::WriteFileBytes(savePath, "stale\n");
                    const fctest::RunResult r =
                        fctest::RunUtility(faulted, {c.option, c.save ? savePath : loadPath});
                    ++runs;
                    ++exitCodes[std::to_string(r.exit_code)];
                    // A region delivered only in part fails the read, so every
                    // section that is written holds what the adapter holds.
                    const bool dataMustMatch = true;
                    const std::string saved = c.save ? fctest::ReadFileBytes(savePath) : "";
                    if (!JudgeRun(c, clean, r, saved, dataMustMatch, Describe(c, p, e, once)) &&
                        ++broken >= 20) {
                        FAIL() << "too many broken runs; stopping";
                    }
                }
            }
        }
    }
    std::string codes;
    for (const auto& kv : exitCodes) codes += " " + kv.first + "x" + std::to_string(kv.second);
    std::printf("fault sweep: %u runs (exit codes:%s)\n", static_cast<unsigned>(runs), codes.c_str());
    EXPECT_GT(runs, 100u);
}

// A fault that hits every adapter leaves nothing that succeeded: the command
// must end with the failure, never with 0.
TEST(FaultSweep, AFailureOnEveryAdapterIsNeverReportedAsSuccess) {
    struct Case {
        const char* option;
        const char* match;
        std::uint32_t skip;
        Effect effect;
        std::uint32_t value;
        int exitCode;
    };
    const Case cases[] = {
        // The region 4 dump passes; every region 8 (or 10) dump fails.
        {"/s", "mailbox:23", 1, Effect::Fail, 31, fcboot::kExitAdapterCommand},
        {"/s", "mailbox:23", 1, Effect::MbxStatus, 253, fcboot::kExitAdapterCommand},
        {"/se", "mailbox:23", 1, Effect::MbxStatus, 252, fcboot::kExitAdapterCommand},
        {"/s", "mailbox:23", 0, Effect::MbxStatus, 18, fcboot::kExitAdapterCommand},
        {"/s", "ioctl:80010204", 4, Effect::ReturnCode, 1, fcboot::kExitOpenFailed},
        {"/s", "open", 0, Effect::Fail, 2, fcboot::kExitNoAdapter},
        {"/l", "mailbox:27", 0, Effect::MbxStatus, 253, fcboot::kExitAdapterCommand},
        {"/le", "ioctl:8001013b", 0, Effect::Fail, 31, fcboot::kExitAdapterCommand},
        {"/l", "mailbox:23", 0, Effect::Fail, 31, fcboot::kExitAdapterCommand},
    };
    const fcemu::Fleet fleet = SweepFleet();
    const std::string dir = PrivateDir();
    const std::string loadPath = dir + "/load.cfg";
    fctest::WriteFileBytes(loadPath, SweepLoadFile(fleet));
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.option) + " " + k.match + " skip " + std::to_string(k.skip));
        fcemu::Fleet faulted = fleet;
        for (auto& d : faulted.devices) {
            fcemu::FaultRule rule;
            rule.match = k.match;
            rule.skip = k.skip;
            rule.effect = k.effect;
            rule.value = k.value;
            d.faults.push_back(rule);
        }
        const bool save = k.option[1] == 's';
        const std::string path = save ? dir + "/save.cfg" : loadPath;
        const fctest::RunResult r = fctest::RunUtility(faulted, {k.option, path});
        EXPECT_EQ(r.exit_code, k.exitCode);
        EXPECT_TRUE(r.violations.empty());
        if (save && fctest::FileExists(path)) {
            EXPECT_EQ(fctest::ReadFileBytes(path), "");
        }
    }
}

// The sweep's leak check rests on the driver reporting every handle the
// utility leaves open or closes twice.
TEST(FaultSweep, TheDriverReportsLeakedAndDoubleClosedHandles) {
    fcemu::StartServer(SweepFleet());
    const fcplat::HANDLE leaked =
        fcplat::CreateFileA("\\\\.\\Scsi0:", fcplat::GENERIC_READ | fcplat::GENERIC_WRITE,
                            fcplat::FILE_SHARE_READ | fcplat::FILE_SHARE_WRITE, nullptr,
                            fcplat::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(leaked, INVALID_HANDLE_VALUE);
    const fcplat::HANDLE twice =
        fcplat::CreateFileA("\\\\.\\Scsi2:", fcplat::GENERIC_READ | fcplat::GENERIC_WRITE,
                            fcplat::FILE_SHARE_READ | fcplat::FILE_SHARE_WRITE, nullptr,
                            fcplat::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(twice, INVALID_HANDLE_VALUE);
    EXPECT_NE(fcplat::CloseHandle(twice), 0);
    EXPECT_EQ(fcplat::CloseHandle(twice), 0);
    EXPECT_EQ(fcemu::OpenHandleCount(), 1u);
    fcemu::StopServer();
    const std::vector<std::string> v = fcemu::Violations();
    ASSERT_EQ(v.size(), 2u);
    std::size_t leaks = 0;
    for (const auto& s : v) leaks += s.find("handle still open when main returns") != std::string::npos;
    EXPECT_EQ(leaks, 1u);

    // And a clean run of the utility leaves none.
    EXPECT_TRUE(fctest::RunUtility(SweepFleet(), {"/s", fctest::TempDir() + "/b.cfg"}).violations.empty());
}

}  // namespace
