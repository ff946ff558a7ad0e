// Helpers shared by the fuzz targets: a private work folder, the utility's
// standard output kept out of the way and checked, and the checks every run
// of the utility must pass whatever its input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "adapter/bytes.h"
#include "emulator/emulator.h"
#include "frontend/frontend.h"

namespace fcfuzz {

// Stops the run in a way both libFuzzer and the corpus replay report as a
// crash, with the reason on standard error.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Require(bool condition, const std::string& what) {
    if (!condition) Fail(what);
}

inline std::string& WorkDirName() {
    static std::string name;
    return name;
}

inline void RemoveWorkDir() {
    std::error_code ec;
    if (!WorkDirName().empty()) std::filesystem::remove_all(WorkDirName(), ec);
}

// A folder of this process's own, created on first use: one process fuzzes
// at a time in it, so fixed file names inside it are safe.
inline const std::string& WorkDir() {
    static const std::string dir = [] {
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path candidate =
                base / ("fcboot-fuzz-" + std::to_string(random()) + "-" + std::to_string(attempt));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                WorkDirName() = candidate.string();
                std::atexit(RemoveWorkDir);
                return candidate.string();
            }
        }
        Fail("cannot create a work folder");
    }();
    return dir;
}

inline std::string WorkPath(const char* name) {
    return (std::filesystem::path(WorkDir()) / name).string();
}

inline bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = (size == 0 || std::fwrite(data, 1, size, f) == size);
    return std::fclose(f) == 0 && ok;
}

inline bool AllowedExitCode(int code) {
    static const int kCodes[] = {0, 1, 2, 4, 5, 7, 8, 16, 17, 255};
    for (int c : kCodes)
        if (c == code) return true;
    return false;
}

// The only lines the utility may print during a file command.
inline bool OwnOutputLine(const std::string& line) {
    auto hexTail = [&line](std::size_t from) {
        if (from >= line.size()) return false;
        for (std::size_t i = from; i < line.size(); ++i)
            if (std::strchr("0123456789abcdef", line[i]) == nullptr) return false;
        return true;
    };
    static const char kDump[] = "DumpConfigRegion failed!!! status ";
    static const char kBios[] = "isValidBootBios ";
    if (line.compare(0, sizeof kDump - 1, kDump) == 0) return hexTail(sizeof kDump - 1);
    if (line.compare(0, sizeof kBios - 1, kBios) == 0) return hexTail(sizeof kBios - 1);
    return false;
}

// Standard output goes to a file of the work folder, so that what one run
// printed can be read back and checked, and the fuzzer's own terminal stays
// quiet.
class CapturedStdout {
public:
    CapturedStdout() : path_(WorkPath("stdout.txt")) { Reopen(); }

    // Runs the utility's main with {"fcboot", args...}: a fresh utility
    // state, the exit code checked against the table, and every line it
    // printed checked against the utility's own.
    int Run(const std::vector<std::string>& args) {
        std::vector<std::string> storage{"fcboot"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : storage) argv.push_back(&s[0]);
        argv.push_back(nullptr);

        fcboot::ResetUtilityState();
        std::fflush(stdout);
        const long before = std::ftell(stdout);
        const int code = fcboot::FcbootMain(static_cast<int>(storage.size()), argv.data());
        std::fflush(stdout);
        const long after = std::ftell(stdout);
        Require(AllowedExitCode(code), "exit code " + std::to_string(code) + " outside the table");
        if (after > before) CheckLines(before, after);
        if (after > (1L << 20)) Reopen();
        return code;
    }

private:
    void Reopen() {
        if (std::freopen(path_.c_str(), "w", stdout) == nullptr) Fail("cannot redirect stdout");
    }

    void CheckLines(long from, long to) {
        std::FILE* f = std::fopen(path_.c_str(), "rb");
        Require(f != nullptr, "cannot read back stdout");
        std::string text(static_cast<std::size_t>(to - from), '\0');
        const bool ok = std::fseek(f, from, SEEK_SET) == 0 &&
                        std::fread(&text[0], 1, text.size(), f) == text.size();
        std::fclose(f);
        Require(ok, "cannot read back stdout");
        Require(text.back() == '\n', "output ends in the middle of a line");
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            Require(OwnOutputLine(line), "foreign output line \"" + line + "\"");
            start = end + 1;
        }
    }

    std::string path_;
};

// The demo fleet's two adapters (a port-driver one and a miniport one, both
// of models that run the staged boot image sequence) and a third, miniport
// adapter whose model selects an image without it and has nothing selected.
inline fcemu::Fleet ThreeAdapterFleet() {
    fcemu::Fleet fleet = fcemu::DemoFleet();
    fcemu::DeviceConfig c = fcemu::DefaultDevice(4);
    c.driver_name = "tarmp4";
    c.port_wwn = {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    c.vendor_specific_id = 0xF70010DFu;
    c.revision_primary = 0x00020000u;
    c.boot_images = {0x03160001u, 0x02160002u};
    c.region8.fill(0);
    std::memcpy(c.region8.data(), "BIOS", 4);
    fcboot::StoreLe32(c.region8.data() + 4, 0x00000502u);
    c.region10.fill(0);
    std::memcpy(c.region10.data(), "EFIB", 4);
    fleet.devices.push_back(c);
    return fleet;
}

// Stops the server and fails on any protocol violation of the run, leaked
// handles included.
inline void StopServerAndCheck() {
    fcemu::StopServer();
    const std::vector<std::string> violations = fcemu::Violations();
    if (!violations.empty()) Fail("protocol violation: " + violations.front());
}

}  // namespace fcfuzz
