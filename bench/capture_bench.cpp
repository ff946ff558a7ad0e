// Capture benchmark: the capture of emulated servers of 1, 16 and 256
// adapters, each with the driver's largest node list (52428 entries, 2 MiB),
// written to a fleet file, the way fcboot-emu --capture runs it. Reports the
// requests per adapter, wall and CPU time (the process's: emulator,
// capture and the file together), the file's size and the time to read the
// file back.
//
//   capture_bench           the full run
//   capture_bench --quick   1 and 16 adapters (smoke run)
//
// Exit code: 0 when every capture succeeded and, in the full run, the
// target is met; 1 when a capture failed or broke the protocol; 2 when the
// full run misses the target.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_args.h"
#include "adapter/nodelist_layout.h"
#include "capture/capture.h"
#include "emulator/emulator.h"

namespace {

double CpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double WallMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

fcemu::Fleet BenchFleet(std::uint32_t adapters) {
    const std::uint32_t entries = fcboot::kNodeListMaxSize / fcboot::kNodeEntrySize;
    fcemu::Fleet fleet;
    for (std::uint32_t i = 0; i < adapters; ++i) {
        fcemu::DeviceConfig d = fcemu::DefaultDevice(i);
        std::vector<fcemu::NodeEntry> nodes(entries);
        for (std::uint32_t j = 0; j < entries; ++j) {
            nodes[j].wwn = {0x50,
                            0x00,
                            static_cast<std::uint8_t>(i >> 8),
                            static_cast<std::uint8_t>(i),
                            0x00,
                            static_cast<std::uint8_t>(j >> 16),
                            static_cast<std::uint8_t>(j >> 8),
                            static_cast<std::uint8_t>(j)};
            nodes[j].fcid = 0x010000u + j;
        }
        d.node_list = std::move(nodes);
        fleet.devices.push_back(std::move(d));
    }
    return fleet;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    if (!fcbench::ParseQuick(argc, argv, "capture_bench", &quick)) return 1;
    const std::filesystem::path dir = fcbench::ScratchDir("capture-bench");
    const std::string path = (dir / "twin.json").string();
    std::FILE* err = std::fopen((dir / "errors.txt").string().c_str(), "w");

    bool failed = false;
    double cpu256 = 0;
    std::printf(
        "| adapters | requests per adapter | wall ms | CPU ms | file MiB | read back ms |\n");
    std::printf("|--:|--:|--:|--:|--:|--:|\n");
    for (std::uint32_t n :
         quick ? std::vector<std::uint32_t>{1, 16} : std::vector<std::uint32_t>{1, 16, 256}) {
        const fcemu::Fleet fleet = BenchFleet(n);
        fcemu::StartServer(fleet);
        const double wall0 = WallMs(), cpu0 = CpuMs();
        const int code = fccapture::RunCapture(path, err, "capture_bench");
        const double cpu = CpuMs() - cpu0, wall = WallMs() - wall0;
        fcemu::StopServer();
        // The ports without a device are opened once each, whatever the fleet.
        const double perAdapter =
            static_cast<double>(fcemu::RequestLog().size() - (256 - n)) / static_cast<double>(n);
        const bool ok = code == fccapture::kCaptureOk && fcemu::Violations().empty();
        failed = failed || !ok;

        const double read0 = CpuMs();
        fcemu::Fleet twin;
        std::string error;
        const bool read =
            fcemu::LoadFleetFile(path, &twin, &error) && twin.devices.size() == n &&
            twin.devices.back().node_list->size() == fleet.devices.back().node_list->size() &&
            twin.devices.back().node_list->back().fcid ==
                fleet.devices.back().node_list->back().fcid;
        failed = failed || !read;
        std::printf("| %u | %.0f | %.0f | %.0f | %.1f | %.0f |%s\n", n, perAdapter, wall, cpu,
                    static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0),
                    CpuMs() - read0, ok && read ? "" : " FAILED");
        if (n == 256) cpu256 = cpu;
        std::filesystem::remove(path);
    }
    std::fclose(err);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);

    bool met = true;
    if (!quick) {
        met = cpu256 < 1000.0;
        std::printf("\n- capture of 256 adapters with 2 MiB node lists < 1 s CPU: %.0f ms: %s\n",
                    cpu256, met ? "met" : "MISSED");
    }
    if (failed) return 1;
    return met ? 0 : 2;
}
