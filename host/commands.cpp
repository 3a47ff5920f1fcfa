#include "commands.h"

#include <cstdio>

#include "../discwell/discwell.h"

namespace quorvex {

void complain(const std::string& message) { std::fprintf(stderr, "quorvex: %s\n", message.c_str()); }
void warn(const std::string& message) { std::fprintf(stderr, "quorvex: warning: %s\n", message.c_str()); }

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

int choose_stream(const Options& options, const PluginFile& plugin, uint32_t disc, StreamContext& c) {
    const std::string& image = options.images[0];
    c.request = PlaybackRequest{image, &plugin, disc, StreamInfo{}, options.seek_ms};
    ScanReport report;
    std::string error;
    if (!scan_disc(disc, {&plugin}, report, error, warn)) {
        complain(image + ": " + error);
        return kExitError;
    }
    const FoundStream* chosen = nullptr;
    if (options.stream) {
        for (const FoundStream& s : report.streams) {
            if (s.index == static_cast<int32_t>(*options.stream)) chosen = &s;
        }
        if (!chosen) {
            complain(image + ": " + plugin.stem + " has no stream " + std::to_string(*options.stream) + " (it found " +
                     std::to_string(report.streams.size()) + ")");
            return kExitError;
        }
    } else {
        const uint32_t start = *options.start, count = *options.count;
        const uint32_t sectors = DwSectorCount(disc);
        if (start >= sectors || count > sectors - start) {
            complain(image + ": sectors " + std::to_string(start) + " to " + std::to_string(uint64_t{start} + count - 1) +
                     " lie outside the disc (" + std::to_string(sectors) + " sectors)");
            return kExitError;
        }
        // The exact range of a scanned stream is described as the scan described it.
        for (const FoundStream& s : report.streams) {
            if (s.info.start_sector == start && s.info.sector_count == count) chosen = &s;
        }
        if (!chosen) {
            auto instance = load_fresh(plugin, error);
            if (!instance) {
                complain(error);
                return kExitError;
            }
            FoundStream described;
            described.plugin = &plugin;
            const bool found = instance->describe(disc, start, count, &described.info) != 0;
            uint32_t lba = 0;
            char cause[256] = {};
            if (DwTakeReadError(disc, &lba, cause, sizeof cause)) {
                complain(image + ": cannot read sector " + std::to_string(lba) + ": " + cause);
                return kExitError;
            }
            if (!found) {
                complain(image + ": " + plugin.stem + " finds no stream of its kind at sector " + std::to_string(start));
                return kExitError;
            }
            judge_stream(disc, described);
            c.request.info = described.info;
            c.described_by_scan = false;
            c.state = described.state;
            c.note = described.note;
            return kExitOk;
        }
    }
    c.request.info = chosen->info;
    c.index = chosen->index;
    c.described_by_scan = true;
    c.state = chosen->state;
    c.note = chosen->note;
    return kExitOk;
}

}  // namespace quorvex
