#include "support/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <random>
#include <sstream>

#include "adapter/bytes.h"
#include "frontend/frontend.h"
#include "platform/win32.h"

namespace fctest {

namespace {

// Calls `main` with {program, args...}.
int CallMain(int (*main)(int, char**), const char* program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return main(static_cast<int>(args.size()), argv.data());
}

// The files this process holds open, or -1 where the system cannot tell.
// A run that opens a file and never closes it leaves one more behind it;
// the sanitizers and memcheck say nothing of a descriptor.
int OpenFileCount() {
#ifdef __linux__
    std::error_code ec;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec))
        ++count;
    return ec ? -1 : count;
#else
    return -1;
#endif
}

}  // namespace

RunResult RunUtility(const fcemu::Fleet& fleet, const std::vector<std::string>& args,
                     fcemu::ReplyMutator mutator, void* mutatorContext) {
    RunResult r;
    fcboot::ResetUtilityState();
    fcemu::StartServer(fleet);
    if (mutator) fcemu::SetReplyMutator(mutator, mutatorContext);
    const int filesBefore = OpenFileCount();
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    r.exit_code = CallMain(fcboot::FcbootMain, "fcboot", args);
    std::fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    const int filesAfter = OpenFileCount();
    fcemu::StopServer();
    r.fleet_after = fcemu::CurrentFleet();
    r.log = fcemu::RequestLog();
    r.violations = fcemu::Violations();
    if (filesAfter != filesBefore)
        r.violations.push_back("files open before the run " + std::to_string(filesBefore) + ", after it " +
                               std::to_string(filesAfter));
    return r;
}

int EmuMain(std::vector<std::string> args) { return CallMain(fcemu::FcbootEmuMain, "fcboot-emu", args); }

void* OpenDevice(std::uint32_t port) {
    const std::string path = "\\\\.\\Scsi" + std::to_string(port) + ":";
    return fcplat::CreateFileA(path.c_str(), fcplat::GENERIC_READ | fcplat::GENERIC_WRITE,
                               fcplat::FILE_SHARE_READ | fcplat::FILE_SHARE_WRITE, nullptr,
                               fcplat::OPEN_EXISTING, 0, nullptr);
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

std::string NativeText(const std::string& text) {
#ifdef _WIN32
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
#else
    return text;
#endif
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

std::string Section(const std::string& wwid, const std::string& bios, const std::string& select,
                    const std::string& device, const std::string& lun, const std::string& header) {
    return header + "\nWWID=" + wwid + "\nHostAdapterBiosEnable=" + bios + "\nSelectBootEnable=" + select +
           "\nBootDeviceWWID=" + device + "\nBootDeviceLUN[0]=" + lun + "\n\n";
}

std::vector<std::uint8_t> MailboxBlock(std::uint8_t flags, std::uint8_t code,
                                       std::initializer_list<std::pair<int, std::uint32_t>> words) {
    std::vector<std::uint8_t> b(256, 0);
    b[0] = flags;
    b[1] = code;
    for (const auto& w : words) fcboot::StoreLe32(&b[static_cast<std::size_t>(w.first)], w.second);
    return b;
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

unsigned RandomSeed() {
    const char* given = std::getenv("FCBOOT_SEED");
    return given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
}

}  // namespace fctest
