// Command dispatch, exit codes and the version line; framing bytes of every
// control code; the trace's hex dump; the adapter table's life cycle.
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
#include "support/harness.h"

namespace {

using fcboot::FcbootMain;

int RunMain(std::vector<std::string> args, std::string* out) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    fcboot::ResetUtilityState();
    testing::internal::CaptureStdout();
    int code = FcbootMain(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    return code;
}

TEST(Dispatch, VersionLineAndWrongUse) {
    std::string out;
    EXPECT_EQ(RunMain({"fcboot", "/v"}, &out), 0);
    // Captured output reads back in text mode: "\n" on every platform.
    EXPECT_EQ(out, "1.0.a3, dated 03-18-09\n");

    const std::vector<std::vector<std::string>> wrong = {
        {"fcboot"},           {"fcboot", "/v", "x"}, {"fcboot", "/S", "x"}, {"fcboot", "/V"},
        {"fcboot", "/p", "x"}, {"fcboot", "/s"},      {"fcboot", "/s", "a", "b"},
        {"fcboot", "/sx", "f"}, {"fcboot", "s", "f"}, {"fcboot", "/LE", "f"}};
    for (const auto& args : wrong) {
        EXPECT_EQ(RunMain(args, &out), 1) << args.size();
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(FcbootMain(0, nullptr), 1);
}

TEST(Dispatch, FileCommandsWithoutAdaptersEndWithFiveAndCreateNoFile) {
    fcemu::Fleet empty;
    std::string dir = fctest::TempDir();
    for (const char* option : {"/s", "/se", "/l", "/le"}) {
        std::string file = dir + "/boot.cfg";
        auto r = fctest::RunUtility(empty, {option, file});
        EXPECT_EQ(r.exit_code, 5) << option;
        EXPECT_FALSE(fctest::FileExists(file)) << option;
        EXPECT_EQ(r.out, "");
        // Every one of the 256 port devices is tried.
        EXPECT_EQ(r.log.size(), 256u);
    }
}

TEST(Framing, EveryControlCodeIsFramedAsTheDriverExpects) {
    struct Row {
        std::uint32_t code;
        std::uint32_t size;
        const char sig[9];
        std::uint32_t timeout;
    };
    const Row rows[] = {
        {0x80010100u, 5840, "KX6000\0\0", 30}, {0x80010106u, 5840, "KX6000\0\0", 20},
        {0x8001013Bu, 5840, "KX6000 \0", 30},  {0x80010203u, 2224, "HBAAPI\0\0", 30},
        {0x80010204u, 668, "HBAAPI\0\0", 30},  {0x80010204u, 664, "HBAAPI\0\0", 30},
        {0x80010213u, 28, "HBAAPI\0\0", 30},
    };
    for (const Row& row : rows) {
        std::vector<std::uint8_t> buf(row.size, 0xAA);
        fcboot::FrameMiniportRequest(buf.data(), row.size, row.code);
        EXPECT_EQ(fcboot::LoadLe32(&buf[0]), 28u);
        EXPECT_EQ(std::memcmp(&buf[4], row.sig, 8), 0) << std::hex << row.code;
        EXPECT_EQ(fcboot::LoadLe32(&buf[12]), row.timeout);
        EXPECT_EQ(fcboot::LoadLe32(&buf[16]), row.code);
        EXPECT_EQ(fcboot::LoadLe32(&buf[20]), 0u);
        EXPECT_EQ(fcboot::LoadLe32(&buf[24]), row.size - 28);
        for (std::uint32_t i = 28; i < row.size; ++i) ASSERT_EQ(buf[i], 0) << i;
    }
}

TEST(Framing, TraceHexDumpPrintsTwentyBytesALine) {
    std::uint8_t bytes[40];
    for (int i = 0; i < 40; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    testing::internal::CaptureStdout();
    fcboot::TraceHexDump(bytes, 40, "Title");
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected = "Title:\n";
    for (int i = 0; i < 40; ++i) {
        char b[8];
        std::snprintf(b, sizeof(b), "%02x ", bytes[i]);
        expected += b;
        if ((i + 1) % 20 == 0) expected += "\n";
    }
    expected += "\n";
    EXPECT_EQ(out, expected);

    testing::internal::CaptureStdout();
    fcboot::TraceHexDump(bytes, 3, nullptr);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "00 07 0e \n");
}

// A device table that counts closes per handle value.
struct CloseCounter {
    std::vector<fcplat::HANDLE> closed;
};

fcplat::HANDLE NoOpen(void*, fcplat::LPCSTR, fcplat::DWORD, fcplat::DWORD, fcplat::DWORD,
                      fcplat::DWORD, fcplat::DWORD* error) {
    *error = 2;
    return INVALID_HANDLE_VALUE;
}
fcplat::BOOL NoIoctl(void*, fcplat::HANDLE, fcplat::DWORD, fcplat::LPVOID, fcplat::DWORD,
                     fcplat::LPVOID, fcplat::DWORD, fcplat::LPDWORD, fcplat::LPOVERLAPPED,
                     fcplat::DWORD* error) {
    *error = 1;
    return 0;
}
fcplat::BOOL CountClose(void* context, fcplat::HANDLE h, fcplat::DWORD*) {
    static_cast<CloseCounter*>(context)->closed.push_back(h);
    return 1;
}

TEST(AdapterTable, CloseDiagEnvClosesEveryHandleOnceAndEmptiesEverySlot) {
    fcboot::ResetUtilityState();
    CloseCounter counter;
    fcplat::EmulatedDevices table{NoOpen, NoIoctl, CountClose, &counter};
    fcplat::InstallEmulatedDevices(&table);
    for (std::uint32_t n = 0; n < 3; ++n) {
        fcboot::g_Adapters[n] = fcboot::NewAdapterRecord();
        fcboot::g_Adapters[n]->m_hDevice = reinterpret_cast<fcplat::HANDLE>(0x100 + n);
    }
    fcboot::m_NumAdapters = 3;
    EXPECT_EQ(fcboot::CloseDiagEnv(), 0u);
    fcplat::InstallEmulatedDevices(nullptr);
    ASSERT_EQ(counter.closed.size(), 3u);
    for (std::uint32_t n = 0; n < 3; ++n) {
        EXPECT_EQ(counter.closed[n], reinterpret_cast<fcplat::HANDLE>(0x100 + n));
        EXPECT_EQ(fcboot::AdapterAt(n), nullptr);
    }
    EXPECT_EQ(fcboot::m_NumAdapters, 3u);
}

TEST(AdapterTable, OperationsOnAnEmptySlotFailWithoutARequest) {
    fcboot::ResetUtilityState();
    std::uint8_t block[256] = {};
    std::uint8_t ext[256] = {};
    std::uint8_t attributes[2192] = {};
    std::uint8_t port[632] = {};
    std::uint8_t wwn[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(fcboot::IssueMbox(0, block, 32, 32), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::IssueMboxExt(5, block, ext, 5, 64, 0), 0xFFFFFFFFu);
    EXPECT_EQ(fcboot::GetAdapterAttributes(0, attributes), 1u);
    EXPECT_EQ(fcboot::GetAdapterPortAttributes(300, 0, port), 1u);
    EXPECT_EQ(fcboot::RefreshInformation(0), 1u);
    EXPECT_EQ(fcboot::GetAdapterPortWWN(0, wwn), 255u);
    for (std::uint8_t b : wwn) EXPECT_EQ(b, 0);
    EXPECT_EQ(fcboot::IdentifyAdapterModel(0), 0u);
}

}  // namespace
