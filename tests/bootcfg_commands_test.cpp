// Region commands and model identification against a scripted driver that
// records every raw request and answers from a script.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/srb.h"
#include "bootcfg/bootcfg.h"
#include "frontend/frontend.h"
#include "platform/emulated_backend.h"
#include "support/harness.h"

namespace {

using namespace fcboot;
using Bytes = std::vector<std::uint8_t>;

struct Reply {
    bool fail = false;
    std::uint16_t status = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> words;  // block offset, word
    Bytes data;                                                  // from block offset 20
};

std::vector<Bytes> g_sent;
std::deque<Reply> g_script;
Reply g_fallback;

std::uint32_t BlockAt(const Bytes& r) { return LoadLe32(r.data() + 16) == ISSUE_MBOX_EXT ? 44 : 32; }

fcplat::BOOL FakeIoctl(void*, fcplat::HANDLE, fcplat::DWORD, fcplat::LPVOID in, fcplat::DWORD size,
                       fcplat::LPVOID, fcplat::DWORD, fcplat::LPDWORD, fcplat::LPOVERLAPPED,
                       fcplat::DWORD* error) {
    auto* req = static_cast<std::uint8_t*>(in);
    g_sent.emplace_back(req, req + size);
    Reply r = g_fallback;
    if (!g_script.empty()) r = g_script.front(), g_script.pop_front();
    if (r.fail) return *error = fcplat::ERROR_INVALID_FUNCTION, 0;
    std::uint8_t* block = req + BlockAt(g_sent.back());
    StoreLe16(block + 2, r.status);
    for (auto& w : r.words) StoreLe32(block + w.first, w.second);
    std::copy(r.data.begin(), r.data.end(), block + 20);
    return 1;
}
fcplat::BOOL FakeClose(void*, fcplat::HANDLE, fcplat::DWORD*) { return 1; }
const fcplat::EmulatedDevices kFake{nullptr, FakeIoctl, FakeClose, nullptr};

class Scripted : public ::testing::Test {
protected:
    void SetUp() override {
        g_sent.clear(), g_script.clear(), g_fallback = Reply{};
        fcplat::InstallEmulatedDevices(&kFake);
        g_Adapters[0] = NewAdapterRecord();
        g_Adapters[0]->m_hDevice = reinterpret_cast<fcplat::HANDLE>(0x51);
        m_NumAdapters = 1;
    }
    void TearDown() override {
        ResetUtilityState();
        fcplat::InstallEmulatedDevices(nullptr);
    }
    static Bytes Block(std::size_t i) {
        const Bytes& r = g_sent.at(i);
        return Bytes(r.begin() + BlockAt(r), r.begin() + BlockAt(r) + 256);
    }
};

Bytes Seq(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

TEST_F(Scripted, RetryRuleSendCounts) {
    std::uint8_t block[256] = {};
    g_fallback.status = 253;
    EXPECT_EQ(IssueMboxRetry(0, block, 128), 253u);
    ASSERT_EQ(g_sent.size(), 16u);
    EXPECT_EQ(LoadLe32(g_sent[15].data() + 28 + 4108), 32u);  // request size always 32
    EXPECT_EQ(LoadLe16(g_sent[15].data() + 34), 0u);           // resent with status cleared

    for (std::uint16_t s : {252, 254}) {
        g_sent.clear(), g_fallback.status = s;
        EXPECT_EQ(IssueMboxRetry(0, block, 128), s);
        EXPECT_EQ(g_sent.size(), 1u);
    }
    g_sent.clear(), g_fallback.status = 0;
    g_script = {Reply{false, 253, {}, {}}, Reply{false, 253, {}, {}}};
    EXPECT_EQ(IssueMboxRetry(0, block, 128), 0u);
    EXPECT_EQ(g_sent.size(), 3u);
    g_sent.clear(), g_script = {Reply{false, 5, {}, {}}, Reply{true, 0, {}, {}}};
    EXPECT_EQ(IssueMboxRetry(0, block, 128), kMbxFailed);
    EXPECT_EQ(IssueMboxRetry(0, block, 128), kMbxFailed);
    EXPECT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(IssueMboxRetry(7, block, 128), kMbxFailed);  // empty slot: nothing sent
    EXPECT_EQ(g_sent.size(), 2u);
}

// Region 10 arrives as delivered; every other region has its first 8 bytes
// byte-swapped, even when fewer were delivered. The copy stops at what was
// delivered and at the block's end (0xAA marks the first byte left alone).
TEST_F(Scripted, DumpLengthsAndByteOrder) {
    auto with = [](Bytes b, Bytes tail) { return b.insert(b.end(), tail.begin(), tail.end()), b; };
    const struct { std::uint32_t region, length, delivered, asked; Bytes want; } cases[] = {
        {0x10008, 60, 60, 15, with({4, 3, 2, 1, 8, 7, 6, 5}, with(Seq(52, 9), {0xAA}))},
        {10, 61, 61, 15, with(Seq(61, 1), {0xAA})},
        {10, 300, 1000, 64, with(Seq(236, 1), {0xAA})},
        {4, 60, 2, 15, {4, 3, 2, 1, 8, 7, 6, 5, 0xAA}},
    };
    g_fallback.data = Seq(236, 1);
    for (const auto& c : cases) {
        Bytes dest(300, 0xAA);
        g_sent.clear(), g_fallback.words = {{16, c.delivered}};
        ASSERT_EQ(DumpConfigRegion(0, c.region, 0x20010, c.length, dest.data()), 0u);
        EXPECT_EQ(Block(0), fctest::MailboxBlock(0, 0x17, {{4, 0x12}, {8, (c.region & 0xFFFF) | 0x00100000}, {16, c.asked}}));
        EXPECT_EQ(Bytes(dest.begin(), dest.begin() + static_cast<long>(c.want.size())), c.want) << c.length;
    }
}

TEST_F(Scripted, MemoryReadsAndFailedReads) {
    Bytes mem(48, 0);
    g_fallback.data = Seq(48, 1);
    ASSERT_EQ(ReadAdapterMemory(0, mem.data(), 0x79E, 12), 0u);  // address masked, order kept
    EXPECT_EQ(Block(0), fctest::MailboxBlock(0x02, 0x17, {{4, 1}, {12, 0x79C}, {16, 12}}));
    EXPECT_EQ(mem, Seq(48, 1));

    Bytes dest(60, 0xAA);
    g_fallback = Reply{};
    g_fallback.fail = true;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(DumpConfigRegion(0, 8, 0, 60, dest.data()), kMbxFailed);
    EXPECT_EQ(ReadBootSelectRegion(0, dest.data()), kMbxFailed);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "DumpConfigRegion failed!!! status ffffffff\n"
              "DumpConfigRegion failed!!! status ffffffff\n");
    EXPECT_EQ(ReadAdapterMemory(0, dest.data(), 0x79C, 1), 1u);
    EXPECT_EQ(dest, Bytes(60, 0xAA));

    g_fallback = Reply{};  // region 4 bytes not delivered are zero
    g_fallback.words = {{16, 12}}, g_fallback.data = Seq(60, 1);
    ASSERT_EQ(ReadBootSelectRegion(0, dest.data()), 0u);
    EXPECT_EQ(dest[11], 12);
    EXPECT_EQ(Bytes(dest.begin() + 12, dest.end()), Bytes(48, 0));
}

TEST_F(Scripted, UpdateBlocksInlineAndExtended) {
    Bytes region = Seq(256, 3);
    ASSERT_EQ(UpdateConfigRegion(0, 8, region.data(), 60), 0u);
    Bytes want = fctest::MailboxBlock(0x01, 0x1B, {{4, 0x12}, {8, 8 | (60u << 16)}, {16, 60}});
    std::copy(region.begin(), region.begin() + 60, want.begin() + 20);
    EXPECT_EQ(Block(0), want);
    EXPECT_EQ(LoadLe32(g_sent[0].data() + 16), ISSUE_MBOX);

    g_fallback.status = 253;  // the extended form is sent once, never retried
    EXPECT_EQ(UpdateConfigRegion(0, 10, region.data(), 256), 253u);
    ASSERT_EQ(g_sent.size(), 2u);
    const Bytes& ext = g_sent[1];
    EXPECT_EQ(LoadLe32(ext.data() + 16), ISSUE_MBOX_EXT);
    EXPECT_EQ(Block(1), fctest::MailboxBlock(0x01, 0x1B, {{4, 0x32}, {8, 10 | (256u << 16)}, {16, 256}, {20, 256}}));
    EXPECT_EQ(LoadLe32(ext.data() + 32), 5u);
    EXPECT_EQ(LoadLe32(ext.data() + 36), 64u);
    EXPECT_EQ(LoadLe32(ext.data() + 40), 0u);
    EXPECT_EQ(Bytes(ext.begin() + 300, ext.begin() + 556), region);
    EXPECT_EQ(UpdateConfigRegion(0, 10, region.data(), 60), kMbxFailed);  // too short to send
    EXPECT_EQ(g_sent.size(), 2u);
}

TEST_F(Scripted, StagedSequencePaths) {
    Bytes image = Seq(60, 0x40);
    auto state = [](std::uint32_t s, std::uint32_t carry) { return Reply{false, 0, {{4, s << 8}, {8, carry}}, {}}; };
    g_script = {state(11, 0)};
    ASSERT_EQ(RunBootImageSequence(0, image.data()), 0u);
    Bytes step8 = fctest::MailboxBlock(0, 0x9C, {{4, 8u << 16}});
    std::copy(image.begin() + 52, image.end(), step8.begin() + 16);
    EXPECT_EQ(Block(0), step8);
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(Block(1)[1], 0x1B);  // region 4 written at once

    g_sent.clear(), g_script = {state(8, 0x111), state(8, 0x222), state(9, 0x333), state(11, 0)};
    ASSERT_EQ(RunBootImageSequence(0, image.data()), 0u);
    ASSERT_EQ(g_sent.size(), 5u);
    const std::uint32_t steps[] = {8, 9, 9, 10}, carries[] = {0, 0x111, 0x222, 0x333};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(LoadLe32(Block(i).data() + 4), steps[i] << 16) << i;
        EXPECT_EQ(LoadLe32(Block(i).data() + 8), carries[i]) << i;
        EXPECT_TRUE(std::equal(image.begin() + 52, image.end(), Block(i).begin() + 16)) << i;
    }

    g_sent.clear(), g_script = {state(9, 0)};  // a first state other than 8 or 11
    EXPECT_EQ(RunBootImageSequence(0, image.data()), 1u);
    EXPECT_EQ(g_sent.size(), 1u);
    g_sent.clear(), g_script = {state(8, 0), Reply{true, 0, {}, {}}};  // a failed step
    EXPECT_EQ(RunBootImageSequence(0, image.data()), 1u);
    EXPECT_EQ(g_sent.size(), 2u);
    for (std::uint32_t stuck : {8u, 9u}) {  // a state that never comes, in either stage
        g_sent.clear(), g_script = {state(8, 0)}, g_fallback = state(stuck, 0);
        if (stuck == 9) g_script.push_back(state(9, 0));
        EXPECT_EQ(RunBootImageSequence(0, image.data()), 1u);
        EXPECT_EQ(g_sent.size(), 1u + (stuck == 9) + kMaxBootImageStepsPerStage);
        EXPECT_EQ(Block(g_sent.size() - 1)[1], 0x9C);  // no region write
    }
}

// Identification: the lookup rules (device-ID mask, chip word choice and
// mask, first match, no query when the device ID decides), not every row.
TEST_F(Scripted, IdentificationRules) {
    struct Row { std::uint16_t dev; std::uint32_t primary, secondary, model; bool query; };
    const Row rows[] = {
        {0xF3FF, 0, 0, 0xF300, false},       {0xF085, 0, 0, 0xF085, false},
        {0xF0A1, 0x12000, 0, 0xF0A1, true},  {0xF0A1, 0x20000, 0, 0xF700, true},
        {0x1234, 0x12000, 0, 0xFA00, true},  {0x1234, 0xF0021000, 0, 0xF800, true},
        {0x1234, 0xF, 0x20000, 0xF700, true}, {0xF700, 0x21000, 0x20000, 0xF700, true},
        {0x1234, 0x1ACC000, 0, 0x1AE5, true}, {0x1234, 0x99000, 0, 0, true},
        // Every row of the identification table: the chip code with the
        // device IDs it names, and another device ID.
        {0xF095, 0, 0, 0xF095, false},       {0xF0A5, 0x12000, 0, 0xF0A5, true},
        {0x1234, 0x25000, 0, 0xF802, true},  {0x1234, 0x26000, 0, 0xF900, true},
        {0x1234, 0x28000, 0, 0xF900, true},  {0xF098, 0x38000, 0, 0xF098, true},
        {0x1234, 0x38000, 0, 0xF980, true},  {0xF0D1, 0x364000, 0, 0xF0D1, true},
        {0xF0D5, 0x364000, 0, 0xF0D5, true}, {0x1234, 0x364000, 0, 0xFD00, true},
        {0xF0E1, 0x577000, 0, 0xF0E1, true}, {0xF0E5, 0x577000, 0, 0xF0E5, true},
        {0xFE05, 0x577000, 0, 0xFE05, true}, {0x1234, 0x577000, 0, 0xFE00, true},
        {0xF015, 0x1004000, 0, 0xF015, true}, {0xF011, 0x1004000, 0, 0xF011, true},
        {0x1234, 0x1004000, 0, 0xF100, true},
    };
    for (const Row& r : rows) {
        g_sent.clear(), g_BoardTable[0].IdentityWord = static_cast<std::uint32_t>(r.dev) << 16 | 0x10DF;
        g_fallback.words = {{8, r.primary}, {12, r.secondary}};
        EXPECT_EQ(IdentifyAdapterModel(0), r.model) << std::hex << r.dev << " " << r.primary;
        EXPECT_EQ(g_sent.size(), r.query ? 1u : 0u) << std::hex << r.dev;
    }
    EXPECT_EQ(Block(0), fctest::MailboxBlock(0, 0x11, {{4, 0x80000000u}}));
    EXPECT_EQ(LoadLe32(g_sent[0].data() + 28 + 4108), 92u);
    g_fallback.status = 253;  // a failed query is not retried and gives chip code 0
    g_sent.clear();
    EXPECT_EQ(IdentifyAdapterModel(0), 0u);
    EXPECT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(IdentifyAdapterModel(9), 0u);  // empty slot: no request
    EXPECT_EQ(g_sent.size(), 1u);
}

// The kind checks: the exact list first, then the masked one; a model
// without a list accepts every kind (an empty set). Each BIOS check prints
// the model.
TEST_F(Scripted, BootImageKindLookups) {
    // Every model of the published table (an empty set: any kind), and codes
    // that reach a masked row only through the mask: a kind missing from a
    // list leaves a load unable to select that model's image.
    const struct { std::uint16_t code; std::set<int> bios, efi; bool sequence; } models[] = {
        {0xF011, {0x49, 0x4B, 0x4E, 0x4F}, {0x4D, 0x4E, 0x4F}, true},
        {0xF015, {0x29, 0x2B, 0x2E, 0x2F}, {0x2D, 0x2E, 0x2F}, true},
        {0xF085, {0x31, 0x33, 0x36}, {0x35, 0x36}, false},
        {0xF095, {0x51, 0x53, 0x56}, {0x55, 0x56}, false},
        {0xF098, {0x71, 0x73, 0x76, 0x77}, {0x75, 0x76, 0x77}, true},
        {0xF0A1, {0xB1, 0xB3, 0xB6, 0xB7}, {0xB5, 0xB6, 0xB7}, true},
        {0xF0A5, {0x91, 0x93, 0x96, 0x97}, {0x95, 0x96, 0x97}, true},
        {0xF0D1, {}, {0xAD, 0xAE, 0xAF}, false},
        {0xF0D5, {0xD1, 0xD3, 0xD6, 0xD7}, {0xD5, 0xD6, 0xD7}, true},
        {0xF0E1, {}, {0x1D, 0x1E, 0x1F}, false},
        {0xF0E5, {0xF1, 0xF3, 0xF6, 0xF7}, {0xF5, 0xF6, 0xF7}, true},
        {0xFE05, {0x59, 0x5B, 0x5E, 0x5F}, {0x5D, 0x5E, 0x5F}, true},
        {0xF100, {0x79, 0x7B, 0x7E, 0x7F}, {0x7D, 0x7E, 0x7F}, true},
        {0xF103, {0x79, 0x7B, 0x7E, 0x7F}, {0x7D, 0x7E, 0x7F}, true},
        {0xF700, {0x11, 0x13, 0x14, 0x16}, {0x15, 0x16}, false},
        {0xF800, {0x21, 0x23, 0x24, 0x26}, {0x25, 0x26}, false},
        {0xF802, {0x21, 0x23, 0x24, 0x26}, {0x25, 0x26}, false},
        {0xF900, {0x41, 0x43, 0x46}, {0x45, 0x46}, false},
        {0xF980, {0x61, 0x63, 0x66, 0x67}, {0x65, 0x66, 0x67}, true},
        {0xFA00, {0x81, 0x83, 0x86, 0x87}, {0x85, 0x86, 0x87}, true},
        {0xFD00, {0xC1, 0xC3, 0xC6, 0xC7}, {0xC5, 0xC6, 0xC7}, true},
        {0xFE00, {0xE1, 0xE3, 0xE6, 0xE7}, {0xE5, 0xE6, 0xE7}, true},
        {0xF300, {}, {}, false}, {0x1AE5, {}, {}, false}, {0, {}, {}, false},
    };
    for (const auto& m : models) {
        AdapterModel[0] = m.code;
        EXPECT_EQ(NeedsBootImageSequence(0), m.sequence) << std::hex << m.code;
        ::testing::internal::CaptureStdout();
        for (int k = 0; k < 256; ++k) {
            const auto kind = static_cast<std::uint8_t>(k);
            EXPECT_EQ(isValidBootBios(0, kind), m.bios.empty() || m.bios.count(k) ? 0u : 1u) << m.code << " " << k;
            EXPECT_EQ(isValidBootEfi(0, kind), m.efi.empty() || m.efi.count(k) ? 0u : 1u) << m.code << " " << k;
        }
        const std::string out = ::testing::internal::GetCapturedStdout();
        char line[32];
        std::snprintf(line, sizeof line, "isValidBootBios %x\n", static_cast<unsigned>(m.code));
        EXPECT_EQ(out.size(), 256 * std::strlen(line));
        EXPECT_EQ(out.substr(0, std::strlen(line)), line);
    }
    const std::uint8_t list[] = {2, 7, 9};
    EXPECT_EQ(FindInValueList(9, list), 0u);
    EXPECT_EQ(FindInValueList(2, list), 1u);  // the count is not a value
}

}  // namespace
