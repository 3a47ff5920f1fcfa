// PsrRead of a single-stream movie from an in-memory disc: frames and payload bytes per second,
// beside a baseline that only reads the same sectors and copies their user data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "discbuilder/str_movie.h"
#include "discwell/discwell.h"
#include "plugins/str/single_stream_plugin.h"

namespace {

using Selvane = plugins::str::SingleStreamPlugin<plugins::str::Selvane>;

struct Movie {
    uint32_t disc = 0;
    StreamInfo info{};

    Movie() {
        discbuilder::DiscImage image;
        discbuilder::Tone tone(37800, 440, 660);
        discbuilder::MoviePlan plan = discbuilder::selvane_movie();
        plan.frames = 600;
        const auto movie = discbuilder::write_str_movie(image, 0, plan, tone);
        const auto bytes = image.bytes();
        DwOpenMemory(bytes.data(), image.sector_count(), nullptr, 0, &disc);
        info.kind = 0x03;
        info.start_sector = 0;
        info.sector_count = movie.end_lba;
        info.frame_count = plan.frames;
        info.frame_rate = 150;
        info.channels = 2;
        info.sample_rate = 37800;
    }
};

Movie& movie() {
    static Movie m;
    return m;
}

void BM_PsrReadMovie(benchmark::State& state) {
    auto frame = std::make_unique<FrameBuffer>();
    uint64_t frames = 0, bytes = 0;
    for (auto _ : state) {
        StreamHandle* stream = Selvane::open(movie().disc, &movie().info);
        while (Selvane::read(stream, frame.get())) {
            frames += frame->frame_number != 0;
            bytes += frame->payload_size;
        }
        Selvane::close(stream);
    }
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_PsrReadMovie)->Unit(benchmark::kMillisecond);

// Baseline: the same sectors through the same reader, each one's 2048 bytes of user data copied.
void BM_CopyUserData(benchmark::State& state) {
    auto frame = std::make_unique<FrameBuffer>();
    uint64_t bytes = 0;
    for (auto _ : state) {
        SectorReader* reader = CdReadOpen(movie().disc, 0, 0, movie().info.sector_count, -1);
        uint32_t at = 0;
        while (uint8_t* sector = CdReadSector(reader, 0)) {
            if (at + 2048 > kFrameBufferCapacity) at = 0;
            std::memcpy(frame->payload + at, sector + 24, 2048);
            at += 2048;
            bytes += 2048;
            CdUnlockReadBuffer(reader, sector);
        }
        CdReadClose(reader);
        benchmark::DoNotOptimize(frame->payload[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_CopyUserData)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
