// The scan loop: every plug-in, each a fresh instance loaded for the scan, fed every sector of an
// in-memory disc, beside a baseline that only touches each sector's subheader. Compare the rates.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "discbuilder/sample_discs.h"
#include "discwell/discwell.h"
#include "host/plugins.h"
#include "host/scan.h"

namespace {

constexpr uint32_t kSectors = 40000;

struct Fixture {
    quorvex::PluginFolder folder;
    std::vector<const quorvex::PluginFile*> pointers;
    uint32_t disc = 0;

    Fixture() {
        std::string error;
        quorvex::find_plugins(std::string(QUORVEX_BUILD_DIR) + "/plugins", folder, error);
        for (const auto& p : folder.plugins) pointers.push_back(&p);
        auto image = discbuilder::build_full_disc(discbuilder::FullDisc::kMovies, kSectors);
        const auto bytes = image.bytes();
        DwOpenMemory(bytes.data(), image.sector_count(), nullptr, 0, &disc);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_ScanAllPlugins(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        quorvex::ScanReport report;
        std::string error;
        quorvex::scan_disc(f.disc, f.pointers, report, error);
        benchmark::DoNotOptimize(report.streams.size());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kSectors);
    state.counters["plugins"] = static_cast<double>(f.pointers.size());
}
BENCHMARK(BM_ScanAllPlugins)->Unit(benchmark::kMillisecond);

// Baseline: the same sectors read through the same scan API, each one's submode byte touched.
void BM_TouchEverySector(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        DwScan* scan = DwScanOpen(f.disc, 0, kSectors);
        const uint8_t* run = nullptr;
        uint32_t n, sum = 0;
        while ((n = DwScanNext(scan, &run)) > 0) {
            for (uint32_t i = 0; i < n; ++i) sum += run[i * 2352 + 18];
        }
        DwScanClose(scan);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kSectors);
}
BENCHMARK(BM_TouchEverySector)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
