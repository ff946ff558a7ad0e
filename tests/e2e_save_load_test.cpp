// Save and load end to end: the utility's main against emulated servers,
// judged by the file it writes, the adapters' regions afterwards, the
// request log and the exit code.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

const char kWorkedExample[] =
    "[HBA0]\n"
    "WWID=1000000000000001\n"
    "HostAdapterBiosEnable=1\n"
    "SelectBootEnable=1\n"
    "BootDeviceWWID=500000000000a001\n"
    "BootDeviceLUN[0]=0\n"
    "\n"
    "[HBA1]\n"
    "WWID=1000000000000002\n"
    "HostAdapterBiosEnable=0\n"
    "SelectBootEnable=0\n"
    "BootDeviceWWID=0000000000000000\n"
    "BootDeviceLUN[0]=0\n"
    "\n";

const char kAdapter0Unchanged[] = "bios=1 dev=500000000000a001 lun=0";

fctest::RunResult RunChecked(const fcemu::Fleet& fleet, const std::vector<std::string>& args) {
    fctest::RunResult r = fctest::RunUtility(fleet, args);
    for (const auto& v : r.violations) ADD_FAILURE() << "protocol violation: " << v;
    return r;
}

std::string Hex(const std::uint8_t* bytes, int n) {
    std::string s;
    char two[3];
    for (int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        s += two;
    }
    return s;
}

// The boot settings that region 8 (BIOS) or region 10 (EFIB) holds; the
// device name is stored with each half byte-reversed.
std::string BiosSettings(const fcemu::DeviceConfig& d) {
    const auto& r = d.region8;
    const std::uint8_t dev[8] = {r[20], r[19], r[18], r[17], r[24], r[23], r[22], r[21]};
    return "bios=" + std::to_string(r[9]) + " dev=" + Hex(dev, 8) + " lun=" + std::to_string(r[28]);
}

std::string EfibSettings(const fcemu::DeviceConfig& d) {
    const auto& r = d.region10;
    const std::uint8_t dev[8] = {r[7], r[6], r[5], r[4], r[11], r[10], r[9], r[8]};
    return "bios=" + std::to_string(r[196] & 1) + " dev=" + Hex(dev, 8) +
           " lun=" + std::to_string(r[13] + 256 * (r[12] & 0x3F));
}

std::uint32_t SelectedImage(const fcemu::DeviceConfig& d) {
    const auto& r = d.region4;
    return r[12] | r[13] << 8 | r[14] << 16 | static_cast<std::uint32_t>(r[15]) << 24;
}

std::size_t RegionUpdates(const fctest::RunResult& r, std::uint32_t region) {
    std::size_t n = 0;
    for (const auto& rec : fctest::MailboxCalls(r.log, 27))
        if (rec.region && *rec.region == region) ++n;
    return n;
}

std::string Section(const std::string& header, const std::string& wwid, const std::string& bios,
                    const std::string& select, const std::string& device, const std::string& lun) {
    return header + "\nWWID=" + wwid + "\nHostAdapterBiosEnable=" + bios +
           "\nSelectBootEnable=" + select + "\nBootDeviceWWID=" + device +
           "\nBootDeviceLUN[0]=" + lun + "\n";
}

fctest::RunResult LoadText(const fcemu::Fleet& fleet, const std::string& text,
                           const char* option = "/l") {
    std::string path = fctest::TempDir() + "/boot.cfg";
    fctest::WriteFileBytes(path, text);
    return RunChecked(fleet, {option, path});
}

fcemu::FaultRule Fault(const char* match, fcemu::FaultRule::Effect effect, std::uint32_t value) {
    fcemu::FaultRule f;
    f.match = match;
    f.effect = effect;
    f.value = value;
    return f;
}

// A demo-like adapter (a model whose boot image checks accept its images)
// answering to another port and port name.
fcemu::DeviceConfig AdapterLikeDemo(std::uint32_t port, const char* wwn) {
    fcemu::DeviceConfig d = fcemu::DemoFleet().devices[0];
    d.port = port;
    d.port_wwn = fctest::Wwn(wwn);
    return d;
}

TEST(WorkedExample, SaveWritesItExactlyInBothModesAndChangesNothing) {
    const fcemu::Fleet demo = fcemu::DemoFleet();
    for (const char* option : {"/s", "/se"}) {
        SCOPED_TRACE(option);
        std::string path = fctest::TempDir() + "/boot.cfg";
        fctest::RunResult r = RunChecked(demo, {option, path});
        EXPECT_EQ(r.exit_code, fcboot::kExitOk);
        EXPECT_EQ(fctest::ReadFileBytes(path), fctest::NativeText(kWorkedExample));
        EXPECT_EQ(fctest::MailboxCalls(r.log, 27).size(), 0u);
    }
}

TEST(WorkedExample, LoadAppliesBothSectionsAndLeavesEveryRegionAsItWas) {
    const fcemu::Fleet demo = fcemu::DemoFleet();
    for (const char* option : {"/l", "/le"}) {
        SCOPED_TRACE(option);
        fctest::RunResult r = LoadText(demo, kWorkedExample, option);
        EXPECT_EQ(r.exit_code, fcboot::kExitOk);
        EXPECT_EQ(RegionUpdates(r, option[2] == 'e' ? 10 : 8), 2u);
        ASSERT_EQ(r.fleet_after.devices.size(), demo.devices.size());
        for (std::size_t i = 0; i < demo.devices.size(); ++i) {
            EXPECT_EQ(r.fleet_after.devices[i].region4, demo.devices[i].region4);
            EXPECT_EQ(r.fleet_after.devices[i].region8, demo.devices[i].region8);
            EXPECT_EQ(r.fleet_after.devices[i].region10, demo.devices[i].region10);
        }
    }
}

TEST(ExitCodes, NoAdaptersUnreadablePathsAndRefreshFailure) {
    const std::string dir = fctest::TempDir();
    const fcemu::Fleet empty;
    EXPECT_EQ(RunChecked(empty, {"/s", dir + "/none.cfg"}).exit_code, fcboot::kExitNoAdapter);
    EXPECT_FALSE(fctest::FileExists(dir + "/none.cfg"));
    EXPECT_EQ(RunChecked(empty, {"/l", dir + "/none.cfg"}).exit_code, fcboot::kExitNoAdapter);

    const fcemu::Fleet demo = fcemu::DemoFleet();
    EXPECT_EQ(RunChecked(demo, {"/s", dir + "/no-such-folder/boot.cfg"}).exit_code, fcboot::kExitFile);
    EXPECT_EQ(RunChecked(demo, {"/l", dir + "/missing.cfg"}).exit_code, fcboot::kExitFile);

    fcemu::Fleet refreshFails = demo;
    refreshFails.devices[1].faults.push_back(
        Fault("ioctl:80010213", fcemu::FaultRule::Effect::Fail, 31));
    const std::string kept = dir + "/kept.cfg";
    fctest::WriteFileBytes(kept, "left alone\n");
    EXPECT_EQ(RunChecked(refreshFails, {"/s", kept}).exit_code, fcboot::kExitOpenFailed);
    EXPECT_EQ(fctest::ReadFileBytes(kept), "left alone\n");
}

TEST(ExitCodes, SaveKeepsGoingPastAFailedAdapter) {
    // A region 10 without its marker fails the EFIB read: that adapter's
    // section is left out and the other one still makes the save succeed.
    fcemu::Fleet demo = fcemu::DemoFleet();
    demo.devices[0].region10.fill(0);
    std::string path = fctest::TempDir() + "/boot.cfg";
    EXPECT_EQ(RunChecked(demo, {"/se", path}).exit_code, fcboot::kExitOk);
    std::string text = kWorkedExample;
    EXPECT_EQ(fctest::ReadFileBytes(path), fctest::NativeText(text.substr(text.find("[HBA1]"))));

    fcemu::Fleet single;
    single.devices.push_back(demo.devices[0]);
    EXPECT_EQ(RunChecked(single, {"/se", path}).exit_code, fcboot::kExitAdapterCommand);
    EXPECT_EQ(fctest::ReadFileBytes(path), "");

    single.devices[0] = fcemu::DemoFleet().devices[0];
    single.devices[0].faults.push_back(
        Fault("ioctl:80010204", fcemu::FaultRule::Effect::ReturnCode, 1));
    EXPECT_EQ(RunChecked(single, {"/s", path}).exit_code, fcboot::kExitOpenFailed);
    EXPECT_EQ(fctest::ReadFileBytes(path), "");
}

TEST(ExitCodes, LoadFailuresOfTheAdapter) {
    const std::string good = Section("[HBA0]", "1000000000000001", "1", "1", "500000000000a001", "0");

    fcemu::Fleet noBootCode;
    noBootCode.devices.push_back(AdapterLikeDemo(0, "1000000000000001"));
    noBootCode.devices[0].region4.fill(0);
    noBootCode.devices[0].boot_images = {0x02960002};  // firmware, not boot code
    fctest::RunResult r = LoadText(noBootCode, good);
    EXPECT_EQ(r.exit_code, fcboot::kExitNoBootImage);
    EXPECT_EQ(SelectedImage(r.fleet_after.devices[0]), 0u);
    EXPECT_EQ(RegionUpdates(r, 8), 1u);  // the boot region is written all the same

    fcemu::Fleet updateFails = fcemu::DemoFleet();
    updateFails.devices[0].faults.push_back(
        Fault("mailbox:27", fcemu::FaultRule::Effect::MbxStatus, 1));
    EXPECT_EQ(LoadText(updateFails, good).exit_code, fcboot::kExitAdapterCommand);

    // Both steps fail: the write's failure is the one reported.
    noBootCode.devices[0].faults.push_back(
        Fault("mailbox:27", fcemu::FaultRule::Effect::MbxStatus, 1));
    EXPECT_EQ(LoadText(noBootCode, good).exit_code, fcboot::kExitAdapterCommand);
}

TEST(LoadParser, LinesAreReadTheWayTheFileFormatSays) {
    struct Case {
        const char* name;
        std::string text;
        int exit;
        std::string adapter0;
    };
    const std::string tail = "SelectBootEnable=1\nBootDeviceWWID=5\nBootDeviceLUN[0]=7\n";
    const std::string applied = "bios=0 dev=0000000000000005 lun=7";
    const std::string anyCase =
        "[HBA0]\nwwid=1000000000000001\n  hostadapterbiosenable = 0 ; turned off\n"
        "SELECTBOOTENABLE=1\nbootdevicewwid=A001\nBootDeviceLUN[0]=255;max\n";
    std::string crlf;
    for (char c : anyCase) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const Case cases[] = {
        {"any letter case", anyCase, 0, "bios=0 dev=000000000000a001 lun=255"},
        {"carriage returns", crlf, 0, "bios=0 dev=000000000000a001 lun=255"},
        {"lowercase header inside",
         "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=0\n[hba1]\n" + tail, 0, applied},
        {"header with extra word",
         "[HBA1] extra\nWWID=1000000000000001\nHostAdapterBiosEnable=0\n[HBA1] extra\n" + tail, 0,
         applied},
        {"keys before header, rest of header line",
         "WWID=1000000000000001\nHostAdapterBiosEnable=0\n[HBA0] WWID=1000000000000001\n"
         "HostAdapterBiosEnable=0\n" + tail,
         0, kAdapter0Unchanged},
        {"duplicates",
         "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=0\nHostAdapterBiosEnable=2\n"
         "SelectBootEnable=1\nBootDeviceWWID=4\nBootDeviceWWID=5\nBootDeviceLUN[0]=7\n"
         "BootDeviceLUN[0]=9\n",
         0, applied},
        {"header restarts an incomplete section",
         "[HBA0]\nWWID=1000000000000001\nBootDeviceLUN[0]=256\n[HBA0]\nWWID=1000000000000001\n"
         "HostAdapterBiosEnable=0\n" + tail,
         0, applied},
        {"header drops what was collected",
         "[HBA0]\nHostAdapterBiosEnable=0\n[HBA0]\nWWID=1000000000000001\n" + tail, 0,
         kAdapter0Unchanged},
        {"tail of a long line is a line of its own",
         "[HBA0]\nWWID=1000000000000001\n" + std::string(255, 'x') + "HostAdapterBiosEnable=0\n" +
             std::string(600, ';') + "\n" + tail,
         0, applied},
        {"no header", "WWID=1000000000000001\n" + tail, 0, kAdapter0Unchanged},
        {"missing key", "[HBA0]\nWWID=1000000000000001\n" + tail, 0, kAdapter0Unchanged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fctest::RunResult r = LoadText(fcemu::DemoFleet(), c.text);
        EXPECT_EQ(r.exit_code, c.exit);
        ASSERT_FALSE(r.fleet_after.devices.empty());
        EXPECT_EQ(BiosSettings(r.fleet_after.devices[0]), c.adapter0);
    }
}

TEST(LoadParser, RejectedValuesEndTheLoadWithTheirCode) {
    const std::vector<std::pair<std::string, int>> lines = {
        {"WWID=0x10000000000001", 7}, {"WWID=10000000000000001", 7}, {"WWID=", 7},
        {"BootDeviceWWID=500000000000a00g", 7}, {"HostAdapterBiosEnable=2", 16},
        {"HostAdapterBiosEnable=000001", 16}, {"SelectBootEnable=-1", 16},
        {"SelectBootEnable=+1", 16}, {"BootDeviceLUN[0]=256", 8},
    };
    for (const auto& [line, code] : lines) {
        SCOPED_TRACE(line);
        std::string key = line.substr(0, line.find('='));
        std::string text = "[HBA0]\n";
        for (const char* k : {"WWID=1000000000000001", "HostAdapterBiosEnable=0",
                              "SelectBootEnable=1", "BootDeviceWWID=5", "BootDeviceLUN[0]=7"})
            text += std::string(k).rfind(key + "=", 0) == 0 ? line + "\n" : std::string(k) + "\n";
        fctest::RunResult r = LoadText(fcemu::DemoFleet(), text);
        EXPECT_EQ(r.exit_code, code);
        EXPECT_EQ(fctest::MailboxCalls(r.log, 27).size(), 0u);
    }
}

TEST(LoadRouting, SectionsGoToTheAdapterTheirWwidNames) {
    fcemu::Fleet fleet = fcemu::DemoFleet();
    fleet.devices.push_back(AdapterLikeDemo(5, "1000000000000003"));

    // Header numbers are never read; order does not matter.
    fctest::RunResult r =
        LoadText(fleet, Section("[HBA7]", "1000000000000003", "0", "1", "33", "3") +
                            Section("[HBA0]", "1000000000000002", "1", "0", "22", "2"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(BiosSettings(r.fleet_after.devices[1]), "bios=1 dev=0000000000000022 lun=2");
    EXPECT_EQ(BiosSettings(r.fleet_after.devices[2]), "bios=0 dev=0000000000000033 lun=3");
    EXPECT_EQ(BiosSettings(r.fleet_after.devices[0]), kAdapter0Unchanged);

    // Two sections for one adapter are applied in turn.
    r = LoadText(fleet, Section("[HBA0]", "1000000000000001", "0", "1", "11", "1") +
                            Section("[HBA0]", "1000000000000001", "1", "1", "12", "9"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(RegionUpdates(r, 8), 2u);
    EXPECT_EQ(BiosSettings(r.fleet_after.devices[0]), "bios=1 dev=0000000000000012 lun=9");

    // An unknown WWID fails alone, touching no adapter, but not beside a good section.
    const std::string stranger = Section("[HBA0]", "2000000000000009", "1", "1", "5", "0");
    r = LoadText(fleet, stranger);
    EXPECT_EQ(r.exit_code, fcboot::kExitNoSuchAdapter);
    EXPECT_TRUE(fctest::MailboxCalls(r.log, 23).empty());
    EXPECT_TRUE(fctest::MailboxCalls(r.log, 27).empty());
    r = LoadText(fleet, stranger + Section("[HBA1]", "1000000000000002", "1", "0", "5", "4"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(BiosSettings(r.fleet_after.devices[1]), "bios=1 dev=0000000000000005 lun=4");
}

TEST(SaveLoadModes, AFileSavedInOneModeLoadsInTheOther) {
    const std::string dir = fctest::TempDir();
    fctest::RunResult r = LoadText(
        fcemu::DemoFleet(), Section("[HBA0]", "1000000000000001", "0", "1", "2100000000000042", "200"));
    ASSERT_EQ(r.exit_code, 0);

    // Saved from the BIOS region, loaded into the EFIB region, saved again.
    ASSERT_EQ(RunChecked(r.fleet_after, {"/s", dir + "/bios.cfg"}).exit_code, 0);
    r = RunChecked(r.fleet_after, {"/le", dir + "/bios.cfg"});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(EfibSettings(r.fleet_after.devices[0]), "bios=0 dev=2100000000000042 lun=200");
    ASSERT_EQ(RunChecked(r.fleet_after, {"/se", dir + "/efib.cfg"}).exit_code, 0);
    EXPECT_EQ(fctest::ReadFileBytes(dir + "/efib.cfg"), fctest::ReadFileBytes(dir + "/bios.cfg"));
}

TEST(SaveFileFailures, AnIncompleteFileIsNeverReportedAsSaved) {
    if (!fctest::FileExists("/dev/full")) GTEST_SKIP() << "no always-full device here";
    // Everything fits the stream's buffer: the failure shows at the flush.
    EXPECT_EQ(RunChecked(fcemu::DemoFleet(), {"/s", "/dev/full"}).exit_code, fcboot::kExitFile);

    // More sections than the buffer holds: the write fails part-way, after
    // sections were counted, and no adapter after it is read.
    fcemu::Fleet many;
    for (std::uint32_t port = 0; port < 100; ++port) {
        fcemu::DeviceConfig d = fcemu::DefaultDevice(port);
        char wwn[17];
        std::snprintf(wwn, sizeof wwn, "10000000000000%02x", static_cast<unsigned>(port));
        d.port_wwn = fctest::Wwn(wwn);
        many.devices.push_back(d);
    }
    fctest::RunResult r = RunChecked(many, {"/s", "/dev/full"});
    EXPECT_EQ(r.exit_code, fcboot::kExitFile);
    std::size_t biosReads = 0;
    for (const auto& rec : fctest::MailboxCalls(r.log, 23))
        if (rec.region && *rec.region == 8) ++biosReads;
    EXPECT_GT(biosReads, 1u);
    EXPECT_LT(biosReads, many.devices.size());
}

TEST(LoadFileFailures, AFolderIsNoBootConfigurationFile) {
    // Some platforms open a folder for reading and fail only the read: that
    // is no empty file.
    EXPECT_EQ(RunChecked(fcemu::DemoFleet(), {"/l", fctest::TempDir()}).exit_code, fcboot::kExitFile);
}

}  // namespace
