#include "support/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "frontend/frontend.h"

namespace fctest {

RunResult RunUtility(const fcemu::Fleet& fleet, const std::vector<std::string>& args) {
    RunResult r;
    std::vector<std::string> storage;
    storage.push_back("fcboot");
    for (const auto& a : args) storage.push_back(a);
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    fcboot::ResetUtilityState();
    fcemu::StartServer(fleet);
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    r.exit_code = fcboot::FcbootMain(static_cast<int>(storage.size()), argv.data());
    std::fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    fcemu::StopServer();
    r.fleet_after = fcemu::CurrentFleet();
    r.log = fcemu::RequestLog();
    r.violations = fcemu::Violations();
    return r;
}

std::string TempDir() {
    static int counter = 0;
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "fcboot";
    for (char& c : name)
        if (c == '/' || c == '\\') c = '_';
    // A per-process tag keeps two builds running the same test apart.
    static const unsigned tag = std::random_device{}();
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "fcboot-tests" /
                                (name + "_" + std::to_string(tag) + "_" + std::to_string(++counter));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

const char* NativeLineEnd() {
#ifdef _WIN32
    return "\r\n";
#else
    return "\n";
#endif
}

std::string NativeText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += NativeLineEnd();
        else
            out += c;
    }
    return out;
}

std::vector<fcemu::RequestRecord> MailboxCalls(const std::vector<fcemu::RequestRecord>& log,
                                               std::uint32_t code) {
    std::vector<fcemu::RequestRecord> out;
    for (const auto& r : log)
        if (r.mailbox && *r.mailbox == code) out.push_back(r);
    return out;
}

std::vector<fcemu::RequestRecord> ControlCodeCalls(const std::vector<fcemu::RequestRecord>& log,
                                                   std::uint32_t controlCode) {
    std::vector<fcemu::RequestRecord> out;
    for (const auto& r : log)
        if (r.control_code && *r.control_code == controlCode) out.push_back(r);
    return out;
}

std::array<std::uint8_t, 8> Wwn(const char* hex16) {
    std::array<std::uint8_t, 8> w{};
    for (int i = 0; i < 8; ++i) {
        unsigned v = 0;
        std::sscanf(hex16 + 2 * i, "%2x", &v);
        w[i] = static_cast<std::uint8_t>(v);
    }
    return w;
}

}  // namespace fctest
