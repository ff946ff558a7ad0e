// The capture: a server's twin, read without one write. For every fleet the
// tests know (generated ones of every shape, the fuzz corpus's, the demo),
// each command of the utility run against the fleet and against its capture
// must give the same exit code, output, file, request log and regions; the
// capture itself may send only requests that read.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "adapter/bytes.h"
#include "adapter/exit_codes.h"
#include "adapter/srb.h"
#include "capture/capture.h"
#include "platform/output_file.h"
#include "support/harness.h"

namespace {

using fcemu::DeviceConfig;
using fcemu::Fleet;

struct Captured {
    int exit_code = -1;
    std::string errors;  // standard error
    Fleet twin;
    std::vector<fcemu::RequestRecord> log;
    std::vector<std::string> violations;
};

Captured Capture(const Fleet& served, const std::string& path) {
    Captured c;
    const std::string errPath = path + ".stderr";
    std::FILE* err = std::fopen(errPath.c_str(), "w");
    fcemu::StartServer(served);
    testing::internal::CaptureStdout();  // the dump's own failure line, if any
    c.exit_code = fccapture::RunCapture(path, err, "capture");
    testing::internal::GetCapturedStdout();
    fcemu::StopServer();
    std::fclose(err);
    c.errors = fctest::ReadFileBytes(errPath);
    c.log = fcemu::RequestLog();
    c.violations = fcemu::Violations();
    std::string error;
    const bool written = c.exit_code == fccapture::kCaptureOk || c.exit_code == fccapture::kCaptureIncomplete;
    if (written) {
        EXPECT_TRUE(fcemu::LoadFleetFile(path, &c.twin, &error)) << error;
    }
    return c;
}

// Only what reads: opens and closes, the attribute and port queries, the
// refresh, RETURN_INFO, GET_BUS_SLOT, GET_NODE_LIST, command 17 and both
// forms of command 23.
void ExpectOnlyReads(const std::vector<fcemu::RequestRecord>& log) {
    for (const fcemu::RequestRecord& r : log) {
        if (r.op != "ioctl") continue;
        const std::uint32_t code = r.control_code.value_or(0);
        const bool read =
            r.ioctl == fcboot::kIoctlGetBusSlot || r.ioctl == fcboot::kIoctlGetNodeList ||
            (r.ioctl == fcboot::kIoctlScsiMiniport &&
             (code == fcboot::GET_ADAPTER_ATTRIBUTES || code == fcboot::GET_ADAPTER_PORT_ATTRIBUTES ||
              code == fcboot::REFRESH_INFORMATION || code == fcboot::RETURN_INFO ||
              (code == fcboot::ISSUE_MBOX && (r.mailbox == 17u || r.mailbox == 23u))));
        EXPECT_TRUE(read) << r.ToJson();
    }
}

// Every command against the fleet and against its twin: the same in every
// way a script or the adapters could tell.
void ExpectSameRuns(const Fleet& original, const Fleet& twin, const std::string& dir) {
    std::string load;
    for (std::size_t i = 0; i <= original.devices.size(); ++i) {
        const std::string wwid = i < original.devices.size()
                                     ? fcfleet::HexBytes(original.devices[i].port_wwn.data(), 8)
                                     : "10000000deadbeef";
        load += "[HBA0]\nWWID=" + wwid + "\nHostAdapterBiosEnable=" + std::to_string(i % 2) +
                "\nSelectBootEnable=" + std::to_string(i % 3 != 1) +
                "\nBootDeviceWWID=5000000000" + std::to_string(100 + i) + "\nBootDeviceLUN[0]=" +
                std::to_string(i * 7) + "\n";
    }
    fctest::WriteFileBytes(dir + "/load.cfg", load);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/v"}, {"/s", dir + "/out.cfg"}, {"/se", dir + "/out.cfg"},
          {"/l", dir + "/load.cfg"}, {"/le", dir + "/load.cfg"}}) {
        SCOPED_TRACE(args[0]);
        std::remove((dir + "/out.cfg").c_str());
        const fctest::RunResult a = fctest::RunUtility(original, args);
        const std::string fileA = fctest::ReadFileBytes(dir + "/out.cfg");
        std::remove((dir + "/out.cfg").c_str());
        const fctest::RunResult b = fctest::RunUtility(twin, args);
        EXPECT_EQ(a.exit_code, b.exit_code);
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(fileA, fctest::ReadFileBytes(dir + "/out.cfg"));
        ASSERT_EQ(a.log.size(), b.log.size());
        for (std::size_t i = 0; i < a.log.size(); ++i) ASSERT_EQ(a.log[i].ToJson(), b.log[i].ToJson());
        // The twin lists its devices by port. Devices the utility passes
        // over keep regions nobody reads.
        for (std::size_t i = 0; i < a.fleet_after.devices.size(); ++i) {
            const DeviceConfig& x = a.fleet_after.devices[i];
            const DeviceConfig* y = &original.devices[i];
            for (std::size_t k = 0; k < twin.devices.size(); ++k)
                if (twin.devices[k].port == x.port && twin.devices[k].manufacturer.rfind("Tarvio", 0) == 0)
                    y = &b.fleet_after.devices[k];
            EXPECT_TRUE(x.region4 == y->region4 && x.region8 == y->region8 && x.region10 == y->region10) << i;
        }
        EXPECT_TRUE(a.violations.empty() && b.violations.empty());
    }
}

void ExpectExactTwin(Fleet fleet, const std::string& what) {
    SCOPED_TRACE(what);
    for (DeviceConfig& d : fleet.devices) d.faults.clear();  // no server holds fault rules
    const std::string dir = fctest::TempDir();
    const Captured c = Capture(fleet, dir + "/twin.json");
    EXPECT_EQ(c.exit_code, fleet.devices.empty() ? fccapture::kCaptureNoDevice : fccapture::kCaptureOk)
        << c.errors;
    EXPECT_TRUE(c.violations.empty());
    ExpectOnlyReads(c.log);
    ASSERT_EQ(c.twin.devices.size(), fleet.devices.size());
    ExpectSameRuns(fleet, c.twin, dir);
}

// Inputs of every row of model identification: device ID and chip code.
const std::uint16_t kIdentities[][2] = {
    {0xF3A7, 0}, {0xF085, 0}, {0xF095, 0}, {0xF0A1, 0x12}, {0xF0A5, 0x12}, {0xF0B0, 0x12},
    {0xF0A1, 0x20}, {0xF0B0, 0x21}, {0xF0B0, 0x25}, {0xF0B0, 0x26}, {0xF0B0, 0x28}, {0xF098, 0x38},
    {0xF0B0, 0x38}, {0xF0D1, 0x364}, {0xF0D5, 0x364}, {0xF0B0, 0x364}, {0xF0E1, 0x577},
    {0xF0E5, 0x577}, {0xFE05, 0x577}, {0xF0B0, 0x577}, {0xF015, 0x1004}, {0xF011, 0x1004},
    {0xF0B0, 0x1004}, {0xF0B0, 0x1ACC}, {0xF0B0, 0x777}};

class Generator {
  public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    Fleet Next() {
        Fleet fleet;
        const std::uint32_t count = 1 + Below(8);
        std::uint32_t port = Below(3);
        for (std::uint32_t i = 0; i < count; ++i, port += 1 + Below(40)) fleet.devices.push_back(Device(port));
        return fleet;
    }

  private:
    std::uint32_t Word() { return static_cast<std::uint32_t>(rng_()); }
    std::uint32_t Below(std::uint32_t n) { return Word() % n; }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Word()); }
    template <std::size_t N>
    void Fill(std::array<std::uint8_t, N>& bytes) {
        for (auto& b : bytes) b = Below(3) == 0 ? Byte() : 0;
    }

    DeviceConfig Device(std::uint32_t port) {
        DeviceConfig d = fcemu::DefaultDevice(port);
        d.port_wwn[7] = Byte();  // distinct names, one shared now and then
        const std::uint32_t kind = Below(12);
        if (kind == 0) d.manufacturer = Below(2) ? "Tarvi" : "Other Systems";
        if (kind == 1) d.attributes_fail = true;
        const char* const drivers[] = {"tarsli2", "tarmp4", "tarsli2 ", ""};
        d.driver_name = drivers[Below(4)];
        d.model = "TV-" + std::to_string(Below(100000));
        d.number_of_ports = 1 + Below(4);
        d.pci_bus = Below(256), d.pci_slot = Below(256);
        d.value_456 = (std::uint64_t{Word()} << 32) | Word(), d.value_472 = Word();
        const auto& id = kIdentities[identity_++ % (sizeof kIdentities / sizeof kIdentities[0])];
        d.vendor_specific_id = static_cast<std::uint32_t>(id[0]) << 16 | Below(0x10000);
        // The chip code in the word that decides, the other one anything.
        const std::uint32_t chip = static_cast<std::uint32_t>(id[1]) << 12 | Below(0x1000);
        if (Below(2)) d.revision_primary = chip, d.revision_secondary = Word();
        else d.revision_primary = Below(16), d.revision_secondary = chip;
        Fill(d.region4), Fill(d.region8), Fill(d.region10);
        std::memcpy(d.region8.data(), "BIOS", 4);
        fcboot::StoreLe32(d.region8.data() + 4, Below(2) ? 0x502u : Word());
        if (Below(4)) std::memcpy(d.region10.data(), "EFIB", 4);
        d.region10[23] = static_cast<std::uint8_t>(Below(2));
        Directory(d);
        // Memory no walk reaches: not captured, and nothing the utility does
        // depends on it.
        if (Below(3) == 0) d.memory.push_back({0x40000u + 4 * Below(64), {Word(), Word()}});
        const std::uint32_t nodes = Below(6);
        if (nodes == 0) d.node_list.reset();
        const std::uint32_t sizes[] = {0, 0, 3, 204, 205, 1700};  // 8 KiB holds 204 entries
        for (std::uint32_t j = 0; d.node_list && j < sizes[nodes]; ++j)
            d.node_list->push_back({{0x50, 0, 0, Byte(), 0, 0, static_cast<std::uint8_t>(j >> 8),
                                     static_cast<std::uint8_t>(j)},
                                    Below(0x1000000), Byte(), static_cast<std::uint8_t>(Below(2))});
        return d;
    }

    void Directory(DeviceConfig& d) {
        const std::uint8_t kinds[] = {0x96, 0x7E, 0x16, 0x26, 0xB6, 0xE6, Byte()};
        auto id = [&] { return 0x00000001u | kinds[Below(7)] << 16 | (Below(3) ? 3u : 2u) << 24; };
        d.boot_images.clear();
        for (std::uint32_t n = Below(4); n > 0; --n) d.boot_images.push_back(Below(8) ? id() : ~0u);
        if (Below(3)) fcboot::StoreLe32(d.region4.data() + 12, Below(2) ? id() : 0);
        switch (Below(8)) {
            case 0:  // a ring elsewhere, closed: only raw words describe it
                d.memory = {{0x79C, {0x2000}}, {0x2000, {0x2030, 0, 0, 0, id()}}, {0x2030, {0x79C, 0, 0, 0, id()}}};
                break;
            case 1:  // a ring that closes on an entry, not on the head
                d.memory = {{0x79C, {0x3000}}, {0x3000, {0x3040, 0, 0, 0, id()}}, {0x3040, {0x3002, 7, 0, 0, id()}}};
                break;
            case 2:  // the head names itself, with words in that entry
                d.memory = {{0x79C, {0x79C, 0, 0, 0, id(), Word()}}};
                break;
            case 3:  // rarely: a chain longer than any walk goes
                if (Below(4) == 0) {
                    d.memory = {{0x79C, {0x10000}}};
                    for (std::uint32_t e = 0; e < 1100; ++e)
                        d.memory.push_back({0x10000 + 48 * e, {0x10000 + 48 * (e + 1), 0, 0, 0, 0x02000001u}});
                }
                break;
            default: break;  // the well-formed ring of boot_images
        }
    }

    std::mt19937 rng_;
    std::size_t identity_ = 0;
};

TEST(Capture, IsAnExactTwinOfGeneratedFleets) {
    Generator generator(20240611);
    for (int sample = 0; sample < 40; ++sample) ExpectExactTwin(generator.Next(), "fleet " + std::to_string(sample));
    // And one adapter with the largest node list the utility reads.
    Fleet largest = generator.Next();
    largest.devices[0].node_list = std::vector<fcemu::NodeEntry>(2097152 / 40);
    ExpectExactTwin(largest, "largest node list");
}

TEST(Capture, IsAnExactTwinOfTheCorpusFleetsAndTheDemo) {
    ExpectExactTwin(fcemu::DemoFleet(), "demo");
    const std::filesystem::path corpus = std::filesystem::path(FCBOOT_SOURCE_DIR) / "fuzz/corpus/fuzz_fleet_file";
    int tried = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        Fleet fleet;
        std::string error;
        if (!fcemu::ParseFleet(fctest::ReadFileBytes(entry.path().string()), &fleet, &error)) continue;
        ExpectExactTwin(fleet, entry.path().filename().string());
        // Read-only under faults too.
        const Captured c = Capture(fleet, fctest::TempDir() + "/faulted.json");
        ExpectOnlyReads(c.log);
        ++tried;
    }
    EXPECT_GE(tried, 4);
}

// Reads that fail: the capture writes what it read, marks each device,
// says every problem on a line of its own and ends with 4; fcboot-emu
// serves such a twin only when asked to, and an existing file is left alone.
TEST(Capture, MarksWhatItCouldNotReadAndReplacesNoFileThen) {
    using Effect = fcemu::FaultRule::Effect;
    Fleet fleet = fcemu::DemoFleet();
    fleet.devices[0].faults = {{"open", 0, std::nullopt, Effect::Fail, 5}};
    fleet.devices[1].faults = {{"mailbox:23", 2, 1, Effect::MbxStatus, 18},
                               {"ioctl:80010100", 0, std::nullopt, Effect::Fail, 31}};
    const std::string dir = fctest::TempDir(), path = dir + "/twin.json";
    Captured c = Capture(fleet, path);
    EXPECT_EQ(c.exit_code, fccapture::kCaptureIncomplete);
    EXPECT_EQ(c.errors, fctest::NativeText(
                            "capture: port 0: open refused: access denied (Windows error 5); the capture must "
                            "run as an administrator\n"
                            "capture: port 1: RETURN_INFO failed\n"
                            "capture: port 1: region 10 unreadable\n"));
    ASSERT_EQ(c.twin.devices.size(), 2u);
    EXPECT_EQ(c.twin.devices[1].incomplete.size(), 2u);
    EXPECT_EQ(c.twin.devices[1].region8, fleet.devices[1].region8);  // what could be read is there

    auto emu = [](std::vector<std::string> args) {
        args.insert(args.begin(), "fcboot-emu");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return fcemu::FcbootEmuMain(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(emu({"--fleet", path, "/s", dir + "/a.cfg"}), fcemu::kEmuOwnError);
    EXPECT_EQ(emu({"--fleet", path, "--allow-incomplete", "/s", dir + "/a.cfg"}), fcboot::kExitOk);

    const std::string before = fctest::ReadFileBytes(path);
    EXPECT_EQ(Capture(fleet, path).exit_code, fccapture::kCaptureIncomplete);
    EXPECT_EQ(fctest::ReadFileBytes(path), before);
    EXPECT_EQ(Capture(Fleet(), dir + "/none.json").exit_code, fccapture::kCaptureNoDevice);
    EXPECT_FALSE(fctest::FileExists(dir + "/none.json"));

    // fcboot-emu's own capture and view: the twin of the demo shows as the
    // demo does.
    EXPECT_EQ(emu({"--capture", dir + "/demo-twin.json", "--requests", dir + "/log.jsonl"}), 0);
    EXPECT_NE(fctest::ReadFileBytes(dir + "/log.jsonl").find("\"mailbox\":17"), std::string::npos);
    std::string error;
    ASSERT_TRUE(fcemu::SaveFleetFile(dir + "/demo.json", fcemu::DemoFleet(), &error)) << error;
    std::string shown[2];
    for (int i = 0; i < 2; ++i) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(emu({"--show", dir + (i ? "/demo-twin.json" : "/demo.json")}), 0);
        shown[i] = testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(shown[0], shown[1]);
    EXPECT_NE(shown[0].find("  EFI           valid, enabled 1, boot device 500000000000a001, LUN 0\n"
                            "  boot images   0x03960001 kind 0x96 type 3; 0x02960002 kind 0x96 type 2\n"),
              std::string::npos)
        << shown[0];
}

// Every failed step of writing the twin leaves the file before it byte for
// byte.
TEST(Capture, AFailedWriteLeavesTheOldFileAsItWas) {
    using Step = fcplat::OutputStep;
    const std::string dir = fctest::TempDir(), path = dir + "/twin.json", old = "{}\n";
    for (const Step step : {Step::Write, Step::Flush, Step::Close, Step::Replace}) {
        for (unsigned nth = 1;; ++nth) {
            fctest::WriteFileBytes(path, old);
            fcplat::InjectOutputFailure(step, nth);
            const int exit = Capture(fcemu::DemoFleet(), path).exit_code;
            const bool failed = fcplat::InjectedOutputFailureHappened();
            fcplat::InjectOutputFailure(step, 0);
            if (!failed) break;
            EXPECT_EQ(exit, fccapture::kCaptureFile);
            EXPECT_EQ(fctest::ReadFileBytes(path), old);
        }
    }
}

}  // namespace
