// The exact device requests of a save and a load, by kind, against a count
// worked out from the command's sequence: discovery, refresh, model
// identification, then the per-adapter work. A request added anywhere breaks
// one of these counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "adapter/bytes.h"
#include "capture/capture.h"
#include "support/harness.h"

namespace {

// Different drivers, node list sizes and model paths, at ports far apart.
struct Shape {
    std::uint32_t port;
    const char* wwid;  // of the default device at that port
    bool portDriver;   // "tarsli2": GET_BUS_SLOT on every validation
    int nodes;         // node list entries; -1: the driver keeps no list
    bool modelFromId;  // device ID 0xF3xx: no revision query, no staged sequence
};
const Shape kShapes[] = {{0, "1000000000000001", true, 300, false},
                         {7, "1000000000000008", false, -1, true},
                         {200, "10000000000000c9", true, 0, false}};

// The counts in order, so that a mismatch prints them: opens, closes,
// attributes, port queries, refreshes, RETURN_INFO, bus slot, node list,
// mailbox 17, 23, 27, 27 extended, 156, and requests of no known kind.
std::vector<std::uint64_t> InOrder(const fcemu::RequestCounts& c) {
    return {c.opens,    c.closes, c.attributes, c.portQueries, c.refreshes, c.returnInfo, c.busSlot,
            c.nodeList, c.mbox17, c.mbox23,     c.mbox27,      c.mbox27Ext, c.mbox156,    c.other};
}

fcemu::DeviceConfig Device(const Shape& a) {
    fcemu::DeviceConfig d = fcemu::DefaultDevice(a.port);
    if (!a.portDriver) d.driver_name = "tarmp4";
    if (a.nodes < 0) d.node_list.reset();
    else d.node_list->resize(static_cast<std::size_t>(a.nodes));
    // 0xF3xx names its model outright; the default 0xF0A5 needs the chip code.
    if (a.modelFromId) d.vendor_specific_id = 0xF30010DFu;
    std::memcpy(d.region10.data(), "EFIB", 4);
    return d;
}

// Kept: a selection whose activation finished; Unfinished: one whose staged
// activation never did (bytes 52..55 of region 4 zero).
enum class Selection { Kept, Unfinished, Select, Clear };

// GET_NODE_LIST requests of one read: the first buffer is 8 KiB and doubles
// after every "buffer too small" until the 40-byte entries fit (300 of them
// need one retry).
std::uint64_t NodeListRequests(const Shape& a) {
    std::uint64_t requests = 1;
    for (std::uint64_t size = 8192; a.nodes > 0 && size < 40ull * a.nodes; size *= 2) ++requests;
    return requests;
}

// Loads carry one complete section per adapter, in index order, plus one
// naming no adapter of the fleet.
fcemu::RequestCounts Expected(std::size_t n, const std::string& option, Selection selection) {
    const bool save = option[1] == 's', efib = option.back() == 'e';
    fcemu::RequestCounts c;
    c.opens = 256;  // discovery tries every SCSI port name once
    c.closes = n;   // close-all at the end of the command
    for (std::size_t k = 0; k < n; ++k) {
        const Shape& a = kShapes[k];
        // Discovery validates (attributes, bus slot, node list) and reads the
        // board record (RETURN_INFO, attributes). The refresh sends
        // REFRESH_INFORMATION, closes, reopens, validates again and takes the
        // snapshot (attributes, port 0, then ports 0 and 1). Model
        // identification sends command 17 unless the device ID decides.
        c.attributes += 4;
        c.busSlot += a.portDriver ? 2 : 0;
        c.nodeList += 2 * NodeListRequests(a);
        c.returnInfo += 1;
        c.refreshes += 1;
        c.closes += 1;
        c.opens += 1;
        c.portQueries += 3;
        c.mbox17 += a.modelFromId ? 0 : 1;
        // Finding adapter k by its port name asks adapters 0 to k.
        const std::uint64_t search = k + 1;
        c.mbox23 += 1;  // region 4 (boot image selection)
        if (save) {
            // The adapter's port name for the section, the read finding it
            // again, and region 10 in three pieces or region 8.
            c.portQueries += 1 + search;
            c.mbox23 += efib ? 3 : 1;
            continue;
        }
        // Select or clear finds the adapter, then the boot region write does.
        c.portQueries += 2 * search;
        ++(efib ? c.mbox27Ext : c.mbox27);
        if (selection == Selection::Clear) c.mbox27 += 1;
        if (selection == Selection::Unfinished && !a.modelFromId) {
            // The staged sequence with the image found, then region 4.
            c.mbox27 += 1;
            c.mbox156 += 3;
        }
        if (selection == Selection::Select) {
            // Directory head and its one entry, then region 4 written; the
            // staged sequence adds start, advance, finish and region 4 again.
            c.mbox23 += 2;
            c.mbox27 += a.modelFromId ? 1 : 2;
            c.mbox156 += a.modelFromId ? 0 : 3;
        }
    }
    if (!save) c.portQueries += 2 * n;  // the unknown section: both searches ask everyone
    return c;
}

TEST(RequestCount, SaveAndLoadSendExactlyTheSequencesRequests) {
    for (const std::string option : {"/s", "/se", "/l", "/le"})
        for (const Selection sel :
             {Selection::Kept, Selection::Unfinished, Selection::Select, Selection::Clear})
            for (std::size_t n = 1; n <= 3 && (option[1] == 'l' || sel == Selection::Kept); ++n) {
                SCOPED_TRACE(option + ", selection case " + std::to_string(static_cast<int>(sel)) +
                             ", " + std::to_string(n) + " adapters");
                fcemu::Fleet fleet;
                std::string text;
                for (std::size_t i = 0; i <= n; ++i)  // the last section names no adapter
                    text += fctest::Section(i < n ? kShapes[i].wwid : "10000000deadbeef", "1",
                                            sel != Selection::Clear ? "1" : "0", "500000000000a001", "3",
                                            "[HBA" + std::to_string(i) + "]");
                for (std::size_t i = 0; i < n; ++i) {
                    fleet.devices.push_back(Device(kShapes[i]));
                    // Boot image 0x03960001 (kind 0x96) selected in region 4.
                    auto& r4 = fleet.devices.back().region4;
                    if (sel != Selection::Select) fcboot::StoreLe32(r4.data() + 12, 0x03960001u);
                    if (sel != Selection::Select && sel != Selection::Unfinished)
                        fcboot::StoreLe32(r4.data() + 52, 0x03960001u);
                }
                const std::string file = fctest::TempDir() + "/boot.cfg";
                fctest::WriteFileBytes(file, text);
                const auto r = fctest::RunUtility(fleet, {option, file});
                EXPECT_EQ(r.exit_code, 0);
                EXPECT_TRUE(r.violations.empty());
                EXPECT_EQ(InOrder(fcemu::CountRequests(r.log)), InOrder(Expected(n, option, sel)));
            }
}

// A load over a server that already holds the file, selections activated,
// changes nothing and writes nothing but each section's boot region, with
// the bytes it already holds: no region 4 write, no staged sequence, no
// directory walk.
TEST(RequestCount, ALoadOverItsOwnResultWritesOnlyTheSameBootRegions) {
    fcemu::Fleet fleet;
    std::string text;
    for (const Shape& a : kShapes) {
        fleet.devices.push_back(Device(a));
        fleet.devices.back().boot_images = {0x03960001u};
        text += fctest::Section(a.wwid, "1", "1", "500000000000a001", "3");
    }
    const std::string file = fctest::TempDir() + "/boot.cfg";
    fctest::WriteFileBytes(file, text);
    for (const std::string option : {"/l", "/le"}) {
        SCOPED_TRACE(option);
        const auto first = fctest::RunUtility(fleet, {option, file});
        ASSERT_EQ(first.exit_code, 0);
        const auto again = fctest::RunUtility(first.fleet_after, {option, file});
        EXPECT_EQ(again.exit_code, 0);
        EXPECT_TRUE(again.violations.empty());
        EXPECT_EQ(fcemu::SerializeFleet(again.fleet_after), fcemu::SerializeFleet(first.fleet_after));
        const auto counts = fcemu::CountRequests(again.log);
        EXPECT_EQ(counts.mbox156, 0u);
        EXPECT_EQ(counts.mbox27 + counts.mbox27Ext, std::size(kShapes));
        for (const auto& rec : fctest::MailboxCalls(again.log, 27))
            EXPECT_EQ(rec.region, option == "/le" ? 10u : 8u);
        for (const auto& rec : fctest::MailboxCalls(again.log, 23)) EXPECT_FALSE(rec.address);
    }
}

// The capture reads every adapter alike: the attributes before and after the
// refresh, port 0, the bus slot (port driver), the node list, RETURN_INFO,
// command 17, regions 4 and 8 in one dump each and region 10 in three, the
// directory's head word and its one entry. A device of another maker, or
// one whose attribute query fails, is asked its attributes only.
TEST(RequestCount, CaptureSendsTheSameReadsToEveryAdapter) {
    fcemu::Fleet fleet;
    fcemu::RequestCounts expected;
    expected.opens = 256;
    for (const Shape& a : kShapes) {
        fleet.devices.push_back(Device(a));
        expected.closes += 1, expected.attributes += 2, expected.refreshes += 1, expected.portQueries += 1;
        expected.busSlot += a.portDriver ? 1 : 0;
        expected.nodeList += NodeListRequests(a);
        expected.returnInfo += 1, expected.mbox17 += 1, expected.mbox23 += 5 + 2;
    }
    fleet.devices.push_back(fcemu::DefaultDevice(9));
    fleet.devices.back().manufacturer = "Other";
    fleet.devices.push_back(fcemu::DefaultDevice(10));
    fleet.devices.back().attributes_fail = true;
    expected.closes += 2, expected.attributes += 2;

    fcemu::StartServer(fleet);
    EXPECT_EQ(fccapture::CaptureServer().devices.size(), 5u);
    fcemu::StopServer();
    EXPECT_TRUE(fcemu::Violations().empty());
    EXPECT_EQ(InOrder(fcemu::CountRequests(fcemu::RequestLog())), InOrder(expected));
}

}  // namespace
