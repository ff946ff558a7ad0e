// Shared by the fuzz targets and the fault sweep: the checks every run of the
// utility must pass whatever its input, a private work folder, and the
// utility's standard output kept out of the way and checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "adapter/bytes.h"
#include "emulator/emulator.h"
#include "frontend/frontend.h"

namespace fcfuzz {

// Stops the run so that libFuzzer and the corpus replay both report a crash.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Require(bool condition, const std::string& what) {
    if (!condition) Fail(what);
}

inline bool AllowedExitCode(int code) {
    for (int c : {0, 1, 2, 4, 5, 7, 8, 16, 17, 255})
        if (c == code) return true;
    return false;
}

// The first line of `out` the utility may not print during a file command,
// or "" when every line is its own.
inline std::string ForeignLine(const std::string& out) {
    if (!out.empty() && out.back() != '\n') return "(unterminated output)";
    for (std::size_t at = 0, nl = 0; at < out.size(); at = nl + 1) {
        nl = out.find('\n', at);
        std::string line = out.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool own = false;
        for (const char* prefix : {"isValidBootBios ", "DumpConfigRegion failed!!! status "}) {
            const std::size_t n = std::strlen(prefix);
            own = own || (line.size() > n && line.compare(0, n, prefix) == 0 &&
                          line.find_first_not_of("0123456789abcdef", n) == std::string::npos);
        }
        if (!own) return line.empty() ? "(empty line)" : line;
    }
    return "";
}

// A file of a folder of this process's own, removed at exit.
inline std::string WorkPath(const char* name) {
    static std::string dir;  // constructed before the exit handler is registered
    if (dir.empty()) {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
            const std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                                    ("fcboot-fuzz-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) dir = candidate.string();
        }
        Require(!dir.empty(), "cannot create a work folder");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
    }
    return (std::filesystem::path(dir) / name).string();
}

inline bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = (size == 0 || std::fwrite(data, 1, size, f) == size);
    return std::fclose(f) == 0 && ok;
}

// Runs the utility's main with {"fcboot", args...} from a fresh state, its
// standard output in a file of the work folder (the fuzzer's terminal stays
// quiet), then checks its exit code and every line it printed.
inline void RunUtility(std::vector<std::string> args) {
    static const std::string outPath = WorkPath("stdout.txt");
    args.insert(args.begin(), "fcboot");
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    Require(std::freopen(outPath.c_str(), "w", stdout) != nullptr, "cannot redirect stdout");
    fcboot::ResetUtilityState();
    const int code = fcboot::FcbootMain(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    Require(AllowedExitCode(code), "exit code " + std::to_string(code) + " outside the table");
    std::ifstream in(outPath, std::ios::binary);
    const std::string foreign = ForeignLine(std::string(std::istreambuf_iterator<char>(in), {}));
    Require(foreign.empty(), "foreign output line \"" + foreign + "\"");
}

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

// Stops the server; fails on any protocol violation, leaked handles included.
inline void StopServerAndCheck() {
    fcemu::StopServer();
    const std::vector<std::string> violations = fcemu::Violations();
    if (!violations.empty()) Fail("protocol violation: " + violations.front());
}

}  // namespace fcfuzz
