// The exact device requests of a save and a load, by kind, against a count
// worked out from the command's sequence: discovery, refresh, model
// identification, then the per-adapter work. A change that adds a request
// anywhere breaks one of these counts.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "adapter/mailbox_layout.h"
#include "adapter/srb.h"
#include "support/harness.h"

namespace {

// What one adapter's description changes in the count.
struct AdapterShape {
    bool portDriver;           // "tarsli2": GET_BUS_SLOT on every validation
    std::uint32_t nodeListEntries;  // 0 with `noNodeList` means the driver keeps none
    bool noNodeList;
    bool deviceIdDecides;      // the model is known without the revision query
    bool stagedSequence;       // the model runs the staged sequence after a new selection
};

}  // namespace

namespace fcemu {
// Printed by the test on a mismatch.
std::ostream& operator<<(std::ostream& os, const RequestCounts& c) {
    return os << "opens " << c.opens << ", closes " << c.closes << ", attributes " << c.attributes
              << ", port queries " << c.portQueries << ", refreshes " << c.refreshes
              << ", RETURN_INFO " << c.returnInfo << ", bus-slot " << c.busSlot << ", node list "
              << c.nodeList << ", mailbox 17/23/27/27ext/156 " << c.mbox17 << "/" << c.mbox23
              << "/" << c.mbox27 << "/" << c.mbox27Ext << "/" << c.mbox156 << ", other "
              << c.other;
}
}  // namespace fcemu

namespace {

using Counts = fcemu::RequestCounts;

Counts CountLog(const std::vector<fcemu::RequestRecord>& log) { return fcemu::CountRequests(log); }

// GET_NODE_LIST requests of one read: the first buffer is 8 KiB and doubles
// after every "buffer too small" until the list fits.
std::uint64_t NodeListRequests(const AdapterShape& a) {
    if (a.noNodeList) return 1;
    std::uint64_t bytes = 40ull * a.nodeListEntries, size = 8192, requests = 1;
    while (size < bytes) {
        size *= 2;
        ++requests;
    }
    return requests;
}

// Opening every adapter: discovery, then a refresh and a model query each.
Counts OpenAdaptersCount(const std::vector<AdapterShape>& fleet) {
    Counts c;
    const std::uint64_t n = fleet.size();
    c.opens = 256;  // discovery tries every SCSI port name once
    for (const AdapterShape& a : fleet) {
        // Discovery: validation (attributes, bus-slot, node list), then the
        // board record (RETURN_INFO and the attributes once more).
        c.attributes += 2;
        c.busSlot += a.portDriver ? 1 : 0;
        c.nodeList += NodeListRequests(a);
        c.returnInfo += 1;
        // Refresh: REFRESH_INFORMATION, close, open, the same validation,
        // then the snapshot (attributes, and port 0 once plus ports 0 and 1).
        c.refreshes += 1;
        c.closes += 1;
        c.opens += 1;
        c.attributes += 2;
        c.busSlot += a.portDriver ? 1 : 0;
        c.nodeList += NodeListRequests(a);
        c.portQueries += 3;
        // Model identification: command 17 unless the device ID decides.
        c.mbox17 += a.deviceIdDecides ? 0 : 1;
    }
    c.closes += n;  // close-all at the end of the command
    return c;
}

// The adapter search by port name asks adapters 0, 1, ... until one
// matches: k + 1 port queries to find adapter k, n to find none of n.
std::uint64_t SearchQueries(std::uint64_t k) { return k + 1; }

Counts SaveCount(const std::vector<AdapterShape>& fleet, bool efib) {
    Counts c = OpenAdaptersCount(fleet);
    for (std::uint64_t k = 0; k < fleet.size(); ++k) {
        c.portQueries += 1;                 // the adapter's own port name for the section
        c.portQueries += SearchQueries(k);  // the read finds the adapter again by that name
        c.mbox23 += 1;                      // region 4 (boot image selection)
        c.mbox23 += efib ? 3 : 1;           // region 10 in three pieces, or region 8
    }
    return c;
}

enum class Selection { AlreadySelected, MustSelect, Clear };

// One complete section per adapter, in index order, plus one section naming
// no adapter of the fleet.
Counts LoadCount(const std::vector<AdapterShape>& fleet, bool efib, Selection selection) {
    Counts c = OpenAdaptersCount(fleet);
    const std::uint64_t n = fleet.size();
    for (std::uint64_t k = 0; k < n; ++k) {
        c.portQueries += SearchQueries(k);  // select or clear finds the adapter
        c.mbox23 += 1;                      // region 4
        if (selection == Selection::MustSelect) {
            // Directory head and its one entry, then region 4 written.
            c.mbox23 += 2;
            c.mbox27 += 1;
            // Start, advance, finish, and region 4 once more.
            if (fleet[k].stagedSequence) {
                c.mbox156 += 3;
                c.mbox27 += 1;
            }
        }
        if (selection == Selection::Clear) c.mbox27 += 1;  // the selection was set
        c.portQueries += SearchQueries(k);  // the boot region write finds it again
        ++(efib ? c.mbox27Ext : c.mbox27);
    }
    c.portQueries += 2 * n;  // the unknown section: both searches ask everyone
    return c;
}

std::vector<AdapterShape> Shapes(std::size_t n) {
    // Different drivers, node list sizes and model paths, at ports far apart.
    const std::vector<AdapterShape> all = {
        {true, 300, false, false, true},  // 12000 bytes: the 8 KiB buffer is too small once
        {false, 0, true, true, false},    // miniport driver without a node list
        {true, 0, false, false, true},
    };
    return std::vector<AdapterShape>(all.begin(), all.begin() + static_cast<long>(n));
}

const std::uint32_t kPorts[] = {0, 7, 200};

fcemu::Fleet BuildFleet(const std::vector<AdapterShape>& shapes, Selection selection) {
    fcemu::Fleet fleet;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        const AdapterShape& s = shapes[i];
        fcemu::DeviceConfig d = fcemu::DefaultDevice(kPorts[i]);
        if (!s.portDriver) d.driver_name = "tarmp4";
        if (s.noNodeList) {
            d.node_list.reset();
        } else {
            std::vector<fcemu::NodeEntry> nodes(s.nodeListEntries);
            for (std::uint32_t j = 0; j < s.nodeListEntries; ++j)
                nodes[j].wwn[7] = static_cast<std::uint8_t>(j);
            d.node_list = nodes;
        }
        // Device ID 0xF3xx names its model outright; 0xF0A5 needs the chip code.
        if (s.deviceIdDecides) d.vendor_specific_id = 0xF30010DFu;
        d.region10[0] = 'E';
        d.region10[1] = 'F';
        d.region10[2] = 'I';
        d.region10[3] = 'B';
        if (selection != Selection::MustSelect) {
            // Boot image 0x03960001 (kind 0x96) selected in region 4.
            d.region4[12] = 0x01;
            d.region4[14] = 0x96;
            d.region4[15] = 0x03;
        }
        fleet.devices.push_back(d);
    }
    return fleet;
}

std::string LoadFile(const fcemu::Fleet& fleet, bool select) {
    std::string text;
    auto section = [&](std::size_t i, const std::array<std::uint8_t, 8>& wwn) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x%02x%02x%02x%02x", wwn[0], wwn[1], wwn[2],
                      wwn[3], wwn[4], wwn[5], wwn[6], wwn[7]);
        text += "[HBA" + std::to_string(i) + "]\nWWID=" + hex +
                "\nHostAdapterBiosEnable=1\nSelectBootEnable=" + (select ? "1" : "0") +
                "\nBootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=3\n\n";
    };
    for (std::size_t i = 0; i < fleet.devices.size(); ++i) section(i, fleet.devices[i].port_wwn);
    section(fleet.devices.size(), fctest::Wwn("10000000deadbeef"));
    return text;
}

struct Mode {
    const char* option;
    bool efib;
};

TEST(RequestCount, SaveSendsExactlyTheSequencesRequests) {
    for (const Mode mode : {Mode{"/s", false}, Mode{"/se", true}}) {
        for (std::size_t n = 1; n <= 3; ++n) {
            SCOPED_TRACE(std::string(mode.option) + " over " + std::to_string(n) + " adapters");
            const auto shapes = Shapes(n);
            const std::string file = fctest::TempDir() + "/boot.cfg";
            const auto r = fctest::RunUtility(BuildFleet(shapes, Selection::AlreadySelected),
                                              {mode.option, file});
            EXPECT_EQ(r.exit_code, 0);
            EXPECT_TRUE(r.violations.empty());
            EXPECT_EQ(CountLog(r.log), SaveCount(shapes, mode.efib));
        }
    }
}

TEST(RequestCount, LoadSendsExactlyTheSequencesRequests) {
    struct Case {
        Selection selection;
        const char* name;
    };
    for (const Mode mode : {Mode{"/l", false}, Mode{"/le", true}}) {
        for (const Case c : {Case{Selection::AlreadySelected, "selection kept"},
                             Case{Selection::MustSelect, "image selected"},
                             Case{Selection::Clear, "selection cleared"}}) {
            for (std::size_t n = 1; n <= 3; ++n) {
                SCOPED_TRACE(std::string(mode.option) + ", " + c.name + ", " + std::to_string(n) +
                             " adapters");
                const auto shapes = Shapes(n);
                const fcemu::Fleet fleet = BuildFleet(shapes, c.selection);
                const std::string file = fctest::TempDir() + "/boot.cfg";
                fctest::WriteFileBytes(file, LoadFile(fleet, c.selection != Selection::Clear));
                const auto r = fctest::RunUtility(fleet, {mode.option, file});
                EXPECT_EQ(r.exit_code, 0);
                EXPECT_TRUE(r.violations.empty());
                EXPECT_EQ(CountLog(r.log), LoadCount(shapes, mode.efib, c.selection));
            }
        }
    }
}

}  // namespace
