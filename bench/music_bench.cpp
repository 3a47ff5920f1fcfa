// The XA music plug-ins: each scanner over a disc of interleaved music (sectors per second), and
// PsrRead of one song (payload bytes per second) beside a baseline that only reads the same
// sectors and copies their audio data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "discbuilder/xa_music.h"
#include "discwell/discwell.h"
#include "plugins/xa/xa_plugin.h"

namespace {

using namespace plugins::xa;

struct Music {
    discbuilder::DiscImage image;
    discbuilder::WrittenRun run;
    uint32_t disc = 0;

    Music() {
        run = discbuilder::write_music_run(image, 0, discbuilder::MusicLayout::kOstrand,
                                           {{600}, {600}, {600}, {600}, {600}, {600}, {600}, {600}});
        const auto bytes = image.bytes();
        DwOpenMemory(bytes.data(), image.sector_count(), nullptr, 0, &disc);
    }
};

Music& music() {
    static Music m;
    return m;
}

template <class Game>
void BM_Scan(benchmark::State& state) {
    const auto bytes = music().image.bytes();
    const uint32_t sectors = music().image.sector_count();
    TrackEntry track{};
    track.bytes[1] = 0x04;
    for (auto _ : state) {
        ScanContext* c = XaPlugin<Game>::scan_begin(1, &track);
        for (uint32_t lba = 0; lba < sectors; ++lba) XaPlugin<Game>::scan_sector(c, track, lba, bytes.data() + size_t{lba} * 2352);
        XaPlugin<Game>::scan_sector(c, track, sectors, nullptr);
        benchmark::DoNotOptimize(XaPlugin<Game>::scan_result(c, 0, nullptr));
        XaPlugin<Game>::scan_end(c);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * sectors);
}
BENCHMARK(BM_Scan<Ostrand>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scan<Drumvale>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scan<Velocet>)->Unit(benchmark::kMicrosecond);

// Touching each sector's class word only: the floor under any scanner.
void BM_ScanBaseline(benchmark::State& state) {
    const auto bytes = music().image.bytes();
    const uint32_t sectors = music().image.sector_count();
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t lba = 0; lba < sectors; ++lba) sum += bytes[size_t{lba} * 2352 + 18];
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * sectors);
}
BENCHMARK(BM_ScanBaseline)->Unit(benchmark::kMicrosecond);

void BM_PsrReadSong(benchmark::State& state) {
    StreamInfo info{};
    info.kind = 0x02;
    info.start_sector = 0;
    info.sector_count = music().run.end_lba;
    info.channels = 2;
    info.sample_rate = 37800;
    auto frame = std::make_unique<FrameBuffer>();
    uint64_t bytes = 0;
    for (auto _ : state) {
        StreamHandle* s = XaPlugin<Ostrand>::open(music().disc, &info);
        while (XaPlugin<Ostrand>::read(s, frame.get())) bytes += frame->payload_size;
        XaPlugin<Ostrand>::close(s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_PsrReadSong)->Unit(benchmark::kMicrosecond);

// The same sectors read, and the audio of channel 0's copied.
void BM_CopySongAudio(benchmark::State& state) {
    auto frame = std::make_unique<FrameBuffer>();
    uint64_t bytes = 0;
    for (auto _ : state) {
        SectorReader* r = CdReadOpen(music().disc, 0, 0, music().run.end_lba, -1);
        while (uint8_t* s = CdReadSector(r, 0)) {
            if (s[17] == 0 && s[18] == 0x64) {
                std::memcpy(frame->payload, s + 24, 2304);
                bytes += 2304;
            }
            CdUnlockReadBuffer(r, s);
        }
        CdReadClose(r);
        benchmark::DoNotOptimize(frame->payload[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_CopySongAudio)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
