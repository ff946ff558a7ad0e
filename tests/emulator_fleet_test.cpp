// Fleet files, persistence between runs, fcboot-emu's own command line and
// the reply hook that the hostile-driver fuzzing stands on.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "adapter/hba_records.h"
#include "adapter/srb.h"
#include "emulator/emulator.h"
#include "support/harness.h"

namespace {

std::string Fleet1(const std::string& deviceFields) {
    return R"({"fleet_version": 1, "devices": [{"port": 3, "port_wwn": "1000000000000004")" +
           deviceFields + "}]}";
}

using fctest::EmuMain;

TEST(EmulatorFleet, RefusesInvalidFilesNamingTheField) {
    const struct {
        std::string text;
        const char* field;
    } cases[] = {
        {"{\"devices\": []}", "fleet_version"},
        {R"({"fleet_version": 2, "devices": []})", "fleet_version"},
        {R"({"fleet_version": 1, "devices": [{"port": 0}]})", "devices[0].port_wwn"},
        {R"({"fleet_version": 1, "devices": [{"port": 256, "port_wwn": "1000000000000001"}]})",
         "devices[0].port"},
        {Fleet1(R"(, "node_wwn": "12345")"), "devices[0].node_wwn"},
        {Fleet1(R"(, "manufacturer": ")" + std::string(65, 'T') + "\""),
         "devices[0].manufacturer"},
        {Fleet1(R"(, "regions": {"8": "00"})"), "devices[0].regions.8"},
        {Fleet1(R"(, "regions": {"5": ""})"), "devices[0].regions.5"},
        {Fleet1(R"(, "vendor_specific_id": "F0A510DF")"), "devices[0].vendor_specific_id"},
        {Fleet1(R"(, "pci": {"bus": -1})"), "devices[0].pci.bus"},
        {Fleet1(R"(, "memory": [{"address": "0x79e", "words": []}])"),
         "devices[0].memory[0].address"},
        {Fleet1(R"(, "node_list": [{"wwn": "2100000000000099", "fcid": "0x1000000"}])"),
         "devices[0].node_list[0].fcid"},
        {Fleet1(R"(, "node_list": [{"wwn": "2100000000000099"},
                                   "2100000000000099010203000121000000000000990102030"])"),
         "devices[0].node_list[1]"},
        {Fleet1(R"(, "incomplete": "region 4 unreadable")"), "devices[0].incomplete"},
        {Fleet1(R"(, "faults": [{"match": "mailbox:23"}])"), "devices[0].faults[0]"},
        {Fleet1(R"(, "faults": [{"match": "mailbox:17", "state": 9}])"),
         "devices[0].faults[0].state"},
        {Fleet1(R"(, "faults": [{"match": "ioctl:80010299", "fail": 1}])"),
         "devices[0].faults[0].match"},
        {Fleet1(R"(, "faults": [{"match": "mailbox:256", "fail": 1}])"),
         "devices[0].faults[0].match"},
        {Fleet1(R"(, "fualts": [])"), "devices[0].fualts"},
        {R"({"fleet_version": 1, "devices": [{"port": 1, "port_wwn": "1000000000000001"},
             {"port": 1, "port_wwn": "1000000000000002"}]})",
         "devices[1].port"},
        {"{\"fleet_version\": 1,", "not valid JSON"},
    };
    for (const auto& c : cases) {
        fcemu::Fleet fleet;
        std::string error;
        EXPECT_FALSE(fcemu::ParseFleet(c.text, &fleet, &error)) << c.text;
        EXPECT_EQ(error.rfind(std::string(c.field) + ":", 0), 0u) << error;
    }
    // Beside them, what is just accepted, as it reads. (That whatever is
    // accepted reads back to the same text is the fleet file fuzz target's.)
    fcemu::Fleet fleet;
    std::string error;
    ASSERT_TRUE(fcemu::ParseFleet(
        Fleet1(R"(, "manufacturer": ")" + std::string(64, 'T') +
               R"(", "vendor_specific_id": 4037349599, "return_info": {"value_472": "0x0123456789ABCDEF"},
                  "node_list": null, "faults": [{"match": "ioctl:0x80010213", "skip": 2, "fail": 1},
                                                {"match": "mailbox:156", "times": 1, "state": 11}])"),
        &fleet, &error))
        << error;
    const fcemu::DeviceConfig& d = fleet.devices[0];
    EXPECT_EQ(d.vendor_specific_id, 0xF0A510DFu);
    EXPECT_EQ(d.value_472, 0x0123456789ABCDEFull);
    EXPECT_FALSE(d.node_list.has_value());
    EXPECT_FALSE(d.faults[0].times.has_value());
    EXPECT_EQ(d.faults[1].effect, fcemu::FaultRule::Effect::State);
    // A device without a node name takes its port name's, byte 0 as 0x20;
    // without a serial number, "TV8" and 1000 + its port.
    fcemu::Fleet named;
    ASSERT_TRUE(fcemu::ParseFleet(R"({"fleet_version": 1, "devices": [{"port": 3, "port_wwn": "10000000c9a1b2c3"}]})",
                                  &named, &error))
        << error;
    EXPECT_EQ(named.devices[0].node_wwn, (std::array<std::uint8_t, 8>{0x20, 0, 0, 0, 0xC9, 0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(named.devices[0].serial_number, "TV80001003");
}

// Every port number has its slot in the adapter table.
TEST(EmulatorFleet, ServesAFleetOf256Adapters) {
    fcemu::Fleet fleet;
    for (std::uint32_t port = 0; port < 256; ++port) fleet.devices.push_back(fcemu::DefaultDevice(port));
    const fctest::RunResult r = fctest::RunUtility(fleet, {"/s", fctest::TempDir() + "/all.cfg"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(fctest::ControlCodeCalls(r.log, 0x80010213).size(), 256u);
}

TEST(EmulatorFleet, FcbootEmuRunsTheUtilityKeepsStateAndStopsOnItsOwnErrors) {
    const std::string dir = fctest::TempDir();
    const std::string fleet = dir + "/fleet.json";
    const std::string log = dir + "/requests.jsonl";
    EXPECT_EQ(EmuMain({"--write-demo-fleet", fleet}), 0);
    const std::string demo = fctest::ReadFileBytes(fleet);
    EXPECT_EQ(demo, fcemu::SerializeFleet(fcemu::DemoFleet()));
    EXPECT_EQ(fctest::ReadFileBytes(std::string(FCBOOT_SOURCE_DIR) + "/examples/demo-fleet.json"),
              demo);
    // A rule that fires once in the run below, and once in every later run.
    fcemu::Fleet after;
    std::string error;
    ASSERT_TRUE(fcemu::LoadFleetFile(fleet, &after, &error)) << error;
    after.devices[0].faults = {{"node_list", 0, 1, fcemu::FaultRule::Effect::Fail, 122}};
    ASSERT_TRUE(fcemu::SaveFleetFile(fleet, after, &error)) << error;  // replaces the file
    EXPECT_FALSE(fctest::FileExists(fleet + ".tmp"));
    fctest::WriteFileBytes(dir + "/in.cfg",
                           "[HBA0]\nWWID=1000000000000002\nHostAdapterBiosEnable=1\n"
                           "SelectBootEnable=0\nBootDeviceWWID=2000001122334455\n"
                           "BootDeviceLUN[0]=200\n");
    EXPECT_EQ(EmuMain({"--fleet", fleet, "--requests", log, "--", "/l", dir + "/in.cfg"}), 0);
    ASSERT_TRUE(fcemu::LoadFleetFile(fleet, &after, &error)) << error;
    std::size_t fired = 0;
    for (const auto& r : fcemu::RequestLog()) fired += r.error == 122;
    EXPECT_EQ(fired, 1u);
    ASSERT_EQ(after.devices[0].faults.size(), 1u);
    EXPECT_EQ(after.devices[0].faults[0].times, 1u);
    EXPECT_NE(after.devices[1].region8, fcemu::DemoFleet().devices[1].region8);  // the load took effect
    EXPECT_EQ(after.devices[0].region8, fcemu::DemoFleet().devices[0].region8);
    EXPECT_EQ(fctest::ReadFileBytes(log).rfind("{\"seq\":1,\"op\":\"open\",\"port\":0,", 0), 0u);

    // Written back only when the run changed it: a save leaves it as it is.
    const std::string changed = fctest::ReadFileBytes(fleet) + "\n";
    EXPECT_NE(changed, demo + "\n");
    fctest::WriteFileBytes(fleet, changed);
    EXPECT_EQ(EmuMain({"--fleet", fleet, "/s", dir + "/saved.cfg"}), 0);
    EXPECT_EQ(fctest::ReadFileBytes(fleet), changed);
    // Never over an existing file.
    EXPECT_EQ(EmuMain({"--write-demo-fleet", fleet}), 125);
    EXPECT_EQ(fctest::ReadFileBytes(fleet), changed);
    testing::internal::CaptureStdout();
    EXPECT_EQ(EmuMain({"--version"}), 0);
    EXPECT_EQ(EmuMain({"--help"}), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind(FCBOOT_VERSION_LINE "\nusage: fcboot-emu ", 0), 0u) << out;

    // Own errors: 125, and the utility does not run (the fleet stays as it was).
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--fleet", fleet, "--verbose", "/s", dir + "/x.cfg"},
          {"--fleet"},
          {"--fleet", dir + "/none.json", "/s", dir + "/x.cfg"},
          {"--fleet", fleet, "--requests", dir + "/no/such/dir/r.jsonl", "/s", dir + "/x.cfg"},
          // Serving needs --run, and the driver, which no test here has.
          {"--serve", "/s", dir + "/x.cfg"},
          {"--fleet", fleet, "--serve", "--run", "fcboot.exe", "/s", dir + "/x.cfg"}})
        EXPECT_EQ(EmuMain(args), 125) << args.back();
    EXPECT_FALSE(fctest::FileExists(dir + "/x.cfg"));
    EXPECT_EQ(fctest::ReadFileBytes(fleet), changed);
}

// Rewrites the port name in every port query of adapter 0 (a port driver).
struct Seen {
    unsigned calls = 0, portQueries = 0;
};
void RenamePort(void* ctx, const fcemu::RequestRecord& r, std::uint8_t* reply, std::uint32_t size,
                std::uint32_t* bytesReturned) {
    Seen& seen = *static_cast<Seen*>(ctx);
    ++seen.calls;
    EXPECT_TRUE(r.ok);
    EXPECT_LE(*bytesReturned, size);
    if (r.control_code && *r.control_code == fcboot::GET_ADAPTER_PORT_ATTRIBUTES && r.port == 0) {
        ++seen.portQueries;
        std::uint8_t* wwn =
            reply + fcboot::kPortAttributesRecordOffsetPortDriver + fcboot::kPortPortWWN;
        for (int i = 0; i < 8; ++i) wwn[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
}

TEST(ReplyMutator, TheUtilityGetsTheAlteredReplyAndANewServerHasNoHook) {
    const std::string file = fctest::TempDir() + "/boot.cfg";
    Seen seen;
    const fctest::RunResult r = fctest::RunUtility(fcemu::DemoFleet(), {"/s", file}, RenamePort, &seen);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.violations.empty());
    EXPECT_GT(seen.portQueries, 0u);
    unsigned okIoctls = 0;  // the hook sees every successful request, and only those
    for (const auto& x : r.log) okIoctls += x.op == "ioctl" && x.ok;
    EXPECT_EQ(seen.calls, okIoctls);
    const std::string saved = fctest::ReadFileBytes(file);
    EXPECT_NE(saved.find("WWID=a0a1a2a3a4a5a6a7"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("WWID=1000000000000001"), std::string::npos) << saved;

    EXPECT_EQ(fctest::RunUtility(fcemu::DemoFleet(), {"/s", file}).exit_code, 0);
    EXPECT_EQ(seen.calls, okIoctls);
    EXPECT_NE(fctest::ReadFileBytes(file).find("WWID=1000000000000001"), std::string::npos);
}

}  // namespace
