#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "../discwell/discwell.h"
#include "extract.h"
#include "json_writer.h"
#include "media_output.h"
#include "terminal.h"
#include "plugin_loader.h"
#include "scan.h"
#include "stream_format.h"

namespace quorvex {

void complain(const std::string& message) { std::fprintf(stderr, "quorvex: %s\n", message.c_str()); }

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string plugin_directory(const Options& options) {
    return options.plugin_directory.empty() ? default_plugin_directory() : options.plugin_directory;
}

}  // namespace

bool load_all(const Options& options, std::vector<Plugin>& plugins) {
    std::string error;
    const std::string directory = plugin_directory(options);
    const auto files = plugin_files(directory, error);
    if (!error.empty()) {
        complain(error);
        return false;
    }
    if (files.empty()) {
        complain(directory + ": no .PSR plug-ins in this folder");
        return false;
    }
    bool ok = true;
    for (const std::string& file : files) {
        Plugin plugin;
        if (load_plugin(file, plugin, error)) {
            plugins.push_back(std::move(plugin));
        } else {
            complain(error);
            ok = false;
        }
    }
    return ok;
}

namespace {

// The plug-in named by --plugin: its file name without ".PSR", or its display name.
bool load_named(const Options& options, Plugin& plugin) {
    if (options.plugin.empty()) {
        complain("--plugin is required");
        return false;
    }
    std::string error;
    const std::string directory = plugin_directory(options);
    const auto files = plugin_files(directory, error);
    if (!error.empty()) {
        complain(error);
        return false;
    }
    const std::string wanted = lower(options.plugin);
    for (const std::string& file : files) {
        const std::string stem = lower(std::filesystem::path(file).stem().string());
        if (stem == wanted) {
            if (load_plugin(file, plugin, error)) return true;
            complain(error);
            return false;
        }
    }
    std::string known;
    for (const std::string& file : files) {
        Plugin candidate;
        if (!load_plugin(file, candidate, error)) continue;
        if (lower(candidate.name()) == wanted) {
            plugin = std::move(candidate);
            return true;
        }
        known += (known.empty() ? "" : ", ") + candidate.stem;
    }
    complain("no plug-in named '" + options.plugin + "' in " + directory + (known.empty() ? "" : " (found: " + known + ")"));
    return false;
}

}  // namespace

OpenDisc::~OpenDisc() {
    if (handle) DwClose(handle);
}

bool open_image(const std::string& path, int32_t io_mode, OpenDisc& disc) {
    char error[1024];
    if (!DwOpenImage(path.c_str(), io_mode, &disc.handle, error, sizeof error)) {
        complain(error);
        return false;
    }
    return true;
}

namespace {

// A range the host asks a plug-in about must lie on the disc.
bool range_on_disc(const std::string& image, const OpenDisc& disc, uint32_t start, uint32_t count) {
    const uint32_t sectors = DwSectorCount(disc.handle);
    if (start < sectors && count != 0 && count <= sectors - start) return true;
    complain(image + ": sectors " + std::to_string(start) + " to " + std::to_string(uint64_t{start} + count) +
             " lie outside the disc (" + std::to_string(sectors) + " sectors)");
    return false;
}

std::string version_text(uint16_t hundredths) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", hundredths / 100u, hundredths % 100u);
    return text;
}

}  // namespace

int run_plugins(const Options& options) {
    std::vector<Plugin> plugins;
    const bool ok = load_all(options, plugins);
    if (options.json) {
        JsonWriter json;
        json.begin_array();
        for (const Plugin& p : plugins) {
            json.begin_object()
                .field("file", std::filesystem::path(p.path).filename().string())
                .field("name", p.name())
                .field("plugin_version", p.info.plugin_version)
                .field("extra_version", p.info.extra_version)
                .field("interface_version", p.info.interface_version)
                .field("decodes_audio", p.decode_audio != nullptr)
                .end_object();
        }
        json.end_array();
        std::printf("%s\n", json.text().c_str());
    } else {
        for (const Plugin& p : plugins) {
            std::printf("%-18s %-16s version %s  extra %u  interface %u%s\n",
                        std::filesystem::path(p.path).filename().string().c_str(), p.name().c_str(),
                        version_text(p.info.plugin_version).c_str(), p.info.extra_version, p.info.interface_version,
                        p.decode_audio ? "  decodes audio" : "");
        }
    }
    return ok ? 0 : 1;
}

int run_scan(const Options& options) {
    if (options.images.empty()) {
        complain("scan needs at least one image");
        return 2;
    }
    std::vector<Plugin> plugins;
    if (!load_all(options, plugins)) return 1;
    std::vector<const Plugin*> all;
    for (const Plugin& p : plugins) all.push_back(&p);

    std::vector<std::unique_ptr<OpenDisc>> discs;
    for (const std::string& image : options.images) {
        discs.push_back(std::make_unique<OpenDisc>());
        if (!open_image(image, options.io_mode, *discs.back())) return 1;
    }
    std::vector<ScanReport> reports(options.images.size());
    for (size_t i = 0; i < options.images.size(); ++i) {
        std::string error;
        if (!scan_disc(discs[i]->handle, all, reports[i], error)) {
            complain(options.images[i] + ": " + error);
            return 1;
        }
    }

    if (options.json) {
        JsonWriter json;
        json.begin_array();
        for (size_t i = 0; i < options.images.size(); ++i) {
            json.begin_object().field("image", options.images[i]).key("streams").begin_array();
            for (const FoundStream& s : reports[i].streams) {
                json.begin_object().field("plugin", s.plugin->stem).field("index", s.index);
                write_stream_info(json, s.info, s.plugin->stream_info_size() == 44);
                json.end_object();
            }
            json.end_array().end_object();
        }
        json.end_array();
        std::printf("%s\n", json.text().c_str());
        return 0;
    }
    for (size_t i = 0; i < options.images.size(); ++i) {
        const auto& streams = reports[i].streams;
        std::printf("%s: %zu stream%s\n", options.images[i].c_str(), streams.size(), streams.size() == 1 ? "" : "s");
        if (streams.empty()) continue;
        std::vector<TableRow> rows;
        for (const FoundStream& s : streams) rows.push_back({s.plugin->stem, s.index, s.info});
        std::printf("%s", format_stream_table(rows).c_str());
        if (i + 1 < options.images.size()) std::printf("\n");
    }
    return 0;
}

int run_info(const Options& options) {
    if (options.images.size() != 1 || !options.start || !options.count) {
        complain("usage: quorvex info IMAGE --plugin P --start LBA --count N");
        return 2;
    }
    Plugin plugin;
    if (!load_named(options, plugin)) return 1;
    OpenDisc disc;
    if (!open_image(options.images[0], options.io_mode, disc)) return 1;
    const std::string& image = options.images[0];
    if (!range_on_disc(image, disc, *options.start, *options.count)) return 1;
    StreamInfo info{};
    if (!plugin.describe(disc.handle, *options.start, *options.count, &info)) {
        complain(image + ": " + plugin.stem + " finds no stream of its kind at sector " + std::to_string(*options.start));
        return 1;
    }
    const bool with_payload = plugin.stream_info_size() == 44;
    if (options.json) {
        JsonWriter json;
        json.begin_object().field("plugin", plugin.stem);
        write_stream_info(json, info, with_payload);
        json.end_object();
        std::printf("%s\n", json.text().c_str());
    } else {
        std::printf("%s", format_stream_table({{plugin.stem, 0, info}}).c_str());
    }
    return 0;
}

int run_extract(const Options& options) {
    if (options.images.size() != 1 || (options.output.empty() && options.frames_directory.empty()) ||
        (options.stream.has_value() == options.start.has_value()) || options.start.has_value() != options.count.has_value()) {
        complain("usage: quorvex extract IMAGE --plugin P (--stream K | --start LBA --count N) [--seek MS] "
                 "[-o DIR|FILE] [--frames DIR] [--lossless]");
        return 2;
    }
    Plugin plugin;
    if (!load_named(options, plugin)) return 1;
    OpenDisc disc;
    if (!open_image(options.images[0], options.io_mode, disc)) return 1;
    const std::string& image = options.images[0];

    StreamInfo info{};
    if (options.stream) {
        ScanReport report;
        std::string error;
        if (!scan_disc(disc.handle, {&plugin}, report, error)) {
            complain(image + ": " + error);
            return 1;
        }
        if (*options.stream >= report.streams.size()) {
            complain(image + ": " + plugin.stem + " has no stream " + std::to_string(*options.stream) + " (it found " +
                     std::to_string(report.streams.size()) + ")");
            return 1;
        }
        info = report.streams[*options.stream].info;
    } else {
        if (!range_on_disc(image, disc, *options.start, *options.count)) return 1;
        if (!plugin.describe(disc.handle, *options.start, *options.count, &info)) {
            complain(image + ": " + plugin.stem + " finds no stream of its kind at sector " +
                     std::to_string(*options.start));
            return 1;
        }
    }
    ExtractRequest request{image, &plugin, disc.handle, info, options.seek_ms};
    std::string error;
    ExtractSummary summary;
    std::vector<std::unique_ptr<UnitSink>> sinks;
    if (!options.output.empty()) {
        // A media file by its extension, else a folder of the units as delivered.
        sinks.push_back(is_media_path(options.output)
                            ? make_media_file_sink(request, options.output, {options.lossless}, true, error)
                            : make_raw_folder_sink(request, options.output, error));
    }
    if (!options.frames_directory.empty()) {
        sinks.push_back(make_picture_sink(request, options.frames_directory, sinks.empty(), error));
    }
    std::vector<UnitSink*> targets;
    for (const auto& sink : sinks) {
        if (!sink) {
            complain(error);
            return 1;
        }
        targets.push_back(sink.get());
    }
    const bool terminal = stderr_is_terminal();
    auto progress = [&](const ExtractSummary& s) {
        if (terminal && (s.frames + s.audio_units) % 64 == 0) {
            std::fprintf(stderr, "\r%u frames, %u audio units   ", s.frames, s.audio_units);
        }
    };
    const bool played = play_stream(request, targets, summary, error, progress);
    if (terminal) std::fprintf(stderr, "\r%*s\r", 40, "");
    if (!played) {
        complain(error);
        return 1;
    }
    const std::string where = options.output.empty() ? options.frames_directory : options.output;
    std::printf("%s: %u frames, %u audio units written to %s", image.c_str(), summary.frames, summary.audio_units,
                where.c_str());
    if (summary.skipped_frames) std::printf(" (%u frames could not be decoded and were skipped)", summary.skipped_frames);
    std::printf("\n");
    return 0;
}

}  // namespace quorvex
