// quorvex rip: every stream of every plug-in on a disc into one folder, each as a file people can
// play (a folder of raw units in a build without FFmpeg), with rip.json saying what was written.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "extract.h"
#include "json_writer.h"
#include "media_output.h"
#include "terminal.h"
#include "scan.h"
#include "stream_format.h"

namespace fs = std::filesystem;

namespace quorvex {

int run_rip(const Options& options) {
    if (options.images.size() != 1 || options.output.empty()) {
        complain("usage: quorvex rip IMAGE -o DIR [--lossless]");
        return 2;
    }
    std::vector<Plugin> plugins;
    if (!load_all(options, plugins)) return 1;
    std::vector<const Plugin*> all;
    for (const Plugin& p : plugins) all.push_back(&p);
    const std::string& image = options.images[0];
    OpenDisc disc;
    if (!open_image(image, options.io_mode, disc)) return 1;
    ScanReport report;
    std::string error;
    if (!scan_disc(disc.handle, all, report, error)) {
        complain(image + ": " + error);
        return 1;
    }
    std::error_code ec;
    fs::create_directories(options.output, ec);
    if (!fs::is_directory(options.output)) {
        complain(options.output + ": cannot create the output folder");
        return 1;
    }

    const bool terminal = stderr_is_terminal();
    const bool media = media_output_supported();
    JsonWriter json;
    json.begin_object().field("image", image).field("media", media).key("streams").begin_array();
    int failures = 0;
    const size_t total = report.streams.size();
    for (size_t k = 0; k < total; ++k) {
        const FoundStream& found = report.streams[k];
        char name[96];
        std::snprintf(name, sizeof name, "%s-%02d-lba%06u", found.plugin->stem.c_str(), found.index, found.info.start_sector);
        const bool video = (found.info.kind & psr::kKindVideo) != 0;
        const std::string file = std::string(name) + (media ? (video ? ".mkv" : ".flac") : "");
        const std::string path = (fs::path(options.output) / file).string();

        ExtractRequest request{image, found.plugin, disc.handle, found.info, std::nullopt};
        ExtractSummary summary;
        std::unique_ptr<UnitSink> sink = media ? make_media_file_sink(request, path, {options.lossless}, true, error)
                                               : make_raw_folder_sink(request, path, error);
        auto progress = [&](const ExtractSummary& s) {
            if (!terminal || (s.frames + s.audio_units) % 32 != 0) return;
            std::fprintf(stderr, "\r[%zu/%zu] %s: %u frames, %u audio units   ", k + 1, total, file.c_str(), s.frames,
                         s.audio_units);
        };
        const bool ok = sink && play_stream(request, {sink.get()}, summary, error, progress);
        if (terminal) std::fprintf(stderr, "\r%*s\r", 79, "");
        json.begin_object().field("plugin", found.plugin->stem).field("index", found.index);
        write_stream_info(json, found.info, found.plugin->stream_info_size() == 44);
        if (ok) {
            json.field("file", file)
                .field("frames", summary.frames)
                .field("audio_units", summary.audio_units)
                .field("skipped_frames", summary.skipped_frames);
        } else {
            ++failures;
            complain(error);
            json.field("error", error);
        }
        json.end_object();
        std::printf("%s  %s%s\n", ok ? "ok    " : "FAILED", file.c_str(),
                    summary.skipped_frames ? (" (" + std::to_string(summary.skipped_frames) + " frames skipped)").c_str() : "");
    }
    json.end_array().field("failures", failures).end_object();
    const std::string index = (fs::path(options.output) / "rip.json").string();
    if (std::FILE* f = std::fopen((index + ".partial").c_str(), "wb")) {
        const std::string text = json.text() + "\n";
        const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (std::fclose(f) == 0 && written) fs::rename(index + ".partial", index, ec);
    }
    if (!fs::exists(index)) {
        complain(index + ": cannot write");
        return 1;
    }
    std::printf("%s: %zu streams ripped to %s%s\n", image.c_str(), total - static_cast<size_t>(failures), options.output.c_str(),
                failures ? (", " + std::to_string(failures) + " failed").c_str() : "");
    return failures ? 1 : 0;
}

}  // namespace quorvex
