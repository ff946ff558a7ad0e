// Check benchmark: fcboot-check on emulated servers of 1, 16 and 256
// adapters, each set to boot in both variants from the device that is the
// last of its node list, which is the driver's largest (52428 entries,
// 2 MiB), so that every node is compared; an --expect file names every
// adapter, and every adapter is ready.
// Reports the CPU time of the judgement alone, of the whole live check
// (the read-only requests answered by the emulator, the judgement, the
// report) and of the whole check of the fleet file (reading it included).
//
//   check_bench           the full run
//   check_bench --quick   1 and 16 adapters (smoke run)
//
// Exit code: 0 when every check gave the expected verdict and, in the full
// run, the target is met (256 adapters judged, and checked live, in under
// 1 s of CPU each); 1 when a verdict was wrong; 2 when the full run
// misses the target.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_args.h"
#include "adapter/bytes.h"
#include "adapter/nodelist_layout.h"
#include "check/check.h"
#include "emulator/emulator.h"

namespace {

double CpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Every adapter like the demo's first (model 0xF0A5, its image selected and
// activated, BIOS and EFIB enabled), its boot device the last port it sees:
// ready, after a search of the whole list.
fcemu::Fleet BenchFleet(std::uint32_t adapters, std::string* expect) {
    const fcemu::DeviceConfig demo = fcemu::DemoFleet().devices[0];
    const std::uint32_t entries = fcboot::kNodeListMaxSize / fcboot::kNodeEntrySize;
    fcemu::Fleet fleet;
    for (std::uint32_t i = 0; i < adapters; ++i) {
        fcemu::DeviceConfig d = demo;
        d.port = i;
        d.port_wwn[6] = static_cast<std::uint8_t>(i >> 8);
        d.port_wwn[7] = static_cast<std::uint8_t>(i);
        std::vector<fcemu::NodeEntry> nodes(entries);
        for (std::uint32_t j = 0; j < entries; ++j) {
            nodes[j].wwn = {0x52, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(j >> 16),
                            static_cast<std::uint8_t>(j >> 8), static_cast<std::uint8_t>(j)};
            nodes[j].fcid = 0x010000u + j;
        }
        nodes.back().wwn = {0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x01};
        d.node_list = std::move(nodes);
        fleet.devices.push_back(std::move(d));
        *expect += "[HBA" + std::to_string(i) + "]\nWWID=" +
                   fcfleet::HexBytes(fleet.devices.back().port_wwn.data(), 8) +
                   "\nHostAdapterBiosEnable=1\nSelectBootEnable=1\nBootDeviceWWID=500000000000a001"
                   "\nBootDeviceLUN[0]=0\n\n";
    }
    return fleet;
}

int Run(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"fcboot-check"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::string out, err;
    return fccheck::CheckMain(static_cast<int>(argv.size()), argv.data(), &out, &err);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    if (!fcbench::ParseQuick(argc, argv, "check_bench", &quick)) return 1;
    const std::filesystem::path dir = fcbench::ScratchDir("check-bench");
    const std::string fleetPath = (dir / "twin.json").string();
    const std::string expectPath = (dir / "expect.cfg").string();

    bool failed = false;
    double judge256 = 0, live256 = 0;
    std::printf("| adapters | judgement CPU ms | live check CPU ms | fleet file check CPU ms |\n");
    std::printf("|--:|--:|--:|--:|\n");
    for (std::uint32_t n :
         quick ? std::vector<std::uint32_t>{1, 16} : std::vector<std::uint32_t>{1, 16, 256}) {
        std::string expect;
        const fcemu::Fleet fleet = BenchFleet(n, &expect);
        std::FILE* f = std::fopen(expectPath.c_str(), "wb");
        std::fwrite(expect.data(), 1, expect.size(), f);
        std::fclose(f);
        std::string error;
        fccheck::Expectation expectation;
        const bool prepared = fccheck::ReadExpectation(expectPath, false, &expectation, &error) &&
                              fcemu::SaveFleetFile(fleetPath, fleet, &error);
        failed = failed || !prepared;

        double cpu0 = CpuMs();
        const fccheck::Verdict verdict = fccheck::Judge(fleet, {expectation});
        const double judge = CpuMs() - cpu0;
        failed = failed || verdict.state != fccheck::State::Ok || verdict.ready != n;

        fcemu::StartServer(fleet);
        cpu0 = CpuMs();
        const int live = Run({"--expect", expectPath});
        const double liveCpu = CpuMs() - cpu0;
        fcemu::StopServer();

        cpu0 = CpuMs();
        const int fromFile = Run({"--fleet", fleetPath, "--expect", expectPath});
        const double fileCpu = CpuMs() - cpu0;
        const bool ok = prepared && live == 0 && fromFile == 0 && fcemu::Violations().empty();
        failed = failed || !ok;
        const std::string wrong = " FAILED: exit codes " + std::to_string(live) + " and " +
                                  std::to_string(fromFile) + ", expected 0 " + error;
        std::printf("| %u | %.1f | %.0f | %.0f |%s\n", n, judge, liveCpu, fileCpu,
                    ok ? "" : wrong.c_str());
        if (n == 256) {
            judge256 = judge;
            live256 = liveCpu;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);

    bool met = true;
    if (!quick) {
        // What runs on the server is the live check: the requests, the
        // judgement and the report together.
        met = judge256 < 1000.0 && live256 < 1000.0;
        std::printf("\n- 256 adapters with 2 MiB node lists judged < 1 s CPU, live check included: "
                    "%.0f ms and %.0f ms: %s\n",
                    judge256, live256, met ? "met" : "MISSED");
    }
    if (failed) return 1;
    return met ? 0 : 2;
}
