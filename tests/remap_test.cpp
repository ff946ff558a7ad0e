// The remap: swaps made on emulated servers, each with a BIOS and an EFIB
// file saved before the swap; the server is only read. Where the remap ends with 0, loading its file
// into the server and saving again must give that file back, adapter by
// adapter; where it ends otherwise, nothing is written.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "diff/diff.h"
#include "remap/remap.h"
#include "support/capture_checks.h"
#include "support/harness.h"

namespace {

using fcemu::DeviceConfig;
using fcemu::Fleet;

// Port names 10..0X, node names 20..0X; boot device 50..a0X LUN n.
std::string PortName(const std::string& tail) { return "10000000000000" + tail; }
std::string NodeName(const std::string& tail) { return "20000000000000" + tail; }

DeviceConfig Card(std::uint32_t port, std::uint32_t bus, std::uint32_t device, std::uint32_t function,
                  const std::string& tail) {
    DeviceConfig d = fcemu::DemoFleet().devices[0];
    d.port = port;
    d.serial_number = "TV8000" + std::to_string(1000 + port);
    d.pci_bus = bus;
    d.pci_slot = device | function << 5;
    d.port_wwn = fctest::Wwn(PortName(tail).c_str());
    d.node_wwn = fctest::Wwn(NodeName(tail).c_str());
    return d;
}

void Rename(DeviceConfig& d, const std::string& tail) {
    d.port_wwn = fctest::Wwn(PortName(tail).c_str());
    d.node_wwn = fctest::Wwn(NodeName(tail).c_str());
}

void Place(DeviceConfig& d, std::uint32_t bus, std::uint32_t device, std::uint32_t function) {
    d.pci_bus = bus;
    d.pci_slot = device | function << 5;
}

// A two-port card with a function per port (A), a one-port card (B) and a
// card whose one function has two ports (C), each port booting from its own
// LUN.
Fleet Before() {
    Fleet f;
    f.devices = {Card(0, 3, 8, 0, "11"), Card(1, 3, 8, 1, "12"), Card(2, 4, 0, 0, "21"),
                 Card(3, 6, 1, 0, "31"), Card(4, 6, 1, 0, "32")};
    std::string cfg;
    for (const char* tail : {"11", "12", "21", "31", "32"})
        cfg += fctest::Section(PortName(tail), "1", "1", "500000000000a0" + std::string(tail),
                               std::string(1, tail[1]));
    const std::string path = fctest::TempDir() + "/settings.cfg";
    fctest::WriteFileBytes(path, cfg);
    for (const char* load : {"/l", "/le"}) {
        const fctest::RunResult r = fctest::RunUtility(f, {load, path});
        EXPECT_EQ(r.exit_code, 0) << load;
        f = r.fleet_after;
    }
    return f;
}

struct Outcome {
    int exit_code = -1;
    std::string report, errors;
};

// Serves `now` and remaps `in` against the capture `before`.
Outcome Remap(const Fleet& now, const std::string& before, const std::string& in, const std::string& out) {
    const std::string dir = fctest::TempDir();
    std::FILE* report = std::fopen((dir + "/report").c_str(), "w");
    std::FILE* err = std::fopen((dir + "/errors").c_str(), "w");
    fcemu::StartServer(now);
    Outcome o;
    o.exit_code = fcremap::RunRemap(before, in, out, report, err, "remap");
    fcemu::StopServer();
    for (const std::string& v : fcemu::Violations()) ADD_FAILURE() << "protocol violation: " << v;
    fctest::ExpectOnlyReads(fcemu::RequestLog());
    std::fclose(report);
    std::fclose(err);
    o.report = fctest::ReadFileBytes(dir + "/report");
    o.errors = fctest::ReadFileBytes(dir + "/errors");
    return o;
}

std::string Replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& names) {
    for (const auto& n : names)
        for (std::size_t at = text.find("WWID=" + n.first); at != std::string::npos;
             at = text.find("WWID=" + n.first, at))
            text.replace(at + 5, 16, n.second);
    return text;
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(Remap, CarriesReplacedAdaptersAndOnlyThoseInBiosAndEfibFiles) {
    const Fleet before = Before();
    const std::string dir = fctest::TempDir(), beforePath = dir + "/before.json";
    std::string error;
    ASSERT_TRUE(fcemu::SaveFleetFile(beforePath, before, &error)) << error;
    const std::string line12 =
        "bus 3 device 8 function 1: port 1000000000000012 -> 10000000000000b2, node 2000000000000012 -> "
        "20000000000000b2: replace initiator 1000000000000012 with 10000000000000b2 in the zones and "
        "masking that present boot device 500000000000a012 LUN 2\n";
    const struct {
        const char* what;
        std::function<void(Fleet&)> swap;
        std::string extraSection;  // added to IN
        int exit;
        std::vector<std::pair<std::string, std::string>> renamed;  // the tails in IN and OUT
        std::string report;  // 0: the lines; 1: a text the errors hold
    } cases[] = {
        {"one port of a two-port card", [](Fleet& f) { Rename(f.devices[1], "b2"); }, "", 0,
         {{"12", "b2"}}, line12},
        {"a whole two-port card",
         [](Fleet& f) {
             Rename(f.devices[0], "b1");
             Rename(f.devices[1], "b2");
         },
         "", 0, {{"11", "b1"}, {"12", "b2"}},
         "bus 3 device 8 function 0: port 1000000000000011 -> 10000000000000b1, node 2000000000000011 -> "
         "20000000000000b1: replace initiator 1000000000000011 with 10000000000000b1 in the zones and "
         "masking that present boot device 500000000000a011 LUN 1\n" +
             line12},
        {"the second port of one function",
         [](Fleet& f) { Rename(f.devices[4], "d2"); }, "", 0, {{"32", "d2"}},
         "bus 6 device 1 function 0 port 1: port 1000000000000032 -> 10000000000000d2, node "
         "2000000000000032 -> 20000000000000d2: replace initiator 1000000000000032 with 10000000000000d2 "
         "in the zones and masking that present boot device 500000000000a032 LUN 2\n"},
        {"two cards swapped between slots",
         [](Fleet& f) {
             Place(f.devices[0], 4, 0, 0);
             Place(f.devices[1], 4, 0, 1);
             Place(f.devices[2], 3, 8, 0);
         },
         "", 0, {}, ""},
        {"a card added", [](Fleet& f) { f.devices.push_back(Card(5, 7, 2, 0, "e1")); }, "", 0, {}, ""},
        {"a card in a new slot",
         [](Fleet& f) {
             Rename(f.devices[2], "c1");
             Place(f.devices[2], 5, 3, 0);
         },
         "", 1, {},
         "line 16: 1000000000000021 is absent, and was at bus 4 device 0 function 0: no adapter is "
         "there now; new adapters no section names: 10000000000000c1 (node 20000000000000c1) at bus 5 "
         "device 3 function 0\n"},
        {"a successor another section names", [](Fleet& f) { Rename(f.devices[1], "b2"); },
         fctest::Section(PortName("b2"), "0", "0", "0000000000000000", "0"), 1, {},
         "1000000000000012 is absent, and was at bus 3 device 8 function 1: the adapter there now, "
         "10000000000000b2, is already named by another section\n"},
        {"a known card moved into the place of a removed one",
         [](Fleet& f) {
             Place(f.devices[2], 3, 8, 1);
             f.devices.erase(f.devices.begin() + 1);
         },
         "", 1, {},
         "the adapter there now, 1000000000000021, was at bus 4 device 0 function 0 before: it moved, "
         "and replaced nothing\n"},
    };
    for (const auto& c : cases) {
        Fleet now = before;
        c.swap(now);
        for (const char* save : {"/s", "/se"}) {
            SCOPED_TRACE(std::string(c.what) + ", " + save);
            const bool efib = save[2] == 'e';
            const std::string in = dir + "/in.cfg", out = dir + "/out.cfg", saved = dir + "/saved.cfg";
            ASSERT_EQ(fctest::RunUtility(before, {save, in}).exit_code, 0);
            // Whatever the line ends, every byte but the names stays.
            std::string inText = fctest::ReadFileBytes(in) + c.extraSection;
            if (efib) inText = Crlf(inText);
            fctest::WriteFileBytes(in, inText);
            fctest::WriteFileBytes(out, "kept\n");

            const Outcome o = Remap(now, beforePath, in, out);
            EXPECT_EQ(o.exit_code, c.exit) << o.errors;
            if (c.exit != 0) {
                EXPECT_NE(o.errors.find(fctest::NativeText(c.report)), std::string::npos) << o.errors;
                EXPECT_EQ(fctest::ReadFileBytes(out), "kept\n");
                EXPECT_EQ(o.report, "");
                continue;
            }
            std::vector<std::pair<std::string, std::string>> names;
            for (const auto& r : c.renamed) names.emplace_back(PortName(r.first), PortName(r.second));
            EXPECT_EQ(fctest::ReadFileBytes(out), Replaced(inText, names));
            EXPECT_EQ(o.report, fctest::NativeText(c.report));
            EXPECT_EQ(o.errors, "");

            const fctest::RunResult load = fctest::RunUtility(now, {efib ? "/le" : "/l", out});
            EXPECT_EQ(load.exit_code, 0);
            ASSERT_EQ(fctest::RunUtility(load.fleet_after, {save, saved}).exit_code, 0);
            fcdiff::Report diff;
            ASSERT_TRUE(fcdiff::CompareFiles(out, saved, false, &diff, &error)) << error;
            EXPECT_TRUE(diff.differences.empty()) << fcdiff::ReportText(diff);
        }
    }
}

// The files and the server: what cannot be read or written, and a server
// without adapters or without the rights to read it, writes nothing.
TEST(Remap, WritesNothingWhenAFileOrTheServerFails) {
    const Fleet before = Before();
    const std::string dir = fctest::TempDir(), beforePath = dir + "/before.json", in = dir + "/in.cfg";
    std::string error;
    ASSERT_TRUE(fcemu::SaveFleetFile(beforePath, before, &error)) << error;
    Fleet incomplete = before;
    incomplete.devices[0].incomplete = {"region 10 unreadable"};
    ASSERT_TRUE(fcemu::SaveFleetFile(dir + "/incomplete.json", incomplete, &error)) << error;
    Fleet swapped = before;
    Rename(swapped.devices[2], "c1");
    // A card whose name a load may read from fewer digits.
    Fleet shortBefore = before, shortNow = swapped;
    shortBefore.devices[2].port_wwn = fctest::Wwn("0000000000000021");
    ASSERT_TRUE(fcemu::SaveFleetFile(dir + "/short.json", shortBefore, &error)) << error;
    Fleet refused = swapped;
    refused.devices[3].faults = {{"open", 0, std::nullopt, fcemu::FaultRule::Effect::Fail, 5}};
    // The section of the replaced card written by hand: a short name, a
    // comment after it.
    const std::string text = "# rack 4\n[HBA2]\nWWID=1000000000000021 ; card B\nHostAdapterBiosEnable=1\n"
                             "SelectBootEnable=1\nBootDeviceWWID=500000000000a021\nBootDeviceLUN[0]=1\n";
    const std::string shortName = "[HBA2]\nwwid = 21\n" + text.substr(text.find("Host"));
    const std::string rest = text.substr(text.find("Host")), noDevice = "[HBA2]\nWWID=1000000000000021\n"
                                                                      "HostAdapterBiosEnable=0\nSelectBootEnable=0\n"
                                                                      "BootDeviceWWID=0\nBootDeviceLUN[0]=0\n";
    const std::string report21 =
        "bus 4 device 0 function 0: port 1000000000000021 -> 10000000000000c1, node 2000000000000021 -> "
        "20000000000000c1: replace initiator 1000000000000021 with 10000000000000c1 in the zones and masking";
    const struct {
        const char* what;
        Fleet now;
        std::string before, in, out;
        int exit;
        std::string errors, written;  // what the errors hold; OUT after (empty: not written)
        std::string report;
    } cases[] = {
        {"the name alone changed", swapped, beforePath, text, dir + "/out.cfg", 0, "",
         "# rack 4\n[HBA2]\nWWID=10000000000000c1 ; card B\n" + rest,
         report21 + " that present boot device 500000000000a021 LUN 1\n"},
        {"OUT is IN", swapped, beforePath, text, in, 0, "",
         "# rack 4\n[HBA2]\nWWID=10000000000000c1 ; card B\n" + rest,
         report21 + " that present boot device 500000000000a021 LUN 1\n"},
        {"the last WWID line the load takes", swapped, beforePath,
         "[HBA2]\nWWID=1000000000000011\nWWID=1000000000000021\n" + rest, dir + "/out.cfg", 0, "",
         "[HBA2]\nWWID=1000000000000011\nWWID=10000000000000c1\n" + rest,
         report21 + " that present boot device 500000000000a021 LUN 1\n"},
        {"no boot device", swapped, beforePath, noDevice, dir + "/out.cfg", 0, "",
         "[HBA2]\nWWID=10000000000000c1\n" + noDevice.substr(noDevice.find("Host")), report21 + "\n"},
        {"a short name widened", shortNow, dir + "/short.json", shortName, dir + "/out.cfg", 0, "",
         "[HBA2]\nwwid = 10000000000000c1\n" + rest,
         "bus 4 device 0 function 0: port 0000000000000021 -> 10000000000000c1, node 2000000000000021 -> "
         "20000000000000c1: replace initiator 0000000000000021 with 10000000000000c1 in the zones and "
         "masking that present boot device 500000000000a021 LUN 1\n"},
        {"a short name in a long line", shortNow, dir + "/short.json",
         "[HBA2]\nWWID=21" + std::string(240, ' ') + "x\n" + text.substr(text.find("Host")),
         dir + "/out.cfg", fcremap::kRemapFile, "write it with 16 digits", "", ""},
        {"no capture", swapped, dir + "/none.json", text, dir + "/out.cfg", fcremap::kRemapFile,
         "none.json", "", ""},
        {"an incomplete capture", swapped, dir + "/incomplete.json", text, dir + "/out.cfg",
         fcremap::kRemapFile, "could not read whole", "", ""},
        {"no file to remap", swapped, beforePath, "", dir + "/out.cfg", fcremap::kRemapFile,
         "cannot read", "", ""},
        {"an OUT that cannot be written", swapped, beforePath, text, dir + "/no/out.cfg",
         fcremap::kRemapFile, "cannot write", "", ""},
        {"no adapter", Fleet(), beforePath, text, dir + "/out.cfg", fccapture::kCaptureNoDevice,
         "no adapter at", "", ""},
        {"no rights", refused, beforePath, text, dir + "/out.cfg", fccapture::kCaptureIncomplete,
         "port 3: open refused: access denied", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(c.out.c_str());
        std::remove(in.c_str());
        if (std::string(c.what) != "no file to remap") fctest::WriteFileBytes(in, c.in);
        const Outcome o = Remap(c.now, c.before, in, c.out);
        EXPECT_EQ(o.exit_code, c.exit) << o.errors;
        EXPECT_NE(o.errors.find(c.errors), std::string::npos) << o.errors;
        EXPECT_EQ(fctest::ReadFileBytes(c.out), c.written);
        EXPECT_EQ(fctest::FileExists(c.out), !c.written.empty());
        EXPECT_EQ(o.report, fctest::NativeText(c.report));
    }
}

// On twins, as the user's guide tells it: capture, swap a card in the twin
// (new names, same place, its boot device not yet zoned to it), check, remap,
// load, save, compare, check before and after the rezoning.
TEST(Remap, CarriesASwappedCardOfATwinEndToEnd) {
    const std::string dir = fctest::TempDir(), twin = dir + "/twin.json", before = dir + "/before.json";
    std::string error;
    ASSERT_TRUE(fcemu::SaveFleetFile(dir + "/server.json", fcemu::DemoFleet(), &error)) << error;
    const auto emu = fctest::EmuMain;
    ASSERT_EQ(emu({"--fleet", dir + "/server.json", "--capture", before}), 0);
    ASSERT_EQ(emu({"--fleet", before, "/s", dir + "/boot.cfg"}), 0);
    std::filesystem::copy_file(before, twin);

    Fleet swapped;
    ASSERT_TRUE(fcemu::LoadFleetFile(twin, &swapped, &error)) << error;
    // A card fresh from the factory: no boot settings, and no port of the
    // SAN zoned to it yet.
    Rename(swapped.devices[0], "a1");
    swapped.devices[0].region4.fill(0);
    swapped.devices[0].region8.fill(0);
    swapped.devices[0].region10.fill(0);
    swapped.devices[0].node_list = std::vector<fcemu::NodeEntry>{};
    ASSERT_TRUE(fcemu::SaveFleetFile(twin, swapped, &error)) << error;
    const std::string change = "replace initiator 1000000000000001 with 10000000000000a1 in the zones and "
                               "masking that present boot device 500000000000a001 LUN 0";

    // The check, told by the capture from before, says the same change.
    testing::internal::CaptureStdout();
    EXPECT_EQ(emu({"--fleet", twin, "--check", "--expect", dir + "/boot.cfg", "--before", before}), 2);
    std::string report = testing::internal::GetCapturedStdout();
    EXPECT_NE(report.find("CRITICAL: 1000000000000001 BIOS: replaced by 10000000000000a1 at bus 3 device 8 "
                          "function 0, node 2000000000000001 -> 20000000000000a1: " + change + ";"),
              std::string::npos)
        << report;

    EXPECT_EQ(emu({"--fleet", twin, "--remap", before, dir + "/boot.cfg"}), fcemu::kEmuOwnError);
    testing::internal::CaptureStdout();
    const int remap = emu({"--fleet", twin, "--remap", before, dir + "/boot.cfg", dir + "/new.cfg"});
    report = testing::internal::GetCapturedStdout();
    ASSERT_EQ(remap, 0);
    EXPECT_NE(report.find(": " + change), std::string::npos) << report;
    testing::internal::CaptureStdout();  // the load's own line
    EXPECT_EQ(emu({"--fleet", twin, "/l", dir + "/new.cfg"}), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(emu({"--fleet", twin, "/s", dir + "/saved.cfg"}), 0);
    std::string out, err;
    const std::string argv[] = {"fcboot-diff", dir + "/new.cfg", dir + "/saved.cfg"};
    const char* args[] = {argv[0].c_str(), argv[1].c_str(), argv[2].c_str()};
    EXPECT_EQ(fcdiff::DiffMain(3, args, &out, &err), fcdiff::kDiffSame) << out << err;

    // The new port, the only one set to boot, is not ready while it sees no
    // port at all, nor while the SAN does not yet present the boot device to
    // it: the server would not boot, CRITICAL. OK after the rezoning.
    const struct {
        std::vector<const char*> nodes;
        int state;
        const char* finding;
    } steps[] = {
        {{}, 2, "WARNING: 10000000000000a1 BIOS: the adapter sees no port at all"},
        {{"500000000000b001"}, 2, "WARNING: 10000000000000a1 BIOS: the boot device 500000000000a001 is not among"},
        {{"500000000000b001", "500000000000a001"}, 0, "OK: 10000000000000a1 BIOS: set to boot from 500000000000a001"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.finding);
        ASSERT_TRUE(fcemu::LoadFleetFile(twin, &swapped, &error)) << error;
        swapped.devices[0].node_list->clear();
        for (const char* node : step.nodes)
            swapped.devices[0].node_list->push_back({fctest::Wwn(node), 0x010200, 0, 0});
        ASSERT_TRUE(fcemu::SaveFleetFile(twin, swapped, &error)) << error;
        testing::internal::CaptureStdout();
        const int state = emu({"--fleet", twin, "--check", "--expect", dir + "/new.cfg"});
        report = testing::internal::GetCapturedStdout();
        EXPECT_EQ(state, step.state) << report;
        EXPECT_NE(report.find(step.finding), std::string::npos) << report;
    }
}

}  // namespace
