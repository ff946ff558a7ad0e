// Save and load end to end: the utility's main against emulated servers,
// judged by the file it writes, the adapters' regions afterwards, the request
// log and the exit code. Runs unchanged in the Linux and the Windows build:
// scripts read nothing but the exit code.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "adapter/bytes.h"
#include "frontend/frontend.h"
#include "platform/emulated_backend.h"
#include "platform/output_file.h"
#include "platform/server_lock.h"
#include "support/harness.h"

namespace {

using Effect = fcemu::FaultRule::Effect;
using fctest::Section;

// The worked example of the user's guide, which the demo fleet holds.
const std::string kWorkedExample = fctest::ReadFileBytes(FCBOOT_SOURCE_DIR "/examples/boot.cfg");

fctest::RunResult RunChecked(const fcemu::Fleet& fleet, const std::vector<std::string>& args) {
    fctest::RunResult r = fctest::RunUtility(fleet, args);
    for (const auto& v : r.violations) ADD_FAILURE() << "protocol violation: " << v;
    if (args.at(0)[1] == 's') {
        EXPECT_TRUE(fctest::MailboxCalls(r.log, 27).empty()) << "a save wrote";
    }
    return r;
}

// The boot settings of region 8; the device name is stored with each half
// byte-reversed.
std::string Settings(const fcemu::DeviceConfig& d) {
    const std::uint8_t* r = d.region8.data();
    char s[64];
    std::snprintf(s, sizeof s, "bios=%d dev=", r[9]);
    std::string out = s;
    for (int i : {3, 2, 1, 0, 7, 6, 5, 4}) {
        std::snprintf(s, sizeof s, "%02x", r[17 + i]);
        out += s;
    }
    return out + " lun=" + std::to_string(r[28]);
}

std::size_t RegionCalls(const fctest::RunResult& r, std::uint32_t code, std::uint32_t region) {
    std::size_t n = 0;
    for (const auto& rec : fctest::MailboxCalls(r.log, code)) n += rec.region && *rec.region == region;
    return n;
}

fctest::RunResult LoadText(const fcemu::Fleet& fleet, const std::string& text, const char* option = "/l") {
    const std::string path = fctest::TempDir() + "/boot.cfg";
    fctest::WriteFileBytes(path, text);
    return RunChecked(fleet, {option, path});
}

// `fleet` with a fault rule on one device, or on every device when `device` < 0.
fcemu::Fleet Faulted(fcemu::Fleet fleet, const char* match, std::uint32_t skip, Effect effect,
                     std::uint32_t value, int device = -1) {
    for (std::size_t i = 0; i < fleet.devices.size(); ++i) {
        if (device >= 0 && i != static_cast<std::size_t>(device)) continue;
        fcemu::FaultRule rule;
        rule.match = match, rule.skip = skip, rule.effect = effect, rule.value = value;
        fleet.devices[i].faults.push_back(rule);
    }
    return fleet;
}

// Demo adapters, port name 1000000000000001 onwards.
fcemu::Fleet DemoLike(std::uint32_t count) {
    fcemu::Fleet fleet;
    for (std::uint32_t port = 0; port < count; ++port) {
        fcemu::DeviceConfig d = fcemu::DemoFleet().devices[0];
        d.port = port;
        char wwn[17];
        std::snprintf(wwn, sizeof wwn, "10000000000000%02x", (port + 1) & 0xFFu);
        d.port_wwn = fctest::Wwn(wwn);
        fleet.devices.push_back(d);
    }
    return fleet;
}

TEST(WorkedExample, SavesExactlyAndLoadsBackWithoutChangeInEitherMode) {
    const fcemu::Fleet demo = fcemu::DemoFleet();
    const std::string dir = fctest::TempDir();
    for (const char* mode : {"", "e"}) {
        SCOPED_TRACE(mode);
        const std::string path = dir + "/saved" + mode + ".cfg";
        EXPECT_EQ(RunChecked(demo, {std::string("/s") + mode, path}).exit_code, fcboot::kExitOk);
        EXPECT_EQ(fctest::ReadFileBytes(path), fctest::NativeText(kWorkedExample));
        const fctest::RunResult r = RunChecked(demo, {std::string("/l") + mode, path});
        EXPECT_EQ(r.exit_code, fcboot::kExitOk);
        EXPECT_EQ(fctest::MailboxCalls(r.log, 27).size(), 2u);
        EXPECT_EQ(RegionCalls(r, 27, *mode ? 10 : 8), 2u);
        ASSERT_EQ(r.fleet_after.devices.size(), demo.devices.size());
        for (std::size_t i = 0; i < demo.devices.size(); ++i) {
            EXPECT_EQ(r.fleet_after.devices[i].region4, demo.devices[i].region4);
            EXPECT_EQ(r.fleet_after.devices[i].region8, demo.devices[i].region8);
            EXPECT_EQ(r.fleet_after.devices[i].region10, demo.devices[i].region10);
        }
    }
}

TEST(ExitCodes, RealCausesAndWhatEachLeavesBehind) {
    const fcemu::Fleet demo = fcemu::DemoFleet();
    const std::string good = Section("1000000000000001", "1", "1", "500000000000a001", "0");
    fcemu::Fleet noEfib = demo;  // a region 10 without its marker fails that adapter's EFIB read
    noEfib.devices[0].region10.fill(0);
    fcemu::Fleet noBootCode = DemoLike(1);
    noBootCode.devices[0].region4.fill(0);
    noBootCode.devices[0].boot_images = {0x02960002};  // firmware, not boot code
    struct Case {
        const char* what;
        fcemu::Fleet fleet;
        const char* option;
        std::string path;    // "@": a file of the test's folder
        const char* before;  // written to "@" first, or nullptr
        int exit;
        const char* after;   // what "@" then holds, or nullptr: not checked
        std::function<void(const fctest::RunResult&)> more;
    };
    const std::string dir = fctest::TempDir();
    fctest::WriteFileBytes(dir + "/plain.txt", "x");
    const std::string staged = Section("1000000000000002", "1", "1", "0", "0");
    const std::string worked = fctest::NativeText(kWorkedExample), hba1 = worked.substr(worked.find("[HBA1]"));
    fcemu::Fleet single;
    single.devices.push_back(noEfib.devices[0]);
    // An adapter with no image selected, which a load asks to select one: its
    // mailbox 23 calls in a clean load, and which of them reads the
    // directory's first entry (after the head word).
    fcemu::Fleet unselected = DemoLike(1);
    unselected.devices[0].region4.fill(0);
    std::uint32_t firstEntry = 0, calls = 0, memoryReads = 0;
    for (const fcemu::RequestRecord& rec : fctest::MailboxCalls(LoadText(unselected, good).log, 23)) {
        if (rec.address && ++memoryReads == 2) firstEntry = calls;
        ++calls;
    }
    ASSERT_GT(firstEntry, 0u);
    const Case cases[] = {
        {"load, file missing", demo, "/l", "@", nullptr, fcboot::kExitFile, nullptr, {}},
        {"load, path is a folder", demo, "/l", dir, nullptr, fcboot::kExitFile, nullptr, {}},
        {"save, folder with separator", demo, "/se", dir + "/", nullptr, fcboot::kExitFile, nullptr, {}},
        {"save, under a plain file", demo, "/s", dir + "/plain.txt/b.cfg", nullptr, fcboot::kExitFile, nullptr, {}},
        {"load, rejected WWID", demo, "/l", "@", "[HBA0]\nWWID=0x10000000000001\n", fcboot::kExitNoSuchAdapter,
         nullptr, {}},
        {"load, rejected flag", demo, "/l", "@", "[HBA0]\nSelectBootEnable=+1\n", fcboot::kExitBadFlag, nullptr, {}},
        {"load, rejected LUN", demo, "/l", "@", "[HBA0]\nBootDeviceLUN[0]=256\n", fcboot::kExitBadLun, nullptr, {}},
        // The refresh of the second of three adapters fails: the third is
        // not refreshed, the command ends; one that answers a ReturnCode is
        // refreshed all the same.
        {"refresh fails", Faulted(DemoLike(3), "ioctl:80010213", 0, Effect::Fail, 31, 1), "/s", "@", "left alone\n",
         fcboot::kExitOpenFailed, "left alone\n",
         [](const fctest::RunResult& r) {
             for (const auto& call : fctest::ControlCodeCalls(r.log, 0x80010213)) EXPECT_NE(call.port, 2);
         }},
        {"refresh answers a ReturnCode", Faulted(demo, "ioctl:80010213", 0, Effect::ReturnCode, 5), "/s", "@",
         nullptr, fcboot::kExitOk, worked.c_str(), {}},
        {"save past a failed adapter", noEfib, "/se", "@", nullptr, fcboot::kExitOk, hba1.c_str(), {}},
        // A save that fails leaves the file before it; without one it
        // creates the file all the same.
        {"save, its one adapter fails", single, "/se", "@", "old\n", fcboot::kExitAdapterCommand, "old\n", {}},
        {"save, its one adapter fails, no file before", single, "/se", "@", nullptr, fcboot::kExitAdapterCommand,
         "", {}},
        {"save, port name unreadable", Faulted(DemoLike(1), "ioctl:80010204", 0, Effect::ReturnCode, 1), "/s",
         "@", "old\n", fcboot::kExitOpenFailed, "old\n", {}},
        // The refresh asks three times and the save's list once; the fifth
        // query is the one that finds the adapter again by that name.
        {"save, port name lost on the look-up by name", Faulted(DemoLike(1), "ioctl:80010204", 4,
         Effect::ReturnCode, 1), "/s", "@", "old\n", fcboot::kExitNoSuchAdapter, "old\n", {}},
        // Without the information record the device ID stays 0, so the chip
        // code alone names the model (0xFA00), and 0x96 is no kind of it.
        {"information request fails", Faulted(demo, "ioctl:80010100", 0, Effect::Fail, 31), "/l", "@",
         good.c_str(), fcboot::kExitNoBootImage, nullptr, {}},
        {"unknown model", Faulted(demo, "mailbox:17", 0, Effect::MbxStatus, 18), "/l", "@", good.c_str(),
         fcboot::kExitOpenFailed, nullptr, {}},
        {"staged sequence fails", Faulted(demo, "mailbox:156", 0, Effect::State, 9), "/l", "@", staged.c_str(),
         fcboot::kExitNoBootImage, nullptr, {}},
        {"update fails", Faulted(demo, "mailbox:27", 0, Effect::MbxStatus, 1, 0), "/l", "@", good.c_str(),
         fcboot::kExitAdapterCommand, nullptr, {}},
        // A region delivered only in part fails like a failed command: the
        // last piece of region 10, or region 4 before a selection is written.
        {"save, a region delivered in part", Faulted(DemoLike(1), "mailbox:23", 3, Effect::DeliverBytes, 8), "/se",
         "@", "old\n", fcboot::kExitAdapterCommand, "old\n", {}},
        {"load, a region delivered in part", Faulted(demo, "mailbox:23", 0, Effect::DeliverBytes, 8), "/l", "@",
         good.c_str(), fcboot::kExitAdapterCommand, nullptr,
         [](const fctest::RunResult& r) { EXPECT_EQ(RegionCalls(r, 27, 4), 0u); }},  // nothing over region 4
        {"no boot code", noBootCode, "/l", "@", good.c_str(), fcboot::kExitNoBootImage, nullptr,
         [](const fctest::RunResult& r) {
             EXPECT_EQ(r.fleet_after.devices[0].region4[12], 0);  // nothing selected
             EXPECT_EQ(RegionCalls(r, 27, 8), 1u);                // the boot region is written all the same
         }},
        {"a directory entry unreadable during the selection", Faulted(unselected, "mailbox:23", firstEntry,
         Effect::Fail, 31), "/l", "@", good.c_str(), fcboot::kExitAdapterCommand, nullptr,
         [](const fctest::RunResult& r) { EXPECT_EQ(RegionCalls(r, 27, 4), 0u); }},
        {"no boot code, update fails too", Faulted(noBootCode, "mailbox:27", 0, Effect::MbxStatus, 1), "/l", "@",
         good.c_str(), fcboot::kExitAdapterCommand, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.path == "@" ? dir + "/boot.cfg" : c.path;
        std::remove((dir + "/boot.cfg").c_str());
        if (c.before) fctest::WriteFileBytes(path, c.before);
        const fctest::RunResult r = RunChecked(c.fleet, {c.option, path});
        EXPECT_EQ(r.exit_code, c.exit);
        if (c.after) {
            EXPECT_EQ(fctest::ReadFileBytes(path), c.after);
        }
        if (c.more) c.more(r);
    }
    EXPECT_EQ(fctest::ReadFileBytes(dir + "/plain.txt"), "x");
}

// A refresh the driver refuses, on the first adapter or the last: every
// command ends with 255 before it saves or loads anything. A save leaves the
// file before it as it was and creates none where there was none; a load
// writes no adapter.
TEST(ExitCodes, ARefusedRefreshEndsEveryCommandWith255AndTouchesNothing) {
    const fcemu::Fleet three = DemoLike(3);
    std::string load;
    for (const char* wwid : {"1000000000000001", "1000000000000002", "1000000000000003"})
        load += Section(wwid, "0", "0", "77", "9");
    const std::string dir = fctest::TempDir(), path = dir + "/boot.cfg";
    for (const char* option : {"/s", "/se", "/l", "/le"}) {
        const bool save = option[1] == 's';
        for (const int failing : {0, 2}) {
            for (const bool fileBefore : {true, false}) {
                if (!save && !fileBefore) continue;  // a load without its file fails for that alone
                SCOPED_TRACE(std::string(option) + ", adapter " + std::to_string(failing) +
                             (fileBefore ? ", a file before" : ", no file before"));
                const std::string before = save ? "last night's copy\n" : load;
                std::remove(path.c_str());
                if (fileBefore) fctest::WriteFileBytes(path, before);
                const fctest::RunResult r =
                    RunChecked(Faulted(three, "ioctl:80010213", 0, Effect::Fail, 31, failing), {option, path});
                EXPECT_EQ(r.exit_code, fcboot::kExitOpenFailed);
                EXPECT_EQ(fctest::FileExists(path), fileBefore);
                if (fileBefore) {
                    EXPECT_EQ(fctest::ReadFileBytes(path), before);
                }
                EXPECT_TRUE(fctest::MailboxCalls(r.log, 27).empty());
                EXPECT_TRUE(fctest::MailboxCalls(r.log, 23).empty());
                ASSERT_EQ(r.fleet_after.devices.size(), three.devices.size());
                for (std::size_t i = 0; i < three.devices.size(); ++i) {
                    EXPECT_EQ(r.fleet_after.devices[i].region4, three.devices[i].region4);
                    EXPECT_EQ(r.fleet_after.devices[i].region8, three.devices[i].region8);
                    EXPECT_EQ(r.fleet_after.devices[i].region10, three.devices[i].region10);
                }
            }
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no temporary file left
}

// The EFIB variant's boot LUN takes 14 bits: a save in that variant writes
// what the adapter holds, beyond 255 too; the two bits above the LUN are
// no part of it.
TEST(EfibVariant, ASaveWritesTheWholeLunItHolds) {
    const struct {
        std::uint8_t high, low;
        const char* saved;
    } cases[] = {
        {0x00, 7, "BootDeviceLUN[0]=7\n"},
        {0x01, 44, "BootDeviceLUN[0]=300\n"},
        {0xC1, 44, "BootDeviceLUN[0]=300\n"},
        {0x3F, 0xFF, "BootDeviceLUN[0]=16383\n"},
        {0x40, 0x00, "BootDeviceLUN[0]=0\n"},
    };
    const std::string path = fctest::TempDir() + "/boot.cfg";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.saved);
        fcemu::Fleet fleet = DemoLike(1);
        fleet.devices[0].region10[12] = c.high;
        fleet.devices[0].region10[13] = c.low;
        EXPECT_EQ(RunChecked(fleet, {"/se", path}).exit_code, fcboot::kExitOk);
        EXPECT_NE(fctest::ReadFileBytes(path).find(fctest::NativeText(c.saved)), std::string::npos)
            << fctest::ReadFileBytes(path);
    }
}

// A load that asks for boot selection keeps the image already selected only
// when it is one the adapter's model boots in the variant loaded; otherwise
// it selects one that is. The demo's first adapter (model 0xF0A5) boots kind
// 0x93 by BIOS only and kind 0x95 by EFIB only.
TEST(EfibVariant, ALoadJudgesTheSelectedImageInItsOwnVariant) {
    constexpr std::uint32_t kBiosOnly = 0x03930001, kEfibOnly = 0x03950002;
    const struct {
        const char* option;
        std::uint32_t before, after;
    } cases[] = {
        {"/le", kBiosOnly, kEfibOnly},
        {"/le", kEfibOnly, kEfibOnly},
        {"/l", kEfibOnly, kBiosOnly},
        {"/l", kBiosOnly, kBiosOnly},
    };
    const std::string text = Section("1000000000000001", "1", "1", "500000000000a001", "0");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " over " + fcfleet::Hex32(c.before));
        fcemu::Fleet fleet = fcemu::DemoFleet();
        fleet.devices[0].boot_images = {kBiosOnly, kEfibOnly};
        // Selected and activated: only the variant decides whether it stays.
        fcboot::StoreLe32(fleet.devices[0].region4.data() + fcboot::kSelectedImageOffset, c.before);
        fcboot::StoreLe32(fleet.devices[0].region4.data() + fcboot::kActivatedImageOffset, c.before);
        const fctest::RunResult r = LoadText(fleet, text, c.option);
        EXPECT_EQ(r.exit_code, fcboot::kExitOk);
        EXPECT_EQ(fcboot::LoadLe32(r.fleet_after.devices[0].region4.data() + 12), c.after);
        EXPECT_EQ(RegionCalls(r, 27, 4) > 0, c.before != c.after);  // a selection kept is not rewritten
    }
}

// Which adapter each section reaches and what a section must hold; every
// adapter not listed keeps its boot region as it was.
TEST(LoadSections, AreCollectedAndRoutedTheWayTheFileFormatSays) {
    fcemu::Fleet fleet = fcemu::DemoFleet();
    fleet.devices.push_back(DemoLike(6).devices[5]);
    const std::string w1 = "1000000000000001", w2 = "1000000000000002", one = "[HBA0]\nWWID=" + w1 + "\n";
    const std::string tail = "SelectBootEnable=1\nBootDeviceWWID=5\nBootDeviceLUN[0]=7\n";
    const std::string off = "HostAdapterBiosEnable=0\n";
    const std::string applied = "bios=0 dev=0000000000000005 lun=7";
    const std::string stranger = Section("2000000000000009", "1", "1", "5", "0");
    std::string crlf;
    for (char c : one + "  hostadapterbiosenable = 0 ; off\nSELECTBOOTENABLE=1\nbootdevicewwid=A001\n"
                        "BootDeviceLUN[0]=255;x\n")
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const struct {
        const char* name;
        std::string text;
        int exit;
        std::size_t updates;
        std::map<int, std::string> want;
    } cases[] = {
        {"any letter case, comments, carriage returns", crlf, 0, 1, {{0, "bios=0 dev=000000000000a001 lun=255"}}},
        {"header with extra word", "[HBA1] x\nWWID=" + w1 + "\n" + off + "[HBA1] x\n" + tail, 0, 1, {{0, applied}}},
        {"keys before header", "WWID=" + w1 + "\n" + off + "[HBA0] WWID=" + w1 + "\n" + off + tail, 0, 0, {}},
        {"duplicates", one + off + "HostAdapterBiosEnable=2\nSelectBootEnable=1\nBootDeviceWWID=4\nBootDeviceWWID=5\n"
                       "BootDeviceLUN[0]=7\nBootDeviceLUN[0]=9\n", 0, 1, {{0, applied}}},
        {"header restarts a section", one + "BootDeviceLUN[0]=256\n" + one + off + tail, 0, 1, {{0, applied}}},
        {"header drops what was collected", "[HBA0]\n" + off + one + tail, 0, 0, {}},
        {"tail of a long line is a line of its own",
         one + std::string(255, 'x') + off + std::string(600, ';') + "\n" + tail, 0, 1, {{0, applied}}},
        {"missing key", one + tail, 0, 0, {}},
        {"header numbers are never read, order does not matter",
         Section("1000000000000006", "0", "1", "33", "3", "[HBA7]") + Section(w2, "1", "0", "22", "2"), 0, 2,
         {{1, "bios=1 dev=0000000000000022 lun=2"}, {2, "bios=0 dev=0000000000000033 lun=3"}}},
        {"one adapter twice", Section(w1, "0", "1", "11", "1") + Section(w1, "1", "1", "12", "9"), 0, 2,
         {{0, "bios=1 dev=0000000000000012 lun=9"}}},
        {"unknown WWID alone", stranger, fcboot::kExitNoSuchAdapter, 0, {}},
        {"unknown WWID beside a good section", stranger + Section(w2, "1", "0", "5", "4"), 0, 1,
         {{1, "bios=1 dev=0000000000000005 lun=4"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fctest::RunResult r = LoadText(fleet, c.text);
        EXPECT_EQ(r.exit_code, c.exit);
        EXPECT_EQ(RegionCalls(r, 27, 8), c.updates);
        if (c.exit != 0) {
            EXPECT_TRUE(fctest::MailboxCalls(r.log, 23).empty());
        }
        ASSERT_EQ(r.fleet_after.devices.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            const auto found = c.want.find(i);
            const auto at = static_cast<std::size_t>(i);
            EXPECT_EQ(Settings(r.fleet_after.devices[at]),
                      found != c.want.end() ? found->second : Settings(fleet.devices[at])) << i;
        }
    }
}

// Every write, flush, close and replace that fails leaves the file that was
// there byte for byte and no temporary file beside it; a target that cannot
// have one beside it, or is no file to replace, is written in place.
TEST(SaveFileFailures, AFailedStepLeavesTheOldFileAsItWas) {
    using Step = fcplat::OutputStep;
    const fcemu::Fleet fleet = DemoLike(3);
    const std::string dir = fctest::TempDir(), path = dir + "/boot.cfg", old = "last night's copy\n";
    for (const Step step : {Step::Write, Step::Flush, Step::Close, Step::Replace}) {
        for (unsigned nth = 1;; ++nth) {
            SCOPED_TRACE("step " + std::to_string(static_cast<int>(step)) + ", run " + std::to_string(nth));
            fctest::WriteFileBytes(path, old);
            fcplat::InjectOutputFailure(step, nth);
            const int exit = RunChecked(fleet, {"/se", path}).exit_code;
            const bool failed = fcplat::InjectedOutputFailureHappened();
            fcplat::InjectOutputFailure(step, 0);
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
            if (!failed) {
                EXPECT_EQ(exit, fcboot::kExitOk);
                EXPECT_NE(fctest::ReadFileBytes(path), old);
                break;
            }
            EXPECT_EQ(exit, fcboot::kExitFile);
            EXPECT_EQ(fctest::ReadFileBytes(path), old);
        }
    }
    fctest::WriteFileBytes(path, old);
    fcplat::InjectOutputFailure(Step::CreateTemp, 1);
    EXPECT_EQ(RunChecked(fleet, {"/s", path}).exit_code, fcboot::kExitOk);
    EXPECT_TRUE(fcplat::InjectedOutputFailureHappened());
    EXPECT_NE(fctest::ReadFileBytes(path).find("[HBA2]"), std::string::npos);
#ifdef _WIN32
    const std::string device = "NUL";
#else
    const std::string device = "/dev/null";
#endif
    // A device holds no copy: refused before any adapter is opened.
    const fctest::RunResult r = RunChecked(fleet, {"/s", device});
    EXPECT_EQ(r.exit_code, fcboot::kExitFile);
    EXPECT_TRUE(r.log.empty());
    EXPECT_FALSE(fctest::FileExists(device + ".tmp"));
}

TEST(SaveFileFailures, AWriteThatFailsIsNeverReportedAsSaved) {
    const fcemu::Fleet many = DemoLike(120);
    const std::string dir = fctest::TempDir();
    // The control: this fleet saves where the file can be written.
    EXPECT_EQ(RunChecked(many, {"/se", dir + "/many.cfg"}).exit_code, fcboot::kExitOk);
    EXPECT_NE(fctest::ReadFileBytes(dir + "/many.cfg").find("[HBA119]"), std::string::npos);
    for (const char* option : {"/s", "/se"}) {
        SCOPED_TRACE(option);
        // The write fails part-way, after some sections were counted, and
        // no adapter after it is read.
        fcplat::InjectOutputFailure(fcplat::OutputStep::Write, 200);
        const fctest::RunResult r = RunChecked(many, {option, dir + "/part.cfg"});
        fcplat::InjectOutputFailure(fcplat::OutputStep::Write, 0);
        EXPECT_EQ(r.exit_code, fcboot::kExitFile);
        EXPECT_FALSE(fctest::FileExists(dir + "/part.cfg"));
        EXPECT_GT(RegionCalls(r, 23, 4), 1u);
        EXPECT_LT(RegionCalls(r, 23, 4), many.devices.size());
    }
}

TEST(ServerLock, ARunThatNeverGetsTheLockTouchesNothing) {
    // Another program holds the server: every command ends with 6 once the
    // wait is over, without a request or a file.
    const std::string dir = fctest::TempDir();
    const std::string server = dir + "/server.json", saved = dir + "/held.cfg";
    fctest::WriteFileBytes(server, "{}");
    fctest::WriteFileBytes(dir + "/in.cfg", "[HBA0]\n");
    const fcplat::EmulatedServerLock lock{server.c_str(), nullptr, nullptr, nullptr};
    fcplat::files::FileLock other;
    ASSERT_EQ(fcplat::files::LockFile(server.c_str(), 0, &other), fcplat::ServerLock::Held);
    fcplat::InstallEmulatedServerLock(&lock);
    const unsigned wait = fcboot::g_ServerLockWaitMs;
    fcboot::g_ServerLockWaitMs = 100;
    for (const char* option : {"/s", "/l"}) {
        SCOPED_TRACE(option);
        const fctest::RunResult r =
            RunChecked(DemoLike(2), {option, option[1] == 's' ? saved : dir + "/in.cfg"});
        EXPECT_EQ(r.exit_code, fcboot::kExitBusy);
        EXPECT_TRUE(r.log.empty());
        EXPECT_FALSE(fctest::FileExists(saved));
    }
    // Let go (as by a holder that was killed): the next run takes it.
    fcplat::files::UnlockFile(&other);
    EXPECT_EQ(RunChecked(DemoLike(2), {"/s", saved}).exit_code, fcboot::kExitOk);
    fcboot::g_ServerLockWaitMs = wait;
    fcplat::InstallEmulatedServerLock(nullptr);
}

}  // namespace
