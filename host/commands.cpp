#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "../discwell/discwell.h"
#include "disc_survey.h"
#include "interrupt.h"
#include "paths.h"
#include "progress.h"

namespace quorvex {

void complain(const std::string& message) {
    clear_progress_line();
    std::fprintf(stderr, "quorvex: %s\n", message.c_str());
}
void warn(const std::string& message) {
    clear_progress_line();
    std::fprintf(stderr, "quorvex: warning: %s\n", message.c_str());
}

int finish(const Outcome& outcome) {
    if (!outcome) return kExitOk;
    if (outcome->kind != Error::Kind::kInterrupted && !outcome->said) complain(outcome->text());
    return outcome->exit_status();
}

StreamFilter stream_filter(const Options& o) { return StreamFilter{o.plugin, o.kind, o.min_length, o.all}; }

StreamChoice stream_choice(const Options& o) {
    return StreamChoice{o.images.empty() ? std::string() : o.images[0], o.io_mode, o.plugin, o.stream, o.start, o.count, o.seek_ms};
}

RipRequest rip_request(const Options& o) {
    return RipRequest{o.output, stream_filter(o), o.jobs, o.lossless, o.dry_run, o.format.empty() ? "mkv" : o.format, {}, o.io_mode,
                      o.progress, o.decoding};
}

bool load_plugin_folder(const std::string& name, PluginFolder& folder, Error& error) {
    const std::string directory = name.empty() ? default_plugin_directory() : name;
    std::string why;
    if (!find_plugins(directory, folder, why)) {
        error = failure("", why);
        return false;
    }
    for (const std::string& problem : folder.problems) warn(problem + " (left out)");
    if (folder.plugins.empty()) {
        error = failure(directory, "no usable .PSR plug-ins in this folder");
        return false;
    }
    return true;
}

Outcome load_plugins(const Options& options, PluginFolder& folder, const PluginFile** only) {
    Error error;
    if (!load_plugin_folder(options.plugin_directory, folder, error)) return error;
    if (only && !options.plugin.empty() && !(*only = named_plugin(options.plugin, folder, error))) return error;
    return std::nullopt;
}

const PluginFile* named_plugin(const std::string& name, const PluginFolder& folder, Error& error) {
    if (name.empty()) {
        error = usage_error("--plugin is required");
        return nullptr;
    }
    if (const PluginFile* found = find_plugin(folder, name)) return found;
    std::string known;
    for (const PluginFile& p : folder.plugins) known += (known.empty() ? "" : ", ") + p.stem;
    error = failure("", "no plug-in named '" + name + "' in " + folder.directory + " (found: " + known + ")");
    return nullptr;
}

std::vector<const PluginFile*> all_plugins(const PluginFolder& folder) {
    std::vector<const PluginFile*> all;
    for (const PluginFile& p : folder.plugins) all.push_back(&p);
    return all;
}

OpenDisc::~OpenDisc() {
    if (handle) DwClose(handle);
}

Outcome open_image(const std::string& path, int32_t io_mode, OpenDisc& disc) {
    char message[1024];
    const int32_t code = DwOpenImage(path.c_str(), io_mode, &disc.handle, message, sizeof message);
    if (code == DW_OK) return std::nullopt;
    Error error = failure("", message);  // discwell's message names the file
    error.disc_error = code;
    return error;
}

std::vector<size_t> selected_streams(const DiscSurvey& survey, const StreamFilter& options, const PluginFile* plugin) {
    const auto& streams = survey.report.streams;
    std::vector<size_t> chosen;
    if (options.all) {
        for (size_t i = 0; i < streams.size(); ++i) chosen.push_back(i);
    } else if (plugin) {
        for (size_t i = 0; i < streams.size(); ++i) {
            if (streams[i].plugin == plugin) chosen.push_back(i);
        }
        std::stable_sort(chosen.begin(), chosen.end(), [&](size_t a, size_t b) {
            return streams[a].info.start_sector < streams[b].info.start_sector;
        });
    } else {
        chosen = survey.listing;
    }
    std::erase_if(chosen, [&](size_t i) {
        const StreamInfo& info = streams[i].info;
        const bool video = psr::is_video(info);
        return (options.kind == "video" && !video) || (options.kind == "audio" && video) ||
               info.duration_ms < options.min_length * 1000.0;
    });
    return chosen;
}

void describe_found(const DiscSurvey& survey, size_t i, const std::string& image, StreamContext& c) {
    const FoundStream& s = survey.report.streams[i];
    c.request.plugin = s.plugin;
    c.request.info = s.info;
    c.index = s.index;
    c.name = survey.names[i];
    c.number = survey.numbers[i] ? std::optional<uint32_t>(survey.numbers[i]) : std::nullopt;
    c.album = disc_title(image);
    c.described_by_scan = true;
    c.state = s.state;
    c.note = s.note;
}

namespace {

// The stream `choice` names on the open disc; false with `error` set.
bool choose_stream(const StreamChoice& choice, const PluginFolder& folder, uint32_t disc, StreamContext& c, Error& error) {
    const std::string& image = choice.image;
    c.request = PlaybackRequest{image, nullptr, disc, StreamInfo{}, std::nullopt};
    c.seek_ms = choice.seek_ms;
    const PluginFile* plugin = nullptr;
    if (!choice.plugin.empty() && !(plugin = named_plugin(choice.plugin, folder, error))) return false;
    DiscSurvey survey;
    std::string why;
    if (!survey_disc(disc, image, all_plugins(folder), survey, why, warn)) {
        error = failure(image, why);
        if (survey.report.interrupted) error.kind = Error::Kind::kInterrupted;
        return false;
    }
    const auto& streams = survey.report.streams;
    if (!plugin) {
        const auto found = survey.find(choice.stream);
        if (!found) {
            error = failure(image, "no stream named or numbered " + printable(choice.stream) + " (the disc lists " +
                                       std::to_string(survey.listing.size()) + "; quorvex scan shows them)");
            return false;
        }
        describe_found(survey, *found, image, c);
        return true;
    }
    if (!choice.stream.empty()) {
        for (size_t i = 0; i < streams.size(); ++i) {
            if (streams[i].plugin == plugin && std::to_string(streams[i].index) == choice.stream) {
                describe_found(survey, i, image, c);
                return true;
            }
        }
        const auto count = std::count_if(streams.begin(), streams.end(), [&](const FoundStream& s) { return s.plugin == plugin; });
        error = failure(image, plugin->stem + " has no stream " + choice.stream + " (it found " + std::to_string(count) + ")");
        return false;
    }
    const uint32_t start = choice.start.value_or(0), count = choice.count.value_or(0);
    const uint32_t sectors = DwSectorCount(disc);
    if (start >= sectors || count > sectors - start) {
        error = failure(image, "sectors " + std::to_string(start) + " to " + std::to_string(uint64_t{start} + count - 1) +
                                   " lie outside the disc (" + std::to_string(sectors) + " sectors)");
        return false;
    }
    // The exact range of a scanned stream is described as the scan described it.
    for (size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].plugin == plugin && streams[i].info.start_sector == start && streams[i].info.sector_count == count) {
            describe_found(survey, i, image, c);
            return true;
        }
    }
    auto instance = load_fresh(*plugin, why);
    if (!instance) {
        error = failure("", why);
        return false;
    }
    FoundStream described;
    described.plugin = plugin;
    const bool found = instance->describe(disc, start, count, &described.info) != 0;
    uint32_t lba = 0;
    char cause[256] = {};
    if (DwTakeReadError(disc, &lba, cause, sizeof cause)) {
        error = failure(image, "cannot read sector " + std::to_string(lba) + ": " + cause);
        error.sector = lba;
        return false;
    }
    if (!found) {
        error = failure(image, plugin->stem + " finds no stream of its kind at sector " + std::to_string(start));
        error.sector = start;
        return false;
    }
    judge_stream(disc, described);
    c.request.plugin = plugin;
    c.request.info = described.info;
    c.album = disc_title(image);
    c.described_by_scan = false;
    c.state = described.state;
    c.note = described.note;
    return true;
}

}  // namespace

bool open_named_stream(const StreamChoice& choice, const PluginFolder& folder, NamedStream& named, Error& error) {
    if (Outcome failed = open_image(choice.image, choice.io_mode, named.disc)) {
        error = *failed;
        return false;
    }
    return choose_stream(choice, folder, named.disc.handle, named.context, error);
}

}  // namespace quorvex
