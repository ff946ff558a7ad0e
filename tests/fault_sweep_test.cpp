// Fault sweep: every device call of a clean save and load is re-run with a
// fault aimed at exactly that call, once and from then on, with every effect
// that fits it. Whatever the driver or the firmware does, a run must end with
// a code of the exit-code table, print only the utility's own lines, break no
// rule of the driver (no leaked or double-closed handle), leave adapters whose
// state still serializes, and never report a failure as a success. A load
// run again without the fault ends where one clean load ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../fuzz/fuzz_support.h"
#include "support/harness.h"

namespace {

using Effect = fcemu::FaultRule::Effect;

void SetBootRegions(fcemu::DeviceConfig& d, bool biosOn, const char* bootDevice, std::uint8_t lun,
                    std::uint32_t selected) {
    const std::array<std::uint8_t, 8> dev = fctest::Wwn(bootDevice);
    fcboot::StoreLe32(d.region4.data() + 12, selected);
    std::memcpy(d.region8.data(), "BIOS", 4);
    fcboot::StoreLe32(d.region8.data() + 4, 0x00000502u);
    std::memcpy(d.region10.data(), "EFIB", 4);
    d.region8[9] = d.region10[196] = biosOn ? 1 : 0;
    for (std::size_t i = 0; i < 8; ++i) d.region8[17 + (i ^ 3)] = d.region10[4 + (i ^ 3)] = dev[i];
    d.region8[28] = d.region10[13] = lun;
    d.region10[23] = 1;
    d.region10[201] = 1;
}

// A port-driver adapter of model 0xF700 with an image selected (the load
// clears it), a miniport adapter of model 0xF085 and one of model 0xF0A5,
// both without a selection (the load selects an image; the 0xF0A5 needs the
// staged sequence).
fcemu::Fleet SweepFleet() {
    fcemu::Fleet fleet;
    fleet.devices = {fcemu::DefaultDevice(0), fcemu::DefaultDevice(2), fcemu::DefaultDevice(5)};
    fcemu::DeviceConfig& a = fleet.devices[0];
    a.vendor_specific_id = 0xF70010DFu;
    a.revision_secondary = 0x00020000u;  // chip code 32: device 0xF700 reads this word
    a.boot_images = {0x03160001u};
    a.node_list =
        std::vector<fcemu::NodeEntry>{{{0x50, 0, 0, 0, 0, 0, 0xA0, 0x01}, 0x010200, 0, 0},
                                      {{0x50, 0, 0, 0, 0, 0, 0xA0, 0x02}, 0x010300, 0, 0}};
    SetBootRegions(a, true, "500000000000a001", 3, 0x03160001u);
    fcemu::DeviceConfig& b = fleet.devices[1];
    b.vendor_specific_id = 0xF08510DFu;
    b.boot_images = {0x02310002u, 0x03360001u};
    b.node_list =
        std::vector<fcemu::NodeEntry>{{{0x50, 0, 0, 0, 0, 0, 0xB0, 0x01}, 0x020100, 0, 0}};
    SetBootRegions(b, false, "0000000000000000", 0, 0);
    SetBootRegions(fleet.devices[2], true, "500000000000c001", 7, 0);  // model 0xF0A5
    for (std::size_t i = 1; i < 3; ++i) {
        fleet.devices[i].driver_name = "tarmp4";
        fleet.devices[i].driver_version = "7.2.20";
    }
    return fleet;
}

// Clears the selection of the first adapter, selects images on the others,
// and changes every adapter's boot device and LUN.
const char kLoadFile[] =
    "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=1\nSelectBootEnable=0\n"
    "BootDeviceWWID=500000000000a0ff\nBootDeviceLUN[0]=10\n\n"
    "[HBA1]\nWWID=1000000000000003\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
    "BootDeviceWWID=500000000000b0ff\nBootDeviceLUN[0]=11\n\n"
    "[HBA2]\nWWID=1000000000000006\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
    "BootDeviceWWID=500000000000c0ff\nBootDeviceLUN[0]=12\n\n";

// Every call of the clean run that a fault rule can aim at (closes take
// none), with its port, as rules naming it exactly, one per fitting effect.
std::vector<std::pair<std::uint32_t, fcemu::FaultRule>> AimedRules(
    const std::vector<fcemu::RequestRecord>& log, const fcemu::Fleet& fleet) {
    std::map<std::pair<int, std::string>, std::uint32_t> seen;
    std::vector<std::pair<std::uint32_t, fcemu::FaultRule>> out;
    for (const auto& r : log) {
        bool ours = false;
        for (const auto& d : fleet.devices) ours = ours || static_cast<int>(d.port) == r.port;
        char code[9];
        std::snprintf(code, sizeof code, "%08x", static_cast<unsigned>(r.control_code.value_or(0)));
        std::string match = r.op == "open" ? "open" : "";
        if (r.ioctl == 0x0004D008u && r.mailbox)
            match = "mailbox:" + std::to_string(*r.mailbox);
        else if (r.ioctl == 0x0004D008u && r.control_code)
            match = std::string("ioctl:") + code;
        else if (r.ioctl == 0x00230800u)
            match = "bus_slot";
        else if (r.ioctl == 0x00230818u)
            match = "node_list";
        if (!ours || match.empty()) continue;
        const std::uint32_t skip = seen[{r.port, match}]++;
        std::vector<std::pair<Effect, std::uint32_t>> effects = {
            {Effect::Fail, match == "open" ? 2u : 31u}};
        if (match.compare(0, 6, "ioctl:") == 0) effects.push_back({Effect::ReturnCode, 1});
        if (match == "ioctl:80010204") effects.push_back({Effect::ReturnCode, 8});
        if (r.mailbox)
            for (std::uint32_t status : {253u, 252u, 18u})
                effects.push_back({Effect::MbxStatus, status});
        if (match == "mailbox:23" && r.region)  // a region read delivered in part
            effects.insert(effects.end(), {{Effect::DeliverBytes, 0}, {Effect::DeliverBytes, 4}});
        // 9 too early, 8 for ever (a sequence that never ends), 0 never heard of.
        if (match == "mailbox:156")
            effects.insert(effects.end(),
                           {{Effect::State, 9}, {Effect::State, 8}, {Effect::State, 0}});
        for (const auto& e : effects)
            out.push_back(
                {static_cast<std::uint32_t>(r.port), {match, skip, {}, e.first, e.second}});
    }
    return out;
}

// The sections of a saved file, each without its "[HBAn]" line.
std::set<std::string> Sections(const std::string& text) {
    std::set<std::string> out;
    for (std::size_t at = text.find("[HBA"), next; at != std::string::npos; at = next) {
        next = text.find("[HBA", at + 1);
        const std::size_t body = std::min(text.find('\n', at), next);
        out.insert(body == std::string::npos ? "" : text.substr(body, next - body));
    }
    return out;
}

std::uint32_t Selected(const fcemu::DeviceConfig& d) {
    return fcboot::LoadLe32(d.region4.data() + 12);
}

// The adapter's one boot code image (type byte 3).
std::uint32_t BootCode(const fcemu::DeviceConfig& d) {
    for (std::uint32_t id : d.boot_images)
        if (id >> 24 == 3) return id;
    return 0;
}

class FaultSweep : public testing::Test {
protected:
    void SetUp() override { fctest::WriteFileBytes(loadPath, kLoadFile); }
    const fcemu::Fleet fleet = SweepFleet();
    const std::string dir = fctest::TempDir(), loadPath = dir + "/load.cfg",
                      savePath = dir + "/save.cfg";
};

TEST_F(FaultSweep, EveryCallFailingInEveryWayKeepsEveryPromise) {
    std::size_t runs = 0, broken = 0, retries = 0, retriesMissed = 0;
    for (const std::string option : {"/s", "/se", "/l", "/le"}) {
        SCOPED_TRACE(option);
        const bool save = option[1] == 's', efib = option.back() == 'e';
        const std::string path = save ? savePath : loadPath;
        const fctest::RunResult clean = fctest::RunUtility(fleet, {option, path});
        ASSERT_EQ(clean.exit_code, 0);
        ASSERT_TRUE(clean.violations.empty()) << clean.violations.front();
        const auto cleanSections = Sections(save ? fctest::ReadFileBytes(savePath) : "");
        // The clean save writes every adapter; the clean load runs the staged
        // selection in full.
        bool memoryRead = false;
        for (const auto& rec : fctest::MailboxCalls(clean.log, 23))
            memoryRead = memoryRead || rec.address;
        ASSERT_TRUE(save ? cleanSections.size() == 3u
                         : memoryRead && !fctest::MailboxCalls(clean.log, 156).empty() &&
                               !fctest::MailboxCalls(clean.log, 27).empty());
        if (!save) {
            // Nothing selected and every section asking for a selection:
            // each adapter, whatever its model, ends with its boot code.
            fcemu::Fleet bare = fleet;
            for (auto& d : bare.devices) fcboot::StoreLe32(d.region4.data() + 12, 0);
            std::string all = kLoadFile;
            all.replace(all.find("SelectBootEnable=0"), 18, "SelectBootEnable=1");
            fctest::WriteFileBytes(dir + "/select.cfg", all);
            const fctest::RunResult r = fctest::RunUtility(bare, {option, dir + "/select.cfg"});
            EXPECT_EQ(r.exit_code, 0);
            for (std::size_t i = 0; i < bare.devices.size(); ++i)
                EXPECT_EQ(Selected(r.fleet_after.devices[i]), BootCode(bare.devices[i])) << i;
        }

        for (const auto& aimed : AimedRules(clean.log, fleet)) {
            const std::uint32_t port = aimed.first;
            for (bool once : {true, false}) {
                fcemu::FaultRule rule = aimed.second;
                if (once) rule.times = 1;
                fcemu::Fleet faulted = fleet;
                for (auto& d : faulted.devices)
                    if (d.port == port) d.faults.push_back(rule);
                if (save) fctest::WriteFileBytes(savePath, "stale\n");
                const fctest::RunResult r = fctest::RunUtility(faulted, {option, path});
                ++runs;

                bool ok = true;
                auto fail = [&](const std::string& why) {
                    ADD_FAILURE() << option << " port " << port << " " << rule.match << " skip "
                                  << rule.skip << " effect " << static_cast<int>(rule.effect)
                                  << " value " << rule.value << (once ? " once: " : " persistent: ")
                                  << why;
                    ok = false;
                };
                if (!fcfuzz::AllowedExitCode(r.exit_code))
                    fail("exit code " + std::to_string(r.exit_code));
                const std::string foreign = fcfuzz::ForeignLine(r.out);
                if (!foreign.empty()) fail("foreign output line \"" + foreign + "\"");
                for (const auto& v : r.violations) fail("protocol violation: " + v);
                fcemu::Fleet reparsed;
                std::string error;
                if (!fcemu::ParseFleet(fcemu::SerializeFleet(r.fleet_after), &reparsed, &error))
                    fail("fleet no longer serializes: " + error);

                bool anyApplied = false;
                for (std::size_t i = 0; i < r.fleet_after.devices.size(); ++i) {
                    const auto& d = r.fleet_after.devices[i];
                    const auto& b = fleet.devices[i];
                    const auto& a = clean.fleet_after.devices[i];
                    const std::string on = " on port " + std::to_string(d.port);
                    if (save && (d.region4 != b.region4 || d.region8 != b.region8 ||
                                 d.region10 != b.region10))
                        fail("a save changed the regions" + on);
                    // A load leaves every boot region untouched or exactly as
                    // the clean load wrote it, and the old or the new selection.
                    const bool applied = efib ? d.region10 == a.region10 : d.region8 == a.region8;
                    if (!save && !applied &&
                        (efib ? d.region10 != b.region10 : d.region8 != b.region8))
                        fail("torn boot region" + on);
                    if (!save && Selected(d) != Selected(b) && Selected(d) != Selected(a))
                        fail("unexpected image selected" + on);
                    anyApplied = anyApplied || (applied && Selected(d) == Selected(a));
                }
                if (!save && r.exit_code == 0 && !anyApplied)
                    fail("load ended with 0 but no section took effect");

                // A region delivered only in part fails the read, so every
                // section written holds what the adapter holds.
                const auto sections = Sections(save ? fctest::ReadFileBytes(savePath) : "");
                if (save && (r.exit_code == 0) == sections.empty())
                    fail("exit code " + std::to_string(r.exit_code) + " with " +
                         std::to_string(sections.size()) + " sections written");
                for (const std::string& section : sections)
                    if (cleanSections.count(section) == 0)
                        fail("section unlike the clean save's:" + section);

                // Whatever the fault left, the same load run again without it
                // ends with 0 and puts every adapter where one clean load does.
                if (!save) {
                    fcemu::Fleet mended = r.fleet_after;
                    for (auto& d : mended.devices) d.faults.clear();
                    const fctest::RunResult again = fctest::RunUtility(mended, {option, path});
                    ++retries;
                    bool missed = again.exit_code != 0 || !again.violations.empty();
                    if (again.exit_code != 0)
                        fail("run again, exit code " + std::to_string(again.exit_code));
                    for (const auto& v : again.violations) fail("run again, protocol violation: " + v);
                    for (std::size_t i = 0; i < again.fleet_after.devices.size(); ++i) {
                        const auto& d = again.fleet_after.devices[i];
                        const auto& a = clean.fleet_after.devices[i];
                        if (d.region4 != a.region4 || d.region8 != a.region8 ||
                            d.region10 != a.region10) {
                            fail("run again, regions unlike the clean load's on port " +
                                 std::to_string(d.port));
                            missed = true;
                        }
                    }
                    if (missed) ++retriesMissed;
                }
                if (!ok && ++broken >= 20) FAIL() << "too many broken runs; stopping";
            }
        }
    }
    std::printf("fault sweep: %u runs, %u loads run again, %u of them not as a clean load\n",
                static_cast<unsigned>(runs), static_cast<unsigned>(retries),
                static_cast<unsigned>(retriesMissed));
    EXPECT_GT(runs, 100u);
    EXPECT_GT(retries, 100u);
}

// A fault that hits every adapter leaves nothing that succeeded: the command
// must end with the failure, never with 0, and a save writes no section.
TEST_F(FaultSweep, AFailureOnEveryAdapterIsNeverReportedAsSuccess) {
    const struct {
        const char* option;
        fcemu::FaultRule rule;
        int exitCode;
    } cases[] = {
        // The region 4 dump passes; every region 8 (or 10) dump fails.
        {"/s", {"mailbox:23", 1, {}, Effect::Fail, 31}, fcboot::kExitAdapterCommand},
        {"/s", {"mailbox:23", 1, {}, Effect::MbxStatus, 253}, fcboot::kExitAdapterCommand},
        {"/se", {"mailbox:23", 1, {}, Effect::MbxStatus, 252}, fcboot::kExitAdapterCommand},
        {"/s", {"mailbox:23", 0, {}, Effect::MbxStatus, 18}, fcboot::kExitAdapterCommand},
        {"/s", {"ioctl:80010204", 4, {}, Effect::ReturnCode, 1}, fcboot::kExitOpenFailed},
        {"/s", {"open", 0, {}, Effect::Fail, 2}, fcboot::kExitNoAdapter},
        {"/l", {"mailbox:27", 0, {}, Effect::MbxStatus, 253}, fcboot::kExitAdapterCommand},
        {"/le", {"ioctl:8001013b", 0, {}, Effect::Fail, 31}, fcboot::kExitAdapterCommand},
        {"/l", {"mailbox:23", 0, {}, Effect::Fail, 31}, fcboot::kExitAdapterCommand},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.option) + " " + k.rule.match + " skip " +
                     std::to_string(k.rule.skip));
        fcemu::Fleet faulted = fleet;
        for (auto& d : faulted.devices) d.faults.push_back(k.rule);
        const bool save = k.option[1] == 's';
        const fctest::RunResult r =
            fctest::RunUtility(faulted, {k.option, save ? savePath : loadPath});
        EXPECT_EQ(r.exit_code, k.exitCode);
        EXPECT_TRUE(r.violations.empty());
        EXPECT_EQ(save && fctest::FileExists(savePath) ? fctest::ReadFileBytes(savePath) : "", "");
    }
}

}  // namespace
