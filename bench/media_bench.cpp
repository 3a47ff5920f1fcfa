// A whole movie extracted to a lossless video file: frames per second, and the share of the time
// spent in the plug-in (PsrRead) against decoding and encoding (the counter plugin_share).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "discbuilder/str_movie.h"
#include "discwell/discwell.h"
#include "host/plugins.h"
#include "host/scan.h"
#include "host/stream_writer.h"

namespace {

struct Setup {
    quorvex::PluginFolder folder;
    uint32_t disc = 0;
    quorvex::FoundStream stream;

    Setup() {
        std::string error;
        quorvex::find_plugins(std::string(QUORVEX_BUILD_DIR) + "/plugins", folder, error);
        discbuilder::DiscImage image;
        discbuilder::MoviePlan plan = discbuilder::selvane_movie();
        plan.frames = 300;
        plan.real_pictures = true;
        discbuilder::Tone tone(37800, 440, 660);
        discbuilder::write_str_movie(image, 0, plan, tone);
        const auto bytes = image.bytes();
        DwOpenMemory(bytes.data(), image.sector_count(), nullptr, 0, &disc);
        quorvex::ScanReport report;
        quorvex::scan_disc(disc, {quorvex::find_plugin(folder, "selvane")}, report, error);
        if (!report.streams.empty()) stream = report.streams[0];
    }
};

void BM_ExtractLosslessVideo(benchmark::State& state) {
    static Setup setup;
    const std::string path = (std::filesystem::temp_directory_path() / "quorvex-media-bench.mkv").string();
    double plugin = 0, total = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        std::filesystem::remove(path);
        const auto started = std::chrono::steady_clock::now();
        quorvex::StreamContext context;
        context.request = {"bench", setup.stream.plugin, setup.disc, setup.stream.info, std::nullopt};
        quorvex::WrittenStream written;
        quorvex::OutputOptions options;
        options.lossless = true;
        std::string error;
        if (!setup.stream.plugin ||
            !quorvex::write_stream(context, {{quorvex::output_format_of(path), path}}, options, written, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        plugin += written.delivery.counts.plugin_seconds + written.playback.plugin_seconds;
        frames += written.playback.frames;
    }
    std::filesystem::remove(path);
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["plugin_share"] = total > 0 ? plugin / total : 0;
}
BENCHMARK(BM_ExtractLosslessVideo)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
