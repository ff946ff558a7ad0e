// Adapter access against the emulated driver: discovery and validation,
// attribute queries of both driver kinds, the node list, the refresh, and
// the mailbox transport.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/srb.h"
#include "frontend/frontend.h"
#include "platform/emulated_backend.h"
#include "support/harness.h"

namespace {

using fcemu::DefaultDevice;
using fcemu::FaultRule;
using fcemu::Fleet;
using fcemu::RequestRecord;

fcemu::DeviceConfig Adapter(std::uint32_t port, const char* wwn) {
    fcemu::DeviceConfig d = DefaultDevice(port);
    d.port_wwn = fctest::Wwn(wwn);
    d.driver_name = "tarmp";
    return d;
}

FaultRule Rule(const char* match, FaultRule::Effect effect, std::uint32_t value,
               std::uint32_t skip = 0, std::optional<std::uint32_t> times = std::nullopt) {
    FaultRule r;
    r.match = match;
    r.effect = effect;
    r.value = value;
    r.skip = skip;
    r.times = times;
    return r;
}

class AdapterAccess : public testing::Test {
  protected:
    void Serve(const Fleet& fleet) {
        fcboot::ResetUtilityState();
        fcemu::StartServer(fleet);
    }
    void TearDown() override {
        fcboot::CloseAdapters();
        if (fcemu::ServerRunning()) fcemu::StopServer();
        EXPECT_TRUE(fcemu::Violations().empty()) << fcemu::Violations().front();
        fcboot::ResetUtilityState();
    }
    // Device calls that reached the given port, as "op" or control-code names.
    std::vector<std::string> CallsTo(int port) {
        std::vector<std::string> calls;
        for (const RequestRecord& r : fcemu::RequestLog()) {
            if (r.port != port) continue;
            std::string name = r.op;
            if (r.op == "ioctl") {
                char code[16];
                std::snprintf(code, sizeof(code), "%x",
                              static_cast<unsigned>(r.control_code ? *r.control_code : r.ioctl));
                name = code;
            }
            calls.push_back(name);
        }
        return calls;
    }
};

TEST_F(AdapterAccess, DiscoveryKeepsOnlyMakerAdaptersInDenseSlots) {
    Fleet fleet;
    fleet.devices.push_back(DefaultDevice(0));
    fleet.devices.back().attributes_fail = true;
    fleet.devices.push_back(Adapter(1, "1000000000000001"));
    fleet.devices.push_back(DefaultDevice(2));
    fleet.devices.back().manufacturer = "tarvio";  // another letter case
    fleet.devices.push_back(DefaultDevice(3));
    fleet.devices.back().manufacturer = "Tarvi";
    fleet.devices.push_back(Adapter(4, "1000000000000004"));
    fleet.devices.back().manufacturer = "Tarvio Systems";
    fleet.devices.back().node_wwn = fctest::Wwn("0A0B001122334455");
    fleet.devices.back().pci_bus = 7;
    fleet.devices.back().pci_slot = 0x21;
    fleet.devices.back().value_472 = 0x0123456789ABCDEFull;
    fleet.devices.back().vendor_specific_id = 0xF0A510DFu;
    Serve(fleet);

    EXPECT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 2u);
    EXPECT_EQ(fcboot::m_NumAdapters, 2u);
    ASSERT_NE(fcboot::AdapterAt(1), nullptr);
    EXPECT_STREQ(fcboot::AdapterAt(0)->m_AdapterName, "\\\\.\\Scsi1:");
    EXPECT_STREQ(fcboot::AdapterAt(1)->m_AdapterName, "\\\\.\\Scsi4:");
    EXPECT_STREQ(fcboot::AdapterAt(1)->m_NodeName, "0A0B001122334455");
    EXPECT_EQ(fcboot::AdapterAt(2), nullptr);

    const fcboot::BRDINFO& board = fcboot::g_BoardTable[1];
    EXPECT_EQ(board.InfoValue1[0], 0x01234567u);
    EXPECT_EQ(board.InfoValue1[1], 0x89ABCDEFu);
    EXPECT_EQ(board.IdentityWord, 0xF0A510DFu);
    EXPECT_EQ(board.PciBus, 7u);
    EXPECT_EQ(board.PciSlot, 0x21u);
    EXPECT_EQ(board.Marker1, 0xFFFFFFFFu);
    EXPECT_EQ(board.Constant1, 705u);
    EXPECT_EQ(board.Constant2, 423u);

    // Rejected devices were closed again; every port number was tried.
    std::size_t opens = 0;
    for (const RequestRecord& r : fcemu::RequestLog()) opens += r.op == "open";
    EXPECT_EQ(opens, 256u);
    EXPECT_EQ(fcemu::OpenHandleCount(), 2u);
}

TEST_F(AdapterAccess, ValidationSendsItsRequestsInOrderAndBusSlotOnlyToThePortDriver) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().driver_name = "tarsli2";
    fleet.devices.back().pci_bus = 3;
    fleet.devices.back().pci_slot = 8;
    fleet.devices.push_back(Adapter(1, "1000000000000002"));
    fleet.devices.back().driver_name = "Tarsli2";
    fleet.devices.push_back(Adapter(2, "1000000000000003"));
    fleet.devices.back().driver_name = "tarsli2 ";
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 3u);

    const std::vector<std::string> portDriver = {"open", "80010203", "230800", "230818",
                                                 "80010100", "80010203"};
    const std::vector<std::string> miniport = {"open", "80010203", "230818", "80010100",
                                               "80010203"};
    EXPECT_EQ(CallsTo(0), portDriver);
    EXPECT_EQ(CallsTo(1), miniport);
    EXPECT_EQ(CallsTo(2), miniport);
    EXPECT_EQ(fcboot::AdapterAt(0)->m_Bus, 3u);
    EXPECT_EQ(fcboot::AdapterAt(0)->m_Slot, 8u);
    EXPECT_EQ(fcboot::GetDriverKind(0), 2u);
    EXPECT_EQ(fcboot::GetDriverKind(1), 1u);
    EXPECT_EQ(fcboot::GetDriverKind(2), 1u);
}

TEST_F(AdapterAccess, PortQueryFormDependsOnTheDriverAndNamesTheDevice) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().driver_name = "tarsli2";
    fleet.devices.push_back(Adapter(9, "20000000000000a2"));
    fleet.devices.back().driver_name = "tarmp";
    fleet.devices.back().faults.push_back(
        Rule("ioctl:80010204", FaultRule::Effect::ReturnCode, 8, 0, 1));
    fleet.devices.back().faults.push_back(
        Rule("ioctl:80010204", FaultRule::Effect::ReturnCode, 7, 1, 1));
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 2u);

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

TEST_F(AdapterAccess, UnterminatedDriverStringsStayInsideTheirFields) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fcemu::DeviceConfig& d = fleet.devices.back();
    d.manufacturer = "Tarvio" + std::string(58, 'M');  // fills all 64 bytes
    d.driver_name = std::string(256, 'd');
    d.driver_version = std::string(256, 'v');
    d.model_description = std::string(256, 'x');
    d.model = std::string(256, 'm');
    d.serial_number = std::string(64, 's');
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    fcboot::AdapterCount = 1;
    EXPECT_EQ(std::strlen(fcboot::AdapterAt(0)->m_DriverName), 255u);
    EXPECT_EQ(std::strlen(fcboot::AdapterAt(0)->m_DriverVersion), 255u);
    EXPECT_EQ(std::strlen(fcboot::AdapterAt(0)->m_ModelDesc), 255u);

    ASSERT_EQ(fcboot::RefreshInformation(0), 0u);
    const fcboot::BoardSnapshot& s = fcboot::g_BoardSnapshots[0];
    EXPECT_EQ(s.Valid, 1);
    EXPECT_EQ(std::strlen(s.ModelName), 7u + 256u + 1u);  // the whole Model fits, no more
    EXPECT_EQ(s.ModelName[263], '-');
    EXPECT_EQ(std::strncmp(s.ModelName, "Tarvio-mmm", 10), 0);
    const char* serial = reinterpret_cast<const char*>(s.Attributes + 64);
    EXPECT_EQ(std::strlen(serial), 63u);
    EXPECT_EQ(std::strlen(fcboot::g_BoardTable[0].DriverName), 255u);
}

TEST_F(AdapterAccess, SnapshotFoldsThePortNameIntoVendorIdAndSerial) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "100000AABBCC05EE"));
    fleet.devices.back().vendor_specific_id = 0x12345678u;
    fleet.devices.back().serial_number = "SN1";
    fleet.devices.back().model = "";
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    ASSERT_EQ(fcboot::RefreshInformation(0), 0u);
    const fcboot::BoardSnapshot& s = fcboot::g_BoardSnapshots[0];
    EXPECT_EQ(fcboot::LoadLe32(s.Attributes + 1928), 0x7800AABBu);
    EXPECT_STREQ(reinterpret_cast<const char*>(s.Attributes + 64), "SN1cc 5ee");
    EXPECT_STREQ(s.ModelName, "Tarvio--");
    // The board record follows the adapter record after the refresh.
    EXPECT_STREQ(fcboot::g_BoardTable[0].DriverName, fcboot::AdapterAt(0)->m_DriverName);
    EXPECT_STREQ(fcboot::g_BoardTable[0].DriverVersion, fcboot::AdapterAt(0)->m_DriverVersion);
}

std::vector<fcemu::NodeEntry> Nodes(std::size_t count) {
    std::vector<fcemu::NodeEntry> nodes(count);
    for (std::size_t i = 0; i < count; ++i) {
        nodes[i].wwn = fctest::Wwn("2100000000000000");
        nodes[i].wwn[6] = static_cast<std::uint8_t>(i >> 8);
        nodes[i].wwn[7] = static_cast<std::uint8_t>(i);
        nodes[i].fcid = 0x010200u + static_cast<std::uint32_t>(i);
    }
    return nodes;
}

std::vector<std::uint32_t> NodeListSizes() {
    std::vector<std::uint32_t> sizes;
    for (const RequestRecord& r : fcemu::RequestLog())
        if (r.ioctl == fcboot::kIoctlGetNodeList) sizes.push_back(r.node_list_size.value_or(0));
    return sizes;
}

TEST_F(AdapterAccess, NodeListBufferGrowsByDoublingUpToTheCap) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().node_list = Nodes(500);  // 20000 bytes
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    EXPECT_EQ(NodeListSizes(), (std::vector<std::uint32_t>{8192, 16384, 32768}));
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeAmt, 500u);
    EXPECT_EQ(fcboot::LoadLe32(fcboot::AdapterAt(0)->NodeList + 499 * 40 + 16), 0x010200u + 499);
    fcboot::CloseAdapters();
    fcemu::StopServer();

    fleet.devices.back().faults.push_back(Rule("node_list", FaultRule::Effect::Fail, 122));
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    const std::vector<std::uint32_t> nine = {8192,   16384,  32768,   65536,  131072,
                                             262144, 524288, 1048576, 2097152};
    EXPECT_EQ(NodeListSizes(), nine);
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeList, nullptr);
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeAmt, 0u);
    fcboot::CloseAdapters();
    fcemu::StopServer();

    // A driver without a list: one request, the adapter stays valid.
    fleet.devices.back().faults.clear();
    fleet.devices.back().node_list.reset();
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    EXPECT_EQ(NodeListSizes().size(), 1u);
    EXPECT_EQ(fcboot::AdapterAt(0)->NodeAmt, 0u);
}

TEST_F(AdapterAccess, HostBytesAreCarriedOverByNodeNotByPosition) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    auto nodes = Nodes(3);
    nodes[2].host_byte_1 = 9;
    fleet.devices.back().node_list = nodes;
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    fcboot::PADAPTER a = fcboot::AdapterAt(0);
    ASSERT_EQ(a->NodeAmt, 3u);
    // The host marks node 0 and, twice over, node 1 (the first copy wins).
    a->NodeList[0 * 40 + 20] = 1;
    a->NodeList[0 * 40 + 21] = 1;
    std::memcpy(a->NodeList + 2 * 40, a->NodeList + 1 * 40, 40);
    a->NodeList[1 * 40 + 20] = 5;
    a->NodeList[2 * 40 + 20] = 6;
    fcboot::ReadNodeList(a);
    ASSERT_EQ(a->NodeAmt, 3u);
    EXPECT_EQ(a->NodeList[0 * 40 + 20], 1);
    EXPECT_EQ(a->NodeList[0 * 40 + 21], 1);
    EXPECT_EQ(a->NodeList[1 * 40 + 20], 5);
    EXPECT_EQ(a->NodeList[2 * 40 + 20], 9);  // a node the host never saw keeps the driver's byte
}

// A driver that claims more node-list bytes than the buffer holds.
fcplat::BOOL OverlongNodeList(void*, fcplat::HANDLE, fcplat::DWORD code, fcplat::LPVOID,
                              fcplat::DWORD, fcplat::LPVOID out, fcplat::DWORD outSize,
                              fcplat::LPDWORD returned, fcplat::LPOVERLAPPED, fcplat::DWORD* error) {
    if (code != fcboot::kIoctlGetNodeList) {
        *error = 1;
        return 0;
    }
    std::memset(out, 0x5A, outSize);
    *returned = outSize + 4000;
    return 1;
}

TEST_F(AdapterAccess, NodeListCountIsClampedToTheBuffer) {
    fcboot::ResetUtilityState();
    fcplat::EmulatedDevices table{nullptr, OverlongNodeList, nullptr, nullptr};
    fcplat::InstallEmulatedDevices(&table);
    fcboot::PADAPTER a = fcboot::NewAdapterRecord();
    a->m_hDevice = reinterpret_cast<fcplat::HANDLE>(0x44);
    fcboot::ReadNodeList(a);
    fcplat::InstallEmulatedDevices(nullptr);
    EXPECT_EQ(a->NodeAmt, 8192u / 40);
    fcboot::FreeAdapterRecord(a);

    // No handle, no request, the list stays.
    a = fcboot::NewAdapterRecord();
    fcboot::ReadNodeList(a);
    EXPECT_EQ(a->NodeList, nullptr);
    fcboot::FreeAdapterRecord(a);
}

TEST_F(AdapterAccess, RefreshFailureOnAdapterOneOfThreeFailsTheOpenAndClosesEverything) {
    Fleet fleet;
    for (std::uint32_t p = 0; p < 3; ++p) fleet.devices.push_back(Adapter(p, "1000000000000001"));
    fleet.devices[1].faults.push_back(Rule("ioctl:80010213", FaultRule::Effect::Fail, 31));
    Serve(fleet);
    EXPECT_EQ(fcboot::OpenAdapters(), 255u);
    // Adapter 0: discovery 5 calls, refresh 9, then the close.
    EXPECT_EQ(CallsTo(0).size(), 15u);
    EXPECT_EQ(CallsTo(0).back(), "close");
    std::vector<std::string> adapter2 = CallsTo(2);
    EXPECT_EQ(adapter2.back(), "close");
    for (const std::string& call : adapter2) EXPECT_NE(call, "80010213");
    EXPECT_EQ(fcemu::OpenHandleCount(), 0u);
    for (std::uint32_t n = 0; n < 3; ++n) EXPECT_EQ(fcboot::AdapterAt(n), nullptr);
}

TEST_F(AdapterAccess, RefreshIgnoresReturnCodeAndReopensTheDevice) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().driver_name = "tarsli2";
    fleet.devices.back().faults.push_back(Rule("ioctl:80010213", FaultRule::Effect::ReturnCode, 5));
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    const std::size_t before = CallsTo(0).size();
    ASSERT_EQ(fcboot::RefreshInformation(0), 0u);
    std::vector<std::string> calls = CallsTo(0);
    calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(before));
    const std::vector<std::string> expected = {"80010213", "close",    "open",     "80010203",
                                               "230800",   "230818",   "80010203", "80010204",
                                               "80010204", "80010204"};
    EXPECT_EQ(calls, expected);
}

TEST_F(AdapterAccess, DeviceThatVanishesBeforeTheRefreshLeavesAnEmptySlot) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.push_back(Adapter(1, "1000000000000002"));
    fleet.devices[0].faults.push_back(Rule("open", FaultRule::Effect::Fail, 2, 1));
    Serve(fleet);
    EXPECT_EQ(fcboot::OpenAdapters(), 0u);
    EXPECT_EQ(fcboot::GetAdapterCount(), 2u);
    EXPECT_EQ(fcboot::AdapterAt(0), nullptr);
    EXPECT_EQ(fcboot::AdapterModel[0], 0u);
    EXPECT_EQ(fcboot::g_BoardSnapshots[0].Valid, 0);
    std::uint8_t wwn[8];
    EXPECT_EQ(fcboot::GetAdapterPortWWN(0, wwn), 255u);
    EXPECT_EQ(fcboot::GetAdapterPortWWN(1, wwn), 0u);
}

TEST_F(AdapterAccess, MailboxTransportReturnsStatusesAndKeepsTheBlockOnError) {
    Fleet fleet;
    fleet.devices.push_back(Adapter(0, "1000000000000001"));
    fleet.devices.back().revision_primary = 0x01004000u;
    fleet.devices.back().revision_secondary = 0x00000007u;
    fleet.devices.back().faults.push_back(Rule("mailbox:17", FaultRule::Effect::MbxStatus, 0x1601, 1, 1));
    Serve(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);

    std::uint8_t block[256] = {};
    block[1] = 17;
    fcboot::StoreLe32(block + 4, 0x80000000u);
    std::uint8_t sent[256];
    std::memcpy(sent, block, 256);
    ASSERT_EQ(fcboot::IssueMbox(0, block, 92, 92), 0u);
    EXPECT_EQ(fcboot::LoadLe32(block + 8), 0x01004000u);
    EXPECT_EQ(fcboot::LoadLe32(block + 12), 7u);

    std::memcpy(block, sent, 256);
    EXPECT_EQ(fcboot::IssueMbox(0, block, 92, 92), 5633u);
    EXPECT_EQ(std::memcmp(block, sent, 256), 0);

    // An extension beyond its area is refused before anything is sent.
    const std::size_t before = fcemu::RequestLog().size();
    std::uint8_t ext[8] = {};
    EXPECT_EQ(fcboot::IssueMboxExt(0, block, ext, 5, 1386, 0), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::IssueMboxExt(0, block, ext, 5, 0, 1386), 0xFFFFFFFFu);
    EXPECT_EQ(fcemu::RequestLog().size(), before);
    EXPECT_STREQ(fcboot::MailboxStatusName(0x1601), "MBXERR_NOT_LAST_LINK_ATTN");
    EXPECT_STREQ(fcboot::MailboxStatusName(253), "UNKNOWN_");
}

}  // namespace
