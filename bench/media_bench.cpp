// A whole movie extracted to a lossless video file: frames per second, and the share of the time
// spent in the plug-in (PsrRead) against decoding and encoding (the counter plugin_share).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "discbuilder/str_movie.h"
#include "discwell/discwell.h"
#include "host/extract.h"
#include "host/media_output.h"
#include "host/plugin_loader.h"

namespace {

struct Setup {
    quorvex::Plugin selvane;
    uint32_t disc = 0;
    StreamInfo info{};

    Setup() {
        std::string error;
        quorvex::load_plugin(std::string(QUORVEX_BUILD_DIR) + "/plugins/selvane.PSR", selvane, error);
        discbuilder::DiscImage image;
        discbuilder::MovieSpec plan = discbuilder::selvane_movie();
        plan.frames = 300;
        plan.real_pictures = true;
        discbuilder::Tone tone(37800, 440, 660);
        const auto movie = discbuilder::write_str_movie(image, 0, plan, tone);
        const auto bytes = image.bytes();
        DwOpenMemory(bytes.data(), image.sector_count(), nullptr, 0, &disc);
        info.kind = 0x03;
        info.sector_count = movie.end_lba;
        info.frame_count = plan.frames;
        info.frame_rate = 150;
        info.channels = 2;
        info.sample_rate = 37800;
    }
};

void BM_ExtractLosslessVideo(benchmark::State& state) {
    static Setup setup;
    const std::string path = (std::filesystem::temp_directory_path() / "quorvex-media-bench.mkv").string();
    double plugin = 0, total = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        quorvex::ExtractRequest request{"bench", &setup.selvane, setup.disc, setup.info, std::nullopt};
        std::string error;
        auto sink = quorvex::make_media_file_sink(request, path, {true}, true, error);
        quorvex::ExtractSummary summary;
        if (!sink || !quorvex::play_stream(request, {sink.get()}, summary, error)) state.SkipWithError(error.c_str());
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        plugin += summary.plugin_seconds;
        frames += summary.frames;
    }
    std::filesystem::remove(path);
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["plugin_share"] = total > 0 ? plugin / total : 0;
}
BENCHMARK(BM_ExtractLosslessVideo)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
