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

bool load_plugin_folder(const Options& options, PluginFolder& folder) {
    const std::string directory = options.plugin_directory.empty() ? default_plugin_directory() : options.plugin_directory;
    std::string error;
    if (!find_plugins(directory, folder, error)) {
        complain(error);
        return false;
    }
    for (const std::string& problem : folder.problems) warn(problem + " (left out)");
    if (folder.plugins.empty()) {
        complain(directory + ": no usable .PSR plug-ins in this folder");
        return false;
    }
    return true;
}

const PluginFile* named_plugin(const Options& options, const PluginFolder& folder) {
    if (options.plugin.empty()) {
        complain("--plugin is required");
        return nullptr;
    }
    if (const PluginFile* found = find_plugin(folder, options.plugin)) return found;
    std::string known;
    for (const PluginFile& p : folder.plugins) known += (known.empty() ? "" : ", ") + p.stem;
    complain("no plug-in named '" + options.plugin + "' in " + folder.directory + " (found: " + known + ")");
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

bool open_image(const std::string& path, int32_t io_mode, OpenDisc& disc, std::string& error) {
    char message[1024];
    if (!DwOpenImage(path.c_str(), io_mode, &disc.handle, message, sizeof message)) {
        error = message;
        return false;
    }
    return true;
}

std::vector<size_t> selected_streams(const DiscSurvey& survey, const Options& options, const PluginFile* plugin) {
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
        const bool video = (info.kind & 0x01) != 0;
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
    c.album = disc_title(survey, image);
    c.described_by_scan = true;
    c.state = s.state;
    c.note = s.note;
}

int choose_stream(const Options& options, const PluginFolder& folder, uint32_t disc, StreamContext& c) {
    const std::string& image = options.images[0];
    c.request = PlaybackRequest{image, nullptr, disc, StreamInfo{}, std::nullopt};
    c.seek_ms = options.seek_ms;
    const PluginFile* plugin = nullptr;
    if (!options.plugin.empty() && !(plugin = named_plugin(options, folder))) return kExitError;
    DiscSurvey survey;
    std::string error;
    if (!survey_disc(disc, image, all_plugins(folder), survey, error, warn)) {
        if (!only_interrupted(error)) complain(image + ": " + error);
        return kExitError;
    }
    const auto& streams = survey.report.streams;
    if (!plugin) {
        const auto found = survey.find(options.stream);
        if (!found) {
            complain(image + ": no stream named or numbered " + printable(options.stream) + " (the disc lists " +
                     std::to_string(survey.listing.size()) + "; quorvex scan shows them)");
            return kExitError;
        }
        describe_found(survey, *found, image, c);
        return kExitOk;
    }
    if (!options.stream.empty()) {
        for (size_t i = 0; i < streams.size(); ++i) {
            if (streams[i].plugin == plugin && std::to_string(streams[i].index) == options.stream) {
                describe_found(survey, i, image, c);
                return kExitOk;
            }
        }
        const auto count = std::count_if(streams.begin(), streams.end(), [&](const FoundStream& s) { return s.plugin == plugin; });
        complain(image + ": " + plugin->stem + " has no stream " + options.stream + " (it found " + std::to_string(count) + ")");
        return kExitError;
    }
    const uint32_t start = *options.start, count = *options.count;
    const uint32_t sectors = DwSectorCount(disc);
    if (start >= sectors || count > sectors - start) {
        complain(image + ": sectors " + std::to_string(start) + " to " + std::to_string(uint64_t{start} + count - 1) +
                 " lie outside the disc (" + std::to_string(sectors) + " sectors)");
        return kExitError;
    }
    // The exact range of a scanned stream is described as the scan described it.
    for (size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].plugin == plugin && streams[i].info.start_sector == start && streams[i].info.sector_count == count) {
            describe_found(survey, i, image, c);
            return kExitOk;
        }
    }
    auto instance = load_fresh(*plugin, error);
    if (!instance) {
        complain(error);
        return kExitError;
    }
    FoundStream described;
    described.plugin = plugin;
    const bool found = instance->describe(disc, start, count, &described.info) != 0;
    uint32_t lba = 0;
    char cause[256] = {};
    if (DwTakeReadError(disc, &lba, cause, sizeof cause)) {
        complain(image + ": cannot read sector " + std::to_string(lba) + ": " + cause);
        return kExitError;
    }
    if (!found) {
        complain(image + ": " + plugin->stem + " finds no stream of its kind at sector " + std::to_string(start));
        return kExitError;
    }
    judge_stream(disc, described);
    c.request.plugin = plugin;
    c.request.info = described.info;
    c.album = disc_title(survey, image);
    c.described_by_scan = false;
    c.state = described.state;
    c.note = described.note;
    return kExitOk;
}

}  // namespace quorvex
