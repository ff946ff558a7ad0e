// Adapter access against the emulated driver: discovery and validation,
// attribute queries of both driver kinds, the node list, the refresh, the
// mailbox transport, empty slots; and the request framing byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/srb.h"
#include "frontend/frontend.h"
#include "platform/win32.h"
#include "support/harness.h"

namespace {

using fcemu::FaultRule;
using fcemu::Fleet;

fcemu::DeviceConfig Adapter(std::uint32_t port, const char* wwn, const char* driver = "tarmp") {
    fcemu::DeviceConfig d = fcemu::DefaultDevice(port);
    d.port_wwn = fctest::Wwn(wwn);
    d.driver_name = driver;
    return d;
}

FaultRule Rule(const char* match, FaultRule::Effect effect, std::uint32_t value,
               std::uint32_t skip = 0, std::optional<std::uint32_t> times = std::nullopt) {
    return FaultRule{match, skip, times, effect, value};
}

class AdapterAccess : public testing::Test {
  protected:
    void Serve(const Fleet& fleet, std::uint32_t expectAdapters) {
        fcboot::ResetUtilityState();
        fcemu::StartServer(fleet);
        if (expectAdapters) {
            ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), expectAdapters);
        }
    }
    void TearDown() override {
        fcboot::CloseAdapters();
        if (fcemu::ServerRunning()) fcemu::StopServer();  // reports leaked handles
        EXPECT_TRUE(fcemu::Violations().empty()) << fcemu::Violations().front();
        fcboot::ResetUtilityState();
    }
    // Device calls that reached the given port, as "op" or control-code names.
    static std::vector<std::string> CallsTo(int port) {
        std::vector<std::string> calls;
        for (const fcemu::RequestRecord& r : fcemu::RequestLog()) {
            if (r.port != port) continue;
            char code[16];
            std::snprintf(code, sizeof(code), "%x",
                          static_cast<unsigned>(r.control_code ? *r.control_code : r.ioctl));
            calls.push_back(r.op == "ioctl" ? code : r.op);
        }
        return calls;
    }
};

TEST_F(AdapterAccess, DiscoveryKeepsMakerAdaptersInDenseSlotsAndValidatesPerDriverKind) {
    Fleet fleet;
    fleet.devices.push_back(fcemu::DefaultDevice(0));
    fleet.devices.back().attributes_fail = true;
    fleet.devices.push_back(Adapter(1, "1000000000000001", "tarsli2"));
    fleet.devices.back().pci_bus = 3;
    fleet.devices.back().pci_slot = 8;
    fleet.devices.push_back(fcemu::DefaultDevice(2));
    fleet.devices.back().manufacturer = "tarvio";  // another letter case
    fleet.devices.push_back(fcemu::DefaultDevice(3));
    fleet.devices.back().manufacturer = "Tarvi";
    fleet.devices.push_back(Adapter(4, "1000000000000004", "Tarsli2"));
    fcemu::DeviceConfig& d = fleet.devices.back();
    d.manufacturer = "Tarvio Systems";
    d.node_wwn = fctest::Wwn("0A0B001122334455");
    d.pci_bus = 7;
    d.pci_slot = 0x21;
    d.value_472 = 0x0123456789ABCDEFull;
    d.vendor_specific_id = 0xF0A510DFu;
    fleet.devices.push_back(Adapter(5, "1000000000000005", "tarsli2 "));
    Serve(fleet, 3);

    EXPECT_EQ(fcboot::m_NumAdapters, 3u);
    EXPECT_STREQ(fcboot::AdapterAt(0)->m_AdapterName, "\\\\.\\Scsi1:");
    EXPECT_STREQ(fcboot::AdapterAt(1)->m_AdapterName, "\\\\.\\Scsi4:");
    EXPECT_STREQ(fcboot::AdapterAt(1)->m_NodeName, "0A0B001122334455");
    EXPECT_EQ(fcboot::AdapterAt(3), nullptr);
    const fcboot::BRDINFO& board = fcboot::g_BoardTable[1];
    EXPECT_EQ(board.InfoValue1[0], 0x01234567u);
    EXPECT_EQ(board.InfoValue1[1], 0x89ABCDEFu);
    EXPECT_EQ(board.IdentityWord, 0xF0A510DFu);
    EXPECT_EQ(board.PciBus, 7u);
    EXPECT_EQ(board.PciSlot, 0x21u);

    // Only the exact port-driver name asks for bus and slot.
    const std::vector<std::string> miniport = {"open", "80010203", "230818", "80010100",
                                               "80010203"};
    std::vector<std::string> portDriver = miniport;
    portDriver.insert(portDriver.begin() + 2, "230800");
    EXPECT_EQ(CallsTo(1), portDriver);
    EXPECT_EQ(CallsTo(4), miniport);
    EXPECT_EQ(CallsTo(5), miniport);
    EXPECT_EQ(fcboot::AdapterAt(0)->m_Bus, 3u);
    EXPECT_EQ(fcboot::AdapterAt(0)->m_Slot, 8u);
    EXPECT_EQ(fcboot::GetDriverKind(0), 2u);
    EXPECT_EQ(fcboot::GetDriverKind(1), 1u);
    EXPECT_EQ(fcboot::GetDriverKind(2), 1u);
}

TEST_F(AdapterAccess, PortQueryFormDependsOnTheDriverAndNamesTheDevice) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001", "tarsli2"));
    fleet.devices.push_back(Adapter(9, "20000000000000a2"));
    fleet.devices.back().faults = {Rule("ioctl:80010204", FaultRule::Effect::ReturnCode, 8, 0, 1),
                                   Rule("ioctl:80010204", FaultRule::Effect::ReturnCode, 7, 1, 1)};
    Serve(fleet, 2);
    std::uint8_t record[632];
    ASSERT_EQ(fcboot::GetAdapterPortAttributes(0, 0, record), 0u);
    EXPECT_EQ(fcemu::RequestLog().back().size, 664u);
    EXPECT_EQ(std::memcmp(record + 8, fctest::Wwn("1000000000000001").data(), 8), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(record + 352), "\\\\.\\Scsi0:");
    for (int i = 352 + 10; i < 608; ++i) ASSERT_EQ(record[i], 0);

    // ReturnCode 8 still delivers the record; 7 leaves it alone.
    std::memset(record, 0xEE, sizeof(record));
    EXPECT_EQ(fcboot::GetAdapterPortAttributes(1, 1, record), 8u);
    EXPECT_EQ(fcemu::RequestLog().back().size, 668u);
    EXPECT_EQ(std::memcmp(record + 8, fctest::Wwn("20000000000000a2").data(), 8), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(record + 352), "\\\\.\\Scsi9:");
    std::memset(record, 0xEE, sizeof(record));
    EXPECT_EQ(fcboot::GetAdapterPortAttributes(1, 0, record), 7u);
    EXPECT_EQ(record[8], 0xEE);
    std::uint8_t wwn[8];
    EXPECT_EQ(fcboot::GetAdapterPortWWN(1, wwn), 0u);
    EXPECT_EQ(std::memcmp(wwn, fctest::Wwn("20000000000000a2").data(), 8), 0);
}

TEST_F(AdapterAccess, DriverStringsStayInsideTheirFieldsAndTheSnapshotFoldsThePortName) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fcemu::DeviceConfig& d = fleet.devices.back();
    d.manufacturer = "Tarvio" + std::string(58, 'M');  // fills all 64 bytes
    d.driver_name = std::string(256, 'd');
    d.driver_version = std::string(256, 'v');
    d.model_description = std::string(256, 'x');
    d.model = std::string(256, 'm');
    d.serial_number = std::string(64, 's');
    fleet.devices.push_back(Adapter(1, "100000AABBCC05EE"));
    fleet.devices.back().vendor_specific_id = 0x12345678u;
    fleet.devices.back().serial_number = "SN1";
    fleet.devices.back().model = "";
    Serve(fleet, 2);
    fcboot::AdapterCount = 2;
    EXPECT_EQ(std::strlen(fcboot::AdapterAt(0)->m_DriverName), 255u);
    EXPECT_EQ(std::strlen(fcboot::AdapterAt(0)->m_DriverVersion), 255u);
    EXPECT_EQ(std::strlen(fcboot::AdapterAt(0)->m_ModelDesc), 255u);

    ASSERT_EQ(fcboot::RefreshInformation(0), 0u);
    const fcboot::BoardSnapshot& s = fcboot::g_BoardSnapshots[0];
    EXPECT_EQ(s.Valid, 1);
    EXPECT_EQ(std::strlen(s.ModelName), 7u + 256u + 1u);  // the whole Model fits, no more
    EXPECT_EQ(s.ModelName[263], '-');
    EXPECT_EQ(std::strncmp(s.ModelName, "Tarvio-mmm", 10), 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(s.Attributes + 64)), 63u);
    EXPECT_EQ(std::strlen(fcboot::g_BoardTable[0].DriverName), 255u);

    ASSERT_EQ(fcboot::RefreshInformation(1), 0u);
    const fcboot::BoardSnapshot& t = fcboot::g_BoardSnapshots[1];
    EXPECT_EQ(fcboot::LoadLe32(t.Attributes + 1928), 0x7800AABBu);
    EXPECT_STREQ(reinterpret_cast<const char*>(t.Attributes + 64), "SN1cc 5ee");
    EXPECT_STREQ(t.ModelName, "Tarvio--");
    EXPECT_STREQ(fcboot::g_BoardTable[1].DriverVersion, fcboot::AdapterAt(1)->m_DriverVersion);
}

std::vector<std::uint32_t> NodeListSizes() {
    std::vector<std::uint32_t> sizes;
    for (const fcemu::RequestRecord& r : fcemu::RequestLog())
        if (r.ioctl == fcboot::kIoctlGetNodeList) sizes.push_back(r.node_list_size.value_or(0));
    return sizes;
}

TEST_F(AdapterAccess, NodeListBufferDoublesUpToTheCap) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().node_list = std::vector<fcemu::NodeEntry>(500);  // 20000 bytes
    fleet.devices.back().node_list->back().fcid = 0x010203;
    Serve(fleet, 1);
    EXPECT_EQ(NodeListSizes(), (std::vector<std::uint32_t>{8192, 16384, 32768}));
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeAmt, 500u);
    EXPECT_EQ(fcboot::LoadLe32(fcboot::AdapterAt(0)->NodeList + 499 * 40 + 16), 0x010203u);
    fcboot::CloseAdapters();
    fcemu::StopServer();

    fleet.devices.back().faults.push_back(Rule("node_list", FaultRule::Effect::Fail, 122));
    Serve(fleet, 1);
    std::vector<std::uint32_t> nine = {8192};
    while (nine.size() < 9) nine.push_back(nine.back() * 2);
    EXPECT_EQ(NodeListSizes(), nine);
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeList, nullptr);
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeAmt, 0u);
}

// Keys that share their low word: a poor hash would pile them together.
fcemu::NodeEntry Node(std::uint32_t j) {
    return {{0x50, 0, static_cast<std::uint8_t>(j >> 16), static_cast<std::uint8_t>(j >> 8),
             static_cast<std::uint8_t>(j), 0, 0, 1},
            j, 0, 0};
}

TEST_F(AdapterAccess, HostBytesFollowTheirNodeAcrossAReorderedReadOfTheLargestList) {
    const std::uint32_t count = 2097152 / 40;
    std::vector<fcemu::NodeEntry> nodes;
    for (std::uint32_t j = 0; j < count; ++j) nodes.push_back(Node(j));
    Fleet fleet;
    fleet.devices.push_back(fcemu::DefaultDevice(0));
    fleet.devices.back().node_list = nodes;
    Serve(fleet, 1);
    fcboot::PADAPTER a = fcboot::AdapterAt(0);
    ASSERT_EQ(a->NodeAmt, count);
    // The host marks every node with its position (a nonzero byte on every
    // one); the last entry repeats node 7.
    for (std::uint32_t j = 0; j < count; ++j) {
        a->NodeList[j * 40 + 20] = static_cast<std::uint8_t>(j);
        a->NodeList[j * 40 + 21] = static_cast<std::uint8_t>(j >> 8 | 0x80);
    }
    std::memcpy(a->NodeList + (count - 1) * 40, a->NodeList + 7 * 40, 8);
    a->NodeList[(count - 1) * 40 + 20] = 0xEE;
    // Re-read: the nodes in reverse order, without the repeat, plus one unseen node.
    fcplat::CloseHandle(a->m_hDevice);
    fcemu::StopServer();
    // The driver's own host bytes are set on every entry too, and give way
    // to the host's.
    std::vector<fcemu::NodeEntry> reversed(nodes.rbegin() + 1, nodes.rend());
    for (fcemu::NodeEntry& n : reversed) n.host_byte_2 = 0x33;
    reversed.push_back(Node(count + 5));
    reversed.back().host_byte_1 = 0x42;
    fleet.devices.back().node_list = reversed;
    fcemu::StartServer(fleet);
    a->m_hDevice = fctest::OpenDevice(0);
    fcboot::ReadNodeList(a);
    ASSERT_EQ(a->NodeAmt, count);
    int wrong = 0;
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        const std::uint32_t j = count - 2 - i;  // the node's first position before
        wrong += a->NodeList[i * 40 + 20] != static_cast<std::uint8_t>(j) ||
                 a->NodeList[i * 40 + 21] != static_cast<std::uint8_t>(j >> 8 | 0x80);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(a->NodeList[(count - 1) * 40 + 20], 0x42);  // the driver's byte
}

TEST_F(AdapterAccess, DeviceThatVanishesBeforeTheRefreshLeavesAnEmptySlot) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.push_back(Adapter(1, "1000000000000002"));
    fleet.devices[0].faults.push_back(Rule("open", FaultRule::Effect::Fail, 2, 1));
    Serve(fleet, 0);
    EXPECT_EQ(fcboot::OpenAdapters(), 0u);
    EXPECT_EQ(fcboot::GetAdapterCount(), 2u);
    EXPECT_EQ(fcboot::AdapterAt(0), nullptr);
    EXPECT_EQ(fcboot::AdapterModel[0], 0u);
    EXPECT_EQ(fcboot::g_BoardSnapshots[0].Valid, 0);
    std::uint8_t wwn[8];
    EXPECT_EQ(fcboot::GetAdapterPortWWN(1, wwn), 0u);
    // Every operation on the empty slot (or beyond the table) fails without a request.
    const std::size_t requests = fcemu::RequestLog().size();
    std::uint8_t block[256] = {}, ext[256] = {}, attributes[2192] = {}, port[632] = {};
    EXPECT_EQ(fcboot::IssueMbox(0, block, 32, 32), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::IssueMboxExt(5, block, ext, 5, 64, 0), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::GetAdapterAttributes(0, attributes), 1u);
    EXPECT_EQ(fcboot::GetAdapterPortAttributes(300, 0, port), 1u);
    EXPECT_EQ(fcboot::RefreshInformation(0), 1u);
    EXPECT_EQ(fcboot::GetAdapterPortWWN(0, wwn), 255u);
    EXPECT_EQ(std::vector<std::uint8_t>(wwn, wwn + 8), std::vector<std::uint8_t>(8, 0));  // cleared first
    EXPECT_EQ(fcemu::RequestLog().size(), requests);
}

// The request header of every control code, byte for byte.
TEST(Framing, EveryControlCodeIsFramedAsTheDriverExpects) {
    const struct {
        std::uint32_t code, size;
        const char sig[9];
        std::uint32_t timeout;
    } rows[] = {
        {0x80010100u, 5840, "KX6000\0\0", 30}, {0x80010106u, 5840, "KX6000\0\0", 20},
        {0x8001013Bu, 5840, "KX6000 \0", 30},  {0x80010203u, 2224, "HBAAPI\0\0", 30},
        {0x80010204u, 668, "HBAAPI\0\0", 30},  {0x80010204u, 664, "HBAAPI\0\0", 30},
        {0x80010213u, 28, "HBAAPI\0\0", 30},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        std::vector<std::uint8_t> buf(row.size, 0xAA);
        fcboot::FrameMiniportRequest(buf.data(), row.size, row.code);
        EXPECT_EQ(fcboot::LoadLe32(&buf[0]), 28u);
        EXPECT_EQ(std::memcmp(&buf[4], row.sig, 8), 0);
        EXPECT_EQ(fcboot::LoadLe32(&buf[12]), row.timeout);
        EXPECT_EQ(fcboot::LoadLe32(&buf[16]), row.code);
        EXPECT_EQ(fcboot::LoadLe32(&buf[20]), 0u);
        EXPECT_EQ(fcboot::LoadLe32(&buf[24]), row.size - 28);
        for (std::uint32_t i = 28; i < row.size; ++i) ASSERT_EQ(buf[i], 0) << i;
    }
}

TEST_F(AdapterAccess, MailboxTransportReturnsStatusesAndKeepsTheBlockOnError) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().revision_primary = 0x01004000u;
    fleet.devices.back().revision_secondary = 7;
    fleet.devices.back().faults.push_back(Rule("mailbox:17", FaultRule::Effect::MbxStatus, 0x1601, 1, 1));
    Serve(fleet, 1);
    std::uint8_t block[256] = {}, sent[256];
    block[1] = 17;
    fcboot::StoreLe32(block + 4, 0x80000000u);
    std::memcpy(sent, block, 256);
    ASSERT_EQ(fcboot::IssueMbox(0, block, 92, 92), 0u);
    EXPECT_EQ(fcboot::LoadLe32(block + 8), 0x01004000u);
    EXPECT_EQ(fcboot::LoadLe32(block + 12), 7u);
    std::memcpy(block, sent, 256);
    EXPECT_EQ(fcboot::IssueMbox(0, block, 92, 92), 0x1601u);
    EXPECT_EQ(std::memcmp(block, sent, 256), 0);

    // An extension beyond its area is refused before anything is sent.
    const std::size_t before = fcemu::RequestLog().size();
    std::uint8_t ext[8] = {};
    EXPECT_EQ(fcboot::IssueMboxExt(0, block, ext, 5, 1386, 0), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::IssueMboxExt(0, block, ext, 5, 0, 1386), 0xFFFFFFFFu);
    EXPECT_EQ(fcemu::RequestLog().size(), before);
}

}  // namespace
