// Micro-benchmarks of the utility's own work: the configuration line and
// value parsers, request framing, and the boot region writes (region image
// building, the adapter search and the mailbox request) through an
// emulated adapter.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/srb.h"
#include "bootcfg/bootcfg.h"
#include "emulator/emulator.h"
#include "frontend/frontend.h"

namespace {

// ParseConfigLine cuts its line in place, so each round works on a copy.
void BM_ParseConfigLine(benchmark::State& state, const char* text) {
    char line[fcboot::kMaxLinePiece + 1];
    const std::size_t length = std::strlen(text) + 1;
    for (auto _ : state) {
        std::memcpy(line, text, length);
        char* keyword = nullptr;
        char* value = nullptr;
        benchmark::DoNotOptimize(fcboot::ParseConfigLine(line, &keyword, &value));
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(length - 1));
}
BENCHMARK_CAPTURE(BM_ParseConfigLine, header, "[HBA12]\n");
BENCHMARK_CAPTURE(BM_ParseConfigLine, wwid, "WWID=1000000000000001\n");
BENCHMARK_CAPTURE(BM_ParseConfigLine, lun_last_keyword, "BootDeviceLUN[0]=17\n");
BENCHMARK_CAPTURE(BM_ParseConfigLine, unknown_keyword, "  SomethingElse = 1 ; note\n");
BENCHMARK_CAPTURE(BM_ParseConfigLine, blank, "\n");

// The reader's test of every line outside a section.
void BM_IsHbaSectionHeader(benchmark::State& state, const char* text) {
    char line[fcboot::kMaxLinePiece + 1];
    const std::size_t length = std::strlen(text) + 1;
    for (auto _ : state) {
        std::memcpy(line, text, length);
        benchmark::DoNotOptimize(fcboot::IsHbaSectionHeader(line));
    }
}
BENCHMARK_CAPTURE(BM_IsHbaSectionHeader, header, "[HBA3]\n");
BENCHMARK_CAPTURE(BM_IsHbaSectionHeader, key_line, "BootDeviceWWID=500000000000a001\n");

void BM_ParseWWN(benchmark::State& state, const char* text) {
    std::uint8_t wwn[8];
    for (auto _ : state) {
        benchmark::DoNotOptimize(fcboot::ParseWWN(text, wwn));
        benchmark::DoNotOptimize(wwn);
    }
}
BENCHMARK_CAPTURE(BM_ParseWWN, full, "500000000000a001");
BENCHMARK_CAPTURE(BM_ParseWWN, short_name, "a001");
BENCHMARK_CAPTURE(BM_ParseWWN, rejected, "50000000zz00a001");

void BM_ParseDecimal(benchmark::State& state, const char* text) {
    std::uint32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fcboot::ParseDecimal(text, &value));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK_CAPTURE(BM_ParseDecimal, flag, "1");
BENCHMARK_CAPTURE(BM_ParseDecimal, lun, "255");
BENCHMARK_CAPTURE(BM_ParseDecimal, too_long, "123456");

void BM_FrameMiniportRequest(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t code = static_cast<std::uint32_t>(state.range(1));
    std::vector<std::uint8_t> request(size);
    for (auto _ : state) {
        fcboot::FrameMiniportRequest(request.data(), size, code);
        benchmark::DoNotOptimize(request.data());
    }
}
BENCHMARK(BM_FrameMiniportRequest)
    ->ArgNames({"size", "code"})
    ->Args({fcboot::kKxRequestSize, fcboot::ISSUE_MBOX})
    ->Args({fcboot::kAdapterAttributesRequestSize, fcboot::GET_ADAPTER_ATTRIBUTES})
    ->Args({fcboot::kPortAttributesRequestSizeMiniport, fcboot::GET_ADAPTER_PORT_ATTRIBUTES})
    ->Args({fcboot::kRefreshRequestSize, fcboot::REFRESH_INFORMATION});

// ---------------------------------------------------------------------------
// Through an emulated adapter. The server logs every request, so it is
// started afresh every so many rounds (outside the timing) to keep the log
// from growing without bound.

constexpr std::int64_t kRoundsPerServer = 20000;

struct OneAdapter {
    fcemu::Fleet fleet;
    explicit OneAdapter(std::uint32_t nodes) {
        fcemu::DeviceConfig d = fcemu::DefaultDevice(0);
        std::vector<fcemu::NodeEntry> list(nodes);
        for (std::uint32_t j = 0; j < nodes; ++j) {
            list[j].wwn = {0x50, 0, 0, 0, 0, static_cast<std::uint8_t>(j >> 16),
                           static_cast<std::uint8_t>(j >> 8), static_cast<std::uint8_t>(j)};
            list[j].fcid = 0x010000u + j;
        }
        d.node_list = std::move(list);
        fleet.devices.push_back(d);
    }
    void Start() {
        fcboot::ResetUtilityState();
        fcemu::StartServer(fleet);
        fcboot::OpenAdapters();
    }
    void Stop() {
        fcboot::CloseAdapters();
        fcemu::StopServer();
    }
};

fcboot::BootParams ParamsOf(const fcemu::Fleet& fleet) {
    fcboot::BootParams p{};
    std::memcpy(p.WWID, fleet.devices[0].port_wwn.data(), 8);
    const std::uint8_t device[8] = {0x50, 0, 0, 0, 0, 0, 0xA0, 0x01};
    std::memcpy(p.BootDeviceWWID, device, 8);
    p.BootDeviceLUN = 3;
    p.HostAdapterBiosEnable = 1;
    p.SelectBootEnable = 1;
    return p;
}

void BM_WriteBootParams(benchmark::State& state) {
    const bool efib = state.range(0) != 0;
    OneAdapter server(0);
    server.Start();
    const fcboot::BootParams p = ParamsOf(server.fleet);
    std::int64_t rounds = 0;
    for (auto _ : state) {
        const std::uint32_t status =
            efib ? fcboot::WriteBootParamsEfib(&p) : fcboot::WriteBootParamsBios(&p);
        if (status != 0) {
            state.SkipWithError("the region write failed");
            break;
        }
        if (++rounds % kRoundsPerServer == 0) {
            state.PauseTiming();
            server.Stop();
            server.Start();
            state.ResumeTiming();
        }
    }
    server.Stop();
}
BENCHMARK(BM_WriteBootParams)->ArgName("efib")->Arg(0)->Arg(1);

// A node list read over a list already held: the driver's reply and the
// carry-over of the host bytes, up to the driver's largest list.
void BM_ReadNodeListAgain(benchmark::State& state) {
    OneAdapter server(static_cast<std::uint32_t>(state.range(0)));
    server.Start();
    std::int64_t rounds = 0;
    for (auto _ : state) {
        fcboot::ReadNodeList(fcboot::AdapterAt(0));
        if (++rounds % kRoundsPerServer == 0) {
            state.PauseTiming();
            server.Stop();
            server.Start();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    server.Stop();
}
BENCHMARK(BM_ReadNodeListAgain)->ArgName("entries")->Arg(200)->Arg(52428)->Unit(benchmark::kMicrosecond);

}  // namespace
