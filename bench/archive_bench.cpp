// PsrDecodeAudio of both archive plug-ins: decoded samples per second, and how many times faster
// than real time at 22050 Hz that is (the counter real_time_factor).
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "plugins/archive/archive_plugin.h"

namespace {

using namespace plugins::archive;

template <class Game>
void BM_DecodeAudio(benchmark::State& state) {
    auto frame = std::make_unique<FrameBuffer>();
    std::mt19937 random(3);
    frame->payload_size = 2048;
    for (uint32_t i = 0; i < 2048; ++i) frame->payload[i] = static_cast<uint8_t>(random());
    for (uint32_t g = 0; g < 128; ++g) frame->payload[16 * g + 1] = 0;  // no end marker
    std::vector<int16_t> pcm(3584);
    uint64_t samples = 0;
    for (auto _ : state) {
        const uint32_t bytes = ArchivePlugin<Game>::decode_audio(frame.get(), pcm.data(), 7168);
        samples += bytes / 2;
        benchmark::DoNotOptimize(pcm.data());
    }
    state.counters["samples_per_second"] = benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
    // Samples of all channels per second of sound: 44100 in stereo, 22050 in mono.
    const double per_second = 22050.0 * Game::kChannels;
    state.counters["real_time_factor"] =
        benchmark::Counter(static_cast<double>(samples) / per_second, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeAudio<NimbrelMusic>);
BENCHMARK(BM_DecodeAudio<NimbrelVoice>);

}  // namespace

BENCHMARK_MAIN();
