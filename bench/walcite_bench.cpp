// walcite's scanner over four interleaved movies, beside selvane's over as many sectors of a single
// movie: sectors per second of each.
#include <benchmark/benchmark.h>

#include "discbuilder/str_movie.h"
#include "plugins/str/single_stream_plugin.h"
#include "plugins/str/walcite_plugin.h"

namespace {

struct Discs {
    discbuilder::DiscImage interleaved, single;
    uint32_t sectors = 0;

    Discs() {
        std::vector<discbuilder::MoviePlan> plans;
        for (uint8_t c = 0; c < 4; ++c) {
            plans.push_back(discbuilder::walcite_movie(c));
            plans.back().frames = 150;
        }
        for (const auto& m : discbuilder::write_interleaved_movies(interleaved, 0, plans)) sectors = std::max(sectors, m.end_lba);
        discbuilder::Tone tone(37800, 440, 660);
        uint32_t lba = 0;
        while (lba < sectors) {
            discbuilder::MoviePlan plan = discbuilder::selvane_movie();
            plan.frames = 150;
            lba = discbuilder::write_str_movie(single, lba, plan, tone).end_lba;
        }
        single.resize(sectors);
    }
};

Discs& discs() {
    static Discs d;
    return d;
}

template <class Plugin>
void scan(benchmark::State& state, discbuilder::DiscImage& image) {
    const auto bytes = image.bytes();
    const uint32_t sectors = discs().sectors;
    TrackEntry track{};
    track.bytes[1] = 0x04;
    for (auto _ : state) {
        ScanContext* c = Plugin::scan_begin(1, &track);
        for (uint32_t lba = 0; lba < sectors; ++lba) Plugin::scan_sector(c, track, lba, bytes.data() + size_t{lba} * 2352);
        Plugin::scan_sector(c, track, sectors, nullptr);
        benchmark::DoNotOptimize(Plugin::scan_result(c, 0, nullptr));
        Plugin::scan_end(c);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * sectors);
}

void BM_WalciteFourInterleaved(benchmark::State& state) { scan<plugins::str::WalcitePlugin>(state, discs().interleaved); }
void BM_SelvaneSingleMovie(benchmark::State& state) {
    scan<plugins::str::SingleStreamPlugin<plugins::str::Selvane>>(state, discs().single);
}
BENCHMARK(BM_WalciteFourInterleaved)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SelvaneSingleMovie)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
