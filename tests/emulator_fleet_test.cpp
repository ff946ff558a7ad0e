// Fleet files, persistence between runs, the demo fleet and fcboot-emu's
// own command line.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator/emulator.h"
#include "platform/win32.h"
#include "support/harness.h"

namespace {

using namespace fcplat;

const char kWorkedExample[] =
    "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
    "BootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=0\n\n"
    "[HBA1]\nWWID=1000000000000002\nHostAdapterBiosEnable=0\nSelectBootEnable=0\n"
    "BootDeviceWWID=0000000000000000\nBootDeviceLUN[0]=0\n\n";

std::string Fleet1(const std::string& deviceFields) {
    return R"({"fleet_version": 1, "devices": [{"port": 3, "port_wwn": "1000000000000004")" +
           deviceFields + "}]}";
}

int EmuMain(std::vector<std::string> args) {
    args.insert(args.begin(), "fcboot-emu");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return fcemu::FcbootEmuMain(static_cast<int>(args.size()), argv.data());
}

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
        {Fleet1(R"(, "faults": [{"match": "mailbox:23"}])"), "devices[0].faults[0]"},
        {Fleet1(R"(, "faults": [{"match": "mailbox:17", "state": 9}])"),
         "devices[0].faults[0].state"},
        {Fleet1(R"(, "faults": [{"match": "ioctl:80010299", "fail": 1}])"),
         "devices[0].faults[0].match"},
        {Fleet1(R"(, "fualts": [])"), "devices[0].fualts"},
        {R"({"fleet_version": 1, "devices": [{"port": 1, "port_wwn": "1000000000000001"},
             {"port": 1, "port_wwn": "1000000000000002"}]})",
         "devices[1].port"},
    };
    for (const auto& c : cases) {
        fcemu::Fleet fleet;
        std::string error;
        EXPECT_FALSE(fcemu::ParseFleet(c.text, &fleet, &error)) << c.text;
        EXPECT_EQ(error.rfind(std::string(c.field) + ":", 0), 0u) << error;
    }
    fcemu::Fleet fleet;
    std::string error;
    EXPECT_FALSE(fcemu::ParseFleet("{\"fleet_version\": 1,", &fleet, &error));
    EXPECT_NE(error.find("JSON"), std::string::npos);
}

TEST(EmulatorFleet, MinimalDeviceTakesDefaultsAndRoundTrips) {
    fcemu::Fleet fleet;
    std::string error;
    ASSERT_TRUE(fcemu::ParseFleet(
        Fleet1(R"(, "manufacturer": ")" + std::string(64, 'T') +
               R"(", "vendor_specific_id": 4037349599, "revision": {"primary": "0x01004000"},
                  "return_info": {"value_472": "0x0123456789ABCDEF"}, "node_list": null,
                  "faults": [{"match": "ioctl:0x80010213", "skip": 2, "fail": 1},
                             {"match": "mailbox:156", "times": 1, "state": 11}])"),
        &fleet, &error))
        << error;
    const fcemu::DeviceConfig& d = fleet.devices[0];
    EXPECT_EQ(d.port, 3u);
    EXPECT_EQ(d.manufacturer.size(), 64u);
    EXPECT_EQ(d.vendor_specific_id, 0xF0A510DFu);
    EXPECT_EQ(d.revision_primary, 0x01004000u);
    EXPECT_EQ(d.value_472, 0x0123456789ABCDEFull);
    EXPECT_FALSE(d.node_list.has_value());
    EXPECT_EQ(d.driver_name, "tarsli2");
    EXPECT_EQ(d.node_wwn[0], 0x20);
    ASSERT_EQ(d.faults.size(), 2u);
    EXPECT_EQ(d.faults[0].skip, 2u);
    EXPECT_FALSE(d.faults[0].times.has_value());
    EXPECT_EQ(d.faults[1].effect, fcemu::FaultRule::Effect::State);

    const std::string text = fcemu::SerializeFleet(fleet);
    fcemu::Fleet again;
    ASSERT_TRUE(fcemu::ParseFleet(text, &again, &error)) << error;
    EXPECT_EQ(fcemu::SerializeFleet(again), text);
    EXPECT_EQ(again.devices[0].faults[0].match, "ioctl:0x80010213");
}

TEST(EmulatorFleet, StatePersistsThroughTheFileAndFaultsRearm) {
    const std::string dir = fctest::TempDir();
    const std::string path = dir + "/fleet.json";
    fcemu::Fleet fleet;
    fleet.devices.push_back(fcemu::DefaultDevice(0));
    fleet.devices[0].faults = {{"open", 0, 1, fcemu::FaultRule::Effect::Fail, 5}};
    std::string error;
    ASSERT_TRUE(fcemu::SaveFleetFile(path, fleet, &error)) << error;
    ASSERT_TRUE(fcemu::SaveFleetFile(path, fleet, &error)) << error;  // replaces
    EXPECT_FALSE(fctest::FileExists(path + ".tmp"));

    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(fcemu::LoadFleetFile(path, &fleet, &error)) << error;
        fcemu::StartServer(fleet);
        const char* dev = "\\\\.\\Scsi0:";
        const DWORD rw = GENERIC_READ | GENERIC_WRITE, share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        EXPECT_EQ(CreateFileA(dev, rw, share, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);  // the rule fires again in every run
        HANDLE h = CreateFileA(dev, rw, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        // Inline update of region 8: byte 20 of the block is region byte 0.
        std::vector<std::uint8_t> req(5840, 0);
        const std::uint8_t header[] = {28, 0, 0, 0, 'K', 'X', '6', '0', '0', '0', 0, 0, 20, 0, 0, 0,
                                       0x06, 0x01, 0x01, 0x80, 0, 0, 0, 0, 0xB4, 0x16, 0, 0};
        std::memcpy(req.data(), header, sizeof header);
        const std::uint8_t block[] = {0x01, 0x1B, 0, 0, 0x12, 0, 0, 0, 8, 0, 60, 0,
                                      0, 0, 0, 0, 60, 0, 0, 0};
        std::memcpy(&req[32], block, sizeof block);
        req[32 + 20] = static_cast<std::uint8_t>(0xA0 + run);
        req[28 + 4108] = 32;
        DWORD n = 0;
        EXPECT_NE(DeviceIoControl(h, 0x4D008, req.data(), 5840, req.data(), 5840, &n, nullptr), 0);
        CloseHandle(h);
        fcemu::StopServer();
        EXPECT_TRUE(fcemu::Violations().empty());
        ASSERT_TRUE(fcemu::SaveFleetFile(path, fcemu::CurrentFleet(), &error)) << error;
    }
    ASSERT_TRUE(fcemu::LoadFleetFile(path, &fleet, &error)) << error;
    EXPECT_EQ(fleet.devices[0].region8[0], 0xA1);
    ASSERT_EQ(fleet.devices[0].faults.size(), 1u);
    EXPECT_EQ(fleet.devices[0].faults[0].times, 1u);
    EXPECT_FALSE(fcemu::LoadFleetFile(dir + "/missing.json", &fleet, &error));
}

TEST(EmulatorFleet, ServesAFleetOf256Adapters) {
    std::string text = R"({"fleet_version": 1, "devices": [)";
    for (int port = 0; port < 256; ++port) {
        char device[96];
        std::snprintf(device, sizeof device, R"(%s{"port": %d, "port_wwn": "10000000000001%02x"})",
                      port ? "," : "", port, port);
        text += device;
    }
    text += "]}";
    fcemu::Fleet fleet;
    std::string error;
    ASSERT_TRUE(fcemu::ParseFleet(text, &fleet, &error)) << error;
    ASSERT_EQ(fleet.devices.size(), 256u);
    const fctest::RunResult r = fctest::RunUtility(fleet, {"/s", fctest::TempDir() + "/all.cfg"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(fctest::ControlCodeCalls(r.log, 0x80010213).size(), 256u);
}

TEST(EmulatorFleet, DemoFleetSavesTheWorkedExampleAndLoadsBackUnchanged) {
    const fcemu::Fleet demo = fcemu::DemoFleet();
    const std::string dir = fctest::TempDir();
    for (const char* save : {"/s", "/se"}) {
        const std::string file = dir + "/boot" + (save + 1) + ".cfg";
        const fctest::RunResult r = fctest::RunUtility(demo, {save, file});
        EXPECT_EQ(r.exit_code, 0) << save;
        EXPECT_EQ(fctest::ReadFileBytes(file), fctest::NativeText(kWorkedExample)) << save;
        EXPECT_TRUE(r.violations.empty());
    }
    fctest::WriteFileBytes(dir + "/in.cfg", kWorkedExample);
    for (const char* load : {"/l", "/le"}) {
        const fctest::RunResult r = fctest::RunUtility(demo, {load, dir + "/in.cfg"});
        EXPECT_EQ(r.exit_code, 0) << load;
        EXPECT_EQ(fcemu::SerializeFleet(r.fleet_after), fcemu::SerializeFleet(demo)) << load;
        EXPECT_TRUE(r.violations.empty());
    }
    // Both port-query forms are exercised.
    EXPECT_EQ(demo.devices[0].driver_name, "tarsli2");
    EXPECT_NE(demo.devices[1].driver_name, "tarsli2");
    EXPECT_EQ(fctest::ReadFileBytes(std::string(FCBOOT_SOURCE_DIR) + "/examples/demo-fleet.json"),
              fcemu::SerializeFleet(demo));
}

TEST(EmulatorFleet, FcbootEmuRunsTheUtilityAndKeepsState) {
    const std::string dir = fctest::TempDir();
    const std::string fleet = dir + "/fleet.json";
    const std::string log = dir + "/requests.jsonl";
    EXPECT_EQ(EmuMain({"--write-demo-fleet", fleet}), 0);
    const std::string before = fctest::ReadFileBytes(fleet);
    fctest::WriteFileBytes(dir + "/in.cfg",
                           "[HBA0]\nWWID=1000000000000002\nHostAdapterBiosEnable=1\n"
                           "SelectBootEnable=0\nBootDeviceWWID=2000001122334455\n"
                           "BootDeviceLUN[0]=200\n");
    EXPECT_EQ(EmuMain({"--fleet", fleet, "--requests", log, "--", "/l", dir + "/in.cfg"}), 0);
    fcemu::Fleet after;
    std::string error;
    ASSERT_TRUE(fcemu::LoadFleetFile(fleet, &after, &error)) << error;
    const std::uint8_t expected[] = {0x11, 0x00, 0x00, 0x20, 0x55, 0x44, 0x33, 0x22};
    EXPECT_EQ(0, std::memcmp(&after.devices[1].region8[17], expected, 8));
    EXPECT_EQ(after.devices[1].region8[28], 200);
    EXPECT_EQ(after.devices[1].region8[9], 1);
    EXPECT_EQ(after.devices[0].region8, fcemu::DemoFleet().devices[0].region8);

    const std::string lines = fctest::ReadFileBytes(log);
    ASSERT_FALSE(lines.empty());
    const auto first = nlohmann::json::parse(lines.substr(0, lines.find('\n')));
    EXPECT_EQ(first["seq"], 1);
    EXPECT_EQ(first["op"], "open");
    EXPECT_EQ(first["port"], 0);

    // Own errors: 125, and the utility does not run (the fleet stays as it was).
    const std::string changed = fctest::ReadFileBytes(fleet);
    EXPECT_EQ(EmuMain({"--fleet", fleet, "--verbose", "/s", dir + "/x.cfg"}), 125);
    EXPECT_EQ(EmuMain({"--fleet"}), 125);
    EXPECT_EQ(EmuMain({"--fleet", dir + "/none.json", "/s", dir + "/x.cfg"}), 125);
    EXPECT_EQ(EmuMain({"--fleet", fleet, "--requests", dir + "/no/such/dir/r.jsonl", "/s",
                       dir + "/x.cfg"}),
              125);
    EXPECT_FALSE(fctest::FileExists(dir + "/x.cfg"));
    EXPECT_EQ(fctest::ReadFileBytes(fleet), changed);
    EXPECT_NE(changed, before);
}

}  // namespace
