// The capture: a server's twin, read without one write. For every fleet the
// tests know (generated ones of every shape, the fuzz corpus's, the demo),
// each command of the utility run against the fleet and against its capture
// must give the same exit code, output, file, request log and regions; the
// capture itself may send only requests that read.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "adapter/exit_codes.h"
#include "capture/capture.h"
#include "platform/output_file.h"
#include "support/capture_checks.h"
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

// `plainFields`: the fleet's text fields fit their driver record fields as
// plain text, so the twin must hold every field as the fleet does.
void ExpectExactTwin(Fleet fleet, const std::string& what, bool plainFields = false) {
    SCOPED_TRACE(what);
    for (DeviceConfig& d : fleet.devices) d.faults.clear();  // no server holds fault rules
    const std::string dir = fctest::TempDir();
    const Captured c = Capture(fleet, dir + "/twin.json");
    EXPECT_EQ(c.exit_code, fleet.devices.empty() ? fccapture::kCaptureNoDevice : fccapture::kCaptureOk)
        << c.errors;
    EXPECT_TRUE(c.violations.empty());
    fctest::ExpectOnlyReads(c.log);
    ASSERT_EQ(c.twin.devices.size(), fleet.devices.size());
    fctest::ExpectSameRuns(fleet, c.twin, dir);
    if (plainFields) fctest::ExpectFaithful(fleet, c.twin);
    // Served in its turn, the twin is captured as itself, byte for byte.
    if (fleet.devices.empty()) return;
    EXPECT_EQ(Capture(c.twin, dir + "/twin-of-twin.json").exit_code, fccapture::kCaptureOk);
    EXPECT_EQ(fctest::ReadFileBytes(dir + "/twin-of-twin.json"), fctest::ReadFileBytes(dir + "/twin.json"));
}

TEST(Capture, IsAnExactTwinOfGeneratedFleets) {
    std::vector<Fleet> fleets = fctest::GeneratedFleets(41);
    for (int sample = 0; sample < 40; ++sample)
        ExpectExactTwin(fleets[sample], "fleet " + std::to_string(sample), true);
    // And one adapter with the largest node list the utility reads, every
    // node different in every byte kept.
    std::vector<fcemu::NodeEntry> largest(2097152 / 40);
    for (std::uint32_t j = 0; j < largest.size(); ++j)
        largest[j] = {{0x21, 0, static_cast<std::uint8_t>(j >> 16), static_cast<std::uint8_t>(j >> 8),
                       static_cast<std::uint8_t>(j), 0xA5, 0x5A, static_cast<std::uint8_t>(~j)},
                      0x800000u | (j * 2654435761u & 0x7FFFFFu), static_cast<std::uint8_t>(j * 7),
                      static_cast<std::uint8_t>(j * 13)};
    fleets[40].devices[0].node_list = std::move(largest);
    ExpectExactTwin(fleets[40], "largest node list", true);
}

TEST(Capture, IsAnExactTwinOfTheCorpusFleetsAndTheDemo) {
    ExpectExactTwin(fcemu::DemoFleet(), "demo", true);
    const std::filesystem::path corpus = std::filesystem::path(FCBOOT_SOURCE_DIR) / "fuzz/corpus/fuzz_fleet_file";
    int tried = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        Fleet fleet;
        std::string error;
        if (!fcemu::ParseFleet(fctest::ReadFileBytes(entry.path().string()), &fleet, &error)) continue;
        ExpectExactTwin(fleet, entry.path().filename().string());
        // Read-only under faults too.
        const Captured c = Capture(fleet, fctest::TempDir() + "/faulted.json");
        fctest::ExpectOnlyReads(c.log);
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
    // Where neither RETURN_INFO nor GET_BUS_SLOT answered, the position is
    // recorded as bus 0, slot 0: nothing is made up.
    EXPECT_EQ(c.twin.devices[1].pci_bus, 0u);
    EXPECT_EQ(c.twin.devices[1].pci_slot, 0u);

    const auto emu = fctest::EmuMain;
    EXPECT_EQ(emu({"--fleet", path, "/s", dir + "/a.cfg"}), fcemu::kEmuOwnError);
    EXPECT_EQ(emu({"--fleet", path, "--allow-incomplete", "/s", dir + "/a.cfg"}), fcboot::kExitOk);

    const std::string before = fctest::ReadFileBytes(path);
    const Captured again = Capture(fleet, path);
    EXPECT_EQ(again.exit_code, fccapture::kCaptureIncomplete);
    EXPECT_EQ(fctest::ReadFileBytes(path), before);
    EXPECT_NE(again.errors.find(" left as it was: an incomplete capture replaces no file"), std::string::npos)
        << again.errors;
    EXPECT_EQ(Capture(Fleet(), dir + "/none.json").exit_code, fccapture::kCaptureNoDevice);
    EXPECT_FALSE(fctest::FileExists(dir + "/none.json"));

    // A node list one node beyond the 2 MiB the utility reads: the twin
    // holds no list where the server has one, so it is marked.
    Fleet huge = fcemu::DemoFleet();
    huge.devices[0].node_list = std::vector<fcemu::NodeEntry>(2097152 / 40 + 1);
    c = Capture(huge, dir + "/huge.json");
    EXPECT_EQ(c.exit_code, fccapture::kCaptureIncomplete);
    ASSERT_EQ(c.twin.devices.size(), 2u);
    EXPECT_EQ(c.twin.devices[0].incomplete,
              std::vector<std::string>{"node list: larger than the 2 MiB the utility reads"});
    EXPECT_TRUE(c.twin.devices[1].incomplete.empty());

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

// A memory read that fails while the capture walks the boot image
// directory, at its head or part-way: the twin lacks words the utility
// reads, so the capture is incomplete, says so, and never replaces a good
// twin with it.
TEST(Capture, ADirectoryReadFailingPartWayIsIncompleteAndKeepsTheGoodTwin) {
    using Effect = fcemu::FaultRule::Effect;
    const Fleet demo = fcemu::DemoFleet();
    const std::string dir = fctest::TempDir(), good = dir + "/good.json";
    const Captured clean = Capture(demo, good);
    ASSERT_EQ(clean.exit_code, fccapture::kCaptureOk);
    // The first device's mailbox command 23 calls, and which of them read
    // memory rather than a region.
    std::vector<std::uint32_t> memoryReads;
    std::uint32_t calls = 0;
    for (const fcemu::RequestRecord& r : fctest::MailboxCalls(clean.log, 23)) {
        if (r.port != static_cast<int>(demo.devices[0].port)) continue;
        if (r.address) memoryReads.push_back(calls);
        ++calls;
    }
    ASSERT_EQ(memoryReads.size(), 1 + demo.devices[0].boot_images.size());  // the head, then each entry
    const struct {
        const char* what;
        std::size_t read;  // which memory read fails
        Effect effect;
        std::uint32_t value;
        const char* line;
    } cases[] = {
        {"head, request fails", 0, Effect::Fail, 31, "boot image directory: a memory read failed after 0 entries"},
        {"second entry, request fails", 2, Effect::Fail, 31,
         "boot image directory: a memory read failed after 1 entries"},
        {"first entry, firmware error", 1, Effect::MbxStatus, 18,
         "boot image directory: a memory read failed after 0 entries"},
        {"second entry, firmware error", 2, Effect::MbxStatus, 18,
         "boot image directory: a memory read failed after 1 entries"},
    };
    const std::string kept = fctest::ReadFileBytes(good);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fleet fleet = demo;
        fleet.devices[0].faults = {{"mailbox:23", memoryReads[c.read], 1, c.effect, c.value}};
        const Captured over = Capture(fleet, good);
        EXPECT_EQ(over.exit_code, fccapture::kCaptureIncomplete) << over.errors;
        EXPECT_NE(over.errors.find(c.line), std::string::npos) << over.errors;
        EXPECT_EQ(fctest::ReadFileBytes(good), kept);
        // Where no twin was, the incomplete one is written, marked.
        const std::string fresh = dir + "/fresh.json";
        std::remove(fresh.c_str());
        const Captured first = Capture(fleet, fresh);
        EXPECT_EQ(first.exit_code, fccapture::kCaptureIncomplete);
        ASSERT_EQ(first.twin.devices.size(), 2u);
        EXPECT_EQ(first.twin.devices[0].incomplete, std::vector<std::string>{c.line});
        EXPECT_TRUE(first.twin.devices[1].incomplete.empty());
    }
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
