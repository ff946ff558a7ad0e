// Wrong use of the command line; framing bytes of every control code; the
// trace's hex dump; the adapter table's life cycle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/srb.h"
#include "bootcfg/bootcfg.h"
#include "frontend/frontend.h"
#include "platform/emulated_backend.h"

namespace {

std::string CaptureOutput(void (*print)()) {
    testing::internal::CaptureStdout();
    print();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Dispatch, OptionsTakeExactlyOneSlashAndLowerCase) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"fcboot", "/sx", "f"}, {"fcboot", "s", "f"}, {"fcboot", "/LE", "f"}}) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        fcboot::ResetUtilityState();
        testing::internal::CaptureStdout();
        EXPECT_EQ(fcboot::FcbootMain(3, argv.data()), 1) << args[1];
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_EQ(fcboot::FcbootMain(0, nullptr), 1);
}

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

TEST(Framing, TraceHexDumpPrintsTwentyBytesALine) {
    EXPECT_EQ(CaptureOutput([] {
                  std::uint8_t bytes[40];
                  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
                  fcboot::TraceHexDump(bytes, 40, "Title");
              }),
              "Title:\n"
              "00 07 0e 15 1c 23 2a 31 38 3f 46 4d 54 5b 62 69 70 77 7e 85 \n"
              "8c 93 9a a1 a8 af b6 bd c4 cb d2 d9 e0 e7 ee f5 fc 03 0a 11 \n\n");
    EXPECT_EQ(CaptureOutput([] {
                  const std::uint8_t bytes[] = {0, 7, 14};
                  fcboot::TraceHexDump(bytes, 3, nullptr);
              }),
              "00 07 0e \n");
}

// Records every handle closed.
fcplat::BOOL CountClose(void* context, fcplat::HANDLE h, fcplat::DWORD*) {
    static_cast<std::vector<fcplat::HANDLE>*>(context)->push_back(h);
    return 1;
}

TEST(AdapterTable, CloseDiagEnvClosesEveryHandleOnceAndEmptiesEverySlot) {
    fcboot::ResetUtilityState();
    std::vector<fcplat::HANDLE> closed;
    fcplat::EmulatedDevices table{nullptr, nullptr, CountClose, &closed};
    fcplat::InstallEmulatedDevices(&table);
    for (std::uint32_t n = 0; n < 3; ++n) {
        fcboot::g_Adapters[n] = fcboot::NewAdapterRecord();
        fcboot::g_Adapters[n]->m_hDevice = reinterpret_cast<fcplat::HANDLE>(0x100 + n);
    }
    fcboot::m_NumAdapters = 3;
    EXPECT_EQ(fcboot::CloseDiagEnv(), 0u);
    fcplat::InstallEmulatedDevices(nullptr);
    ASSERT_EQ(closed.size(), 3u);
    for (std::uint32_t n = 0; n < 3; ++n) {
        EXPECT_EQ(closed[n], reinterpret_cast<fcplat::HANDLE>(0x100 + n));
        EXPECT_EQ(fcboot::AdapterAt(n), nullptr);
    }
    EXPECT_EQ(fcboot::m_NumAdapters, 3u);
}

TEST(AdapterTable, OperationsOnAnEmptySlotFailWithoutARequest) {
    fcboot::ResetUtilityState();
    std::uint8_t block[256] = {}, ext[256] = {}, attributes[2192] = {}, port[632] = {};
    std::uint8_t wwn[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(fcboot::IssueMbox(0, block, 32, 32), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::IssueMboxExt(5, block, ext, 5, 64, 0), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::GetAdapterAttributes(0, attributes), 1u);
    EXPECT_EQ(fcboot::GetAdapterPortAttributes(300, 0, port), 1u);
    EXPECT_EQ(fcboot::RefreshInformation(0), 1u);
    EXPECT_EQ(fcboot::GetAdapterPortWWN(0, wwn), 255u);
    for (std::uint8_t b : wwn) EXPECT_EQ(b, 0);
}

}  // namespace
