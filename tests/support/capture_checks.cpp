#include "support/capture_checks.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>

#include "adapter/bytes.h"
#include "adapter/srb.h"
#include "support/harness.h"

namespace fctest {
namespace {

using fcemu::DeviceConfig;
using fcemu::Fleet;

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

}  // namespace

std::vector<Fleet> GeneratedFleets(std::size_t count) {
    Generator generator(20240611);
    std::vector<Fleet> fleets;
    while (fleets.size() < count) fleets.push_back(generator.Next());
    return fleets;
}

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

void ExpectFaithful(const Fleet& source, const Fleet& twin) {
    ASSERT_EQ(twin.devices.size(), source.devices.size());
    for (std::size_t i = 0; i < source.devices.size(); ++i) {
        const DeviceConfig& s = source.devices[i];
        const DeviceConfig& t = twin.devices[i];
        SCOPED_TRACE("device at port " + std::to_string(s.port));
        EXPECT_EQ(t.port, s.port);
        EXPECT_TRUE(t.incomplete.empty());
        EXPECT_EQ(t.attributes_fail, s.attributes_fail);
        if (s.attributes_fail) continue;
        EXPECT_EQ(t.manufacturer, s.manufacturer);
        EXPECT_EQ(t.model, s.model);
        EXPECT_EQ(t.model_description, s.model_description);
        EXPECT_EQ(t.serial_number, s.serial_number);
        EXPECT_EQ(t.driver_name, s.driver_name);
        EXPECT_EQ(t.driver_version, s.driver_version);
        EXPECT_EQ(t.node_wwn, s.node_wwn);
        EXPECT_EQ(t.vendor_specific_id, s.vendor_specific_id);
        EXPECT_EQ(t.number_of_ports, s.number_of_ports);
        if (s.manufacturer.rfind("Tarvio", 0) != 0) continue;  // asked nothing more

        EXPECT_EQ(t.port_wwn, s.port_wwn);
        EXPECT_EQ(t.pci_bus, s.pci_bus);
        EXPECT_EQ(t.pci_slot, s.pci_slot);
        EXPECT_EQ(t.value_456, s.value_456);
        EXPECT_EQ(t.value_472, s.value_472);
        EXPECT_EQ(t.revision_primary, s.revision_primary);
        EXPECT_EQ(t.revision_secondary, s.revision_secondary);
        EXPECT_EQ(t.region4, s.region4);
        EXPECT_EQ(t.region8, s.region8);
        EXPECT_EQ(t.region10, s.region10);
        ASSERT_EQ(t.node_list.has_value(), s.node_list.has_value());
        if (s.node_list) {
            ASSERT_EQ(t.node_list->size(), s.node_list->size());
            for (std::size_t j = 0; j < s.node_list->size(); ++j) {
                const fcemu::NodeEntry &a = (*s.node_list)[j], &b = (*t.node_list)[j];
                ASSERT_TRUE(a.wwn == b.wwn && a.fcid == b.fcid && a.host_byte_1 == b.host_byte_1 &&
                            a.host_byte_2 == b.host_byte_2)
                    << "node " << j << " of " << s.node_list->size() << ": " << fcfleet::HexBytes(b.wwn.data(), 8)
                    << " fcid " << b.fcid << " where the source holds " << fcfleet::HexBytes(a.wwn.data(), 8)
                    << " fcid " << a.fcid;
            }
        }
        // Every directory word the twin holds is the source's; a source whose
        // only raw words lie beyond the directory gives back its image list.
        const fcfleet::AdapterMemory mine = fcfleet::DeviceMemory(s), copied = fcfleet::DeviceMemory(t);
        for (const auto& word : copied) {
            const auto it = mine.find(word.first);
            EXPECT_EQ(word.second, it == mine.end() ? 0u : it->second) << "word at " << fcfleet::Hex32(word.first);
        }
        bool rawDirectory = false;
        for (const fcemu::MemoryWords& run : s.memory) rawDirectory = rawDirectory || run.address < 0x40000u;
        if (!rawDirectory) {
            EXPECT_EQ(t.boot_images, s.boot_images);
        }
    }
}

void ExpectSameRuns(const Fleet& original, const Fleet& twin, const std::string& dir) {
    std::string load;
    for (std::size_t i = 0; i <= original.devices.size(); ++i) {
        const std::string wwid = i < original.devices.size()
                                     ? fcfleet::HexBytes(original.devices[i].port_wwn.data(), 8)
                                     : "10000000deadbeef";
        load += Section(wwid, std::to_string(i % 2), std::to_string(i % 3 != 1),
                        "5000000000" + std::to_string(100 + i), std::to_string(i * 7));
    }
    WriteFileBytes(dir + "/load.cfg", load);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/v"}, {"/s", dir + "/out.cfg"}, {"/se", dir + "/out.cfg"},
          {"/l", dir + "/load.cfg"}, {"/le", dir + "/load.cfg"}}) {
        SCOPED_TRACE(args[0]);
        std::remove((dir + "/out.cfg").c_str());
        const RunResult a = RunUtility(original, args);
        const std::string fileA = ReadFileBytes(dir + "/out.cfg");
        std::remove((dir + "/out.cfg").c_str());
        const RunResult b = RunUtility(twin, args);
        EXPECT_EQ(a.exit_code, b.exit_code);
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(fileA, ReadFileBytes(dir + "/out.cfg"));
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

}  // namespace fctest
