// The host bytes of a large node list survive a re-read whatever order the
// driver reports the nodes in, with the first copy of a repeated node
// deciding, up to the driver's largest list.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/nodelist_layout.h"
#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

fcemu::NodeEntry Node(std::uint32_t j) {
    fcemu::NodeEntry e;
    // Keys that share their low word: a poor hash would pile them together.
    e.wwn = {0x50, 0, static_cast<std::uint8_t>(j >> 16), static_cast<std::uint8_t>(j >> 8),
             static_cast<std::uint8_t>(j), 0, 0, 1};
    e.fcid = j;
    return e;
}

TEST(NodeListScale, HostBytesFollowTheirNodeAcrossAReorderedRead) {
    const std::uint32_t count = fcboot::kNodeListMaxSize / fcboot::kNodeEntrySize;  // 52428
    std::vector<fcemu::NodeEntry> nodes;
    for (std::uint32_t j = 0; j < count; ++j) nodes.push_back(Node(j));
    fcemu::Fleet fleet;
    fleet.devices.push_back(fcemu::DefaultDevice(0));
    fleet.devices.back().node_list = nodes;

    fcboot::ResetUtilityState();
    fcemu::StartServer(fleet);
    ASSERT_EQ(fcboot::InitDiagEnv(fcboot::g_BoardTable), 1u);
    fcboot::PADAPTER a = fcboot::AdapterAt(0);
    ASSERT_EQ(a->NodeAmt, count);
    // The host marks every node with its own position; the last entry
    // repeats node 7, whose first copy must win.
    for (std::uint32_t j = 0; j < count; ++j) {
        a->NodeList[j * 40 + fcboot::kNodeHostByte1] = static_cast<std::uint8_t>(j);
        a->NodeList[j * 40 + fcboot::kNodeHostByte2] = static_cast<std::uint8_t>(j >> 8);
    }
    for (int b = 0; b < 8; ++b) a->NodeList[(count - 1) * 40 + b] = a->NodeList[7 * 40 + b];
    a->NodeList[(count - 1) * 40 + fcboot::kNodeHostByte1] = 0xEE;
    // The record keeps its list while the server is restarted with the
    // driver reporting the nodes in reverse order, without the repeat, plus
    // one node the host never saw.
    fcplat::CloseHandle(a->m_hDevice);
    fcemu::StopServer();
    std::vector<fcemu::NodeEntry> reversed(nodes.rbegin() + 1, nodes.rend());
    reversed.push_back(Node(count + 5));
    reversed.back().host_byte_1 = 0x42;
    fleet.devices.back().node_list = reversed;
    fcemu::StartServer(fleet);
    a->m_hDevice = fcplat::CreateFileA("\\\\.\\Scsi0:", fcplat::GENERIC_READ | fcplat::GENERIC_WRITE,
                                       fcplat::FILE_SHARE_READ | fcplat::FILE_SHARE_WRITE, nullptr,
                                       fcplat::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(a->m_hDevice, INVALID_HANDLE_VALUE);
    fcboot::ReadNodeList(a);
    ASSERT_EQ(a->NodeAmt, count);

    int wrong = 0;
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        const std::uint32_t j = count - 2 - i;  // the node's first position before
        const std::uint8_t* e = a->NodeList + i * 40;
        if (e[fcboot::kNodeHostByte1] != static_cast<std::uint8_t>(j) ||
            e[fcboot::kNodeHostByte2] != static_cast<std::uint8_t>(j >> 8))
            ++wrong;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(a->NodeList[(count - 1) * 40 + fcboot::kNodeHostByte1], 0x42);
    fcboot::CloseAdapters();
    fcemu::StopServer();
    EXPECT_TRUE(fcemu::Violations().empty());
}

}  // namespace
