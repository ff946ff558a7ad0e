// Exit codes of whole commands, one table that runs unchanged in the Linux
// build and in the Windows build: scripts read nothing but this number, so it
// must not depend on the platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

using Effect = fcemu::FaultRule::Effect;

fcemu::Fleet WithFault(const char* match, std::uint32_t skip, Effect effect, std::uint32_t value) {
    fcemu::Fleet fleet = fcemu::DemoFleet();
    for (auto& d : fleet.devices) {
        fcemu::FaultRule rule;
        rule.match = match;
        rule.skip = skip;
        rule.effect = effect;
        rule.value = value;
        d.faults.push_back(rule);
    }
    return fleet;
}

const char kGoodFile[] =
    "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
    "BootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=0\n";

TEST(ExitCodeTable, IsTheSameOnEveryPlatform) {
    struct Case {
        const char* what;
        fcemu::Fleet fleet;
        std::vector<std::string> args;  // "@" stands for the prepared file
        const char* file;               // content of the prepared file, or nullptr: none
        int exitCode;
    };
    const Case cases[] = {
        {"version", fcemu::DemoFleet(), {"/v"}, nullptr, 0},
        {"no argument", fcemu::DemoFleet(), {}, nullptr, 1},
        {"upper-case option", fcemu::DemoFleet(), {"/S", "@"}, nullptr, 1},
        {"save", fcemu::DemoFleet(), {"/s", "@"}, nullptr, 0},
        {"save efib", fcemu::DemoFleet(), {"/se", "@"}, nullptr, 0},
        {"save, no adapter", fcemu::Fleet(), {"/s", "@"}, nullptr, 5},
        {"load, file missing", fcemu::DemoFleet(), {"/l", "@"}, nullptr, 2},
        {"load", fcemu::DemoFleet(), {"/l", "@"}, kGoodFile, 0},
        {"load, rejected WWID", fcemu::DemoFleet(), {"/l", "@"}, "[HBA0]\nWWID=xyz\n", 7},
        {"load, rejected flag", fcemu::DemoFleet(), {"/l", "@"}, "[HBA0]\nSelectBootEnable=2\n", 16},
        {"load, rejected LUN", fcemu::DemoFleet(), {"/l", "@"}, "[HBA0]\nBootDeviceLUN[0]=256\n", 8},
        {"save, every region dump fails", WithFault("mailbox:23", 0, Effect::MbxStatus, 253), {"/s", "@"}, nullptr, 4},
        {"load, every update fails", WithFault("mailbox:27", 0, Effect::Fail, 31), {"/l", "@"}, kGoodFile, 4},
        {"refresh fails", WithFault("ioctl:80010213", 0, Effect::Fail, 31), {"/s", "@"}, nullptr, 255},
        {"port name unreadable", WithFault("ioctl:80010204", 4, Effect::ReturnCode, 1), {"/s", "@"}, nullptr, 255},
        {"staged sequence fails", WithFault("mailbox:156", 0, Effect::State, 9), {"/l", "@"},
         "[HBA0]\nWWID=1000000000000002\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
         "BootDeviceWWID=0\nBootDeviceLUN[0]=0\n", 17},
        {"unknown model", WithFault("mailbox:17", 0, Effect::MbxStatus, 18), {"/l", "@"}, kGoodFile, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = fctest::TempDir() + "/boot.cfg";
        if (c.file) fctest::WriteFileBytes(path, c.file);
        std::vector<std::string> args = c.args;
        for (auto& a : args)
            if (a == "@") a = path;
        const fctest::RunResult r = fctest::RunUtility(c.fleet, args);
        EXPECT_EQ(r.exit_code, c.exitCode);
        EXPECT_TRUE(r.violations.empty());
    }
}

}  // namespace
