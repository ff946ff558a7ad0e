// A save whose boot configuration file cannot be written: whether the open
// fails or a write fails part-way, the command ends with 2, closes every
// adapter it opened and changes none of them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

// Runs a save and checks what holds whatever the file does.
int SaveTo(const fcemu::Fleet& fleet, const std::string& path, const char* option = "/s") {
    const fctest::RunResult r = fctest::RunUtility(fleet, {option, path});
    for (const auto& v : r.violations) ADD_FAILURE() << "protocol violation: " << v;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fctest::MailboxCalls(r.log, 27).empty()) << "a save wrote to an adapter";
    return r.exit_code;
}

// True when a file can be created in dir by this process.
bool CanCreateIn(const std::string& dir) {
    const std::string probe = dir + "/probe.tmp";
    std::FILE* f = std::fopen(probe.c_str(), "w");
    if (f == nullptr) return false;
    std::fclose(f);
    std::remove(probe.c_str());
    return true;
}

fcemu::Fleet ManyAdapters(std::uint32_t count) {
    const fcemu::DeviceConfig demo = fcemu::DemoFleet().devices[0];
    fcemu::Fleet fleet;
    for (std::uint32_t port = 0; port < count; ++port) {
        fcemu::DeviceConfig d = fcemu::DefaultDevice(port);  // a port name of its own
        d.region4 = demo.region4;
        d.region8 = demo.region8;
        d.region10 = demo.region10;
        fleet.devices.push_back(d);
    }
    return fleet;
}

TEST(OutputFile, AFileThatCannotBeCreatedEndsTheSaveWith2) {
    const fcemu::Fleet demo = fcemu::DemoFleet();
    const std::string dir = fctest::TempDir();
    for (const char* option : {"/s", "/se"}) {
        SCOPED_TRACE(option);
        EXPECT_EQ(SaveTo(demo, dir + "/no-such-folder/boot.cfg", option), fcboot::kExitFile);
        EXPECT_FALSE(fctest::FileExists(dir + "/no-such-folder"));
        // A path naming a folder, with and without a trailing separator.
        EXPECT_EQ(SaveTo(demo, dir, option), fcboot::kExitFile);
        EXPECT_EQ(SaveTo(demo, dir + "/", option), fcboot::kExitFile);
        EXPECT_TRUE(std::filesystem::is_directory(dir));
        // A file name under something that is no folder.
        const std::string plain = dir + "/plain.txt";
        fctest::WriteFileBytes(plain, "x");
        EXPECT_EQ(SaveTo(demo, plain + "/boot.cfg", option), fcboot::kExitFile);
        EXPECT_EQ(fctest::ReadFileBytes(plain), "x");
    }
}

TEST(OutputFile, AReadOnlyFolderEndsTheSaveWith2) {
    // A folder without write permission stops an ordinary user; the
    // superuser passes it, so a folder of a filesystem that accepts no new
    // files stands in for it there.
    const std::string dir = fctest::TempDir() + "/read-only";
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_exec |
                                          std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec |
                                          std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec);
    std::string target;
    if (!CanCreateIn(dir)) {
        target = dir;
    } else if (std::filesystem::is_directory("/sys/kernel") && !CanCreateIn("/sys/kernel")) {
        target = "/sys/kernel";
    }
    const bool shown = !target.empty();
    if (shown) {
        EXPECT_EQ(SaveTo(fcemu::DemoFleet(), target + "/boot.cfg"), fcboot::kExitFile);
        EXPECT_FALSE(fctest::FileExists(target + "/boot.cfg"));
    }
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    if (!shown) GTEST_SKIP() << "this platform has no folder that refuses new files to this user";
}

TEST(OutputFile, AWriteThatFailsEndsTheSaveWith2) {
    if (!fctest::FileExists("/dev/full")) GTEST_SKIP() << "no always-full device on this platform";
    // All of it fits the stream's buffer: the failure shows only when the
    // file is flushed and closed.
    EXPECT_EQ(SaveTo(fcemu::DemoFleet(), "/dev/full"), fcboot::kExitFile);
    EXPECT_EQ(SaveTo(fcemu::DemoFleet(), "/dev/full", "/se"), fcboot::kExitFile);

    // More than the buffer holds: a write fails part-way after some sections
    // were counted, the save reads no further adapter, and still ends with 2.
    const fcemu::Fleet many = ManyAdapters(120);
    for (const char* option : {"/s", "/se"}) {
        SCOPED_TRACE(option);
        const fctest::RunResult r = fctest::RunUtility(many, {option, "/dev/full"});
        EXPECT_EQ(r.exit_code, fcboot::kExitFile);
        EXPECT_TRUE(r.violations.empty());
        std::size_t region4Dumps = 0;
        for (const auto& rec : fctest::MailboxCalls(r.log, 23))
            if (rec.region && *rec.region == 4) ++region4Dumps;
        EXPECT_GT(region4Dumps, 1u);
        EXPECT_LT(region4Dumps, many.devices.size());
    }
}

TEST(OutputFile, TheSameFleetSavesFineToAWritablePath) {
    // The control for the cases above: the fleets themselves save.
    const std::string dir = fctest::TempDir();
    EXPECT_EQ(SaveTo(fcemu::DemoFleet(), dir + "/boot.cfg"), fcboot::kExitOk);
    EXPECT_EQ(SaveTo(ManyAdapters(120), dir + "/many.cfg", "/se"), fcboot::kExitOk);
    const std::string text = fctest::ReadFileBytes(dir + "/many.cfg");
    EXPECT_NE(text.find("[HBA119]"), std::string::npos);
}

}  // namespace
