#include "stream_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <tuple>

namespace quorvex {
namespace {

// Looking this far into a stream for its channel covers a movie frame's video sectors.
constexpr uint32_t kChannelSearch = 64;
constexpr size_t kMaxName = 120;

}  // namespace

int stream_channel(const ScanReport& report, const StreamInfo& info) {
    const uint32_t n = std::min(info.sector_count, kChannelSearch);
    for (uint32_t i = 0; i < n && info.start_sector + i >= info.start_sector; ++i) {
        const uint8_t channel = report.channel_at(info.start_sector + i);
        if (channel != kNoChannel) return channel;
    }
    return -1;
}

std::string lba_name(const FoundStream& s) {
    char name[96];
    std::snprintf(name, sizeof name, "%s-%02d-lba%06u", s.plugin->stem.c_str(), s.index, s.info.start_sector);
    return name;
}

std::string safe_file_name(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, kMaxName)) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        out += keep ? c : '_';
    }
    if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
    // Names that Windows keeps for devices, whatever their extension.
    std::string device = out.substr(0, out.find('.'));
    std::transform(device.begin(), device.end(), device.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    static constexpr const char* kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                               "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",
                                               "LPT6", "LPT7", "LPT8", "LPT9"};
    for (const char* d : kDevices) {
        if (device == d) return "_" + out;
    }
    return out;
}

std::vector<StreamPlace> place_streams(const ScanReport& report, const DiscDirectory& directory) {
    const auto& streams = report.streams;
    std::vector<StreamPlace> places(streams.size());
    // Streams of one plug-in in one file and channel, counted first so that the names can say
    // whether a number is needed.
    using Key = std::tuple<const PluginFile*, const DiscFile*, int>;
    std::map<Key, int> count, seen;
    for (size_t i = 0; i < streams.size(); ++i) {
        StreamPlace& p = places[i];
        p.file = directory.file_at(streams[i].info.start_sector);
        p.channel = stream_channel(report, streams[i].info);
        if (streams[i].plugin->decodes_audio) p.channel = -1;  // archive tracks are known by number
        if (p.file) count[{streams[i].plugin, p.file, p.channel}]++;
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        StreamPlace& p = places[i];
        if (!p.file) {
            p.base_name = lba_name(streams[i]);
            continue;
        }
        const Key key{streams[i].plugin, p.file, p.channel};
        const int number = ++seen[key];
        std::string name = safe_file_name(p.file->path);
        if (streams[i].plugin->decodes_audio) {
            name.append("-track").append(std::to_string(number));
        } else {
            if (p.channel >= 0) name.append("-ch").append(std::to_string(p.channel));
            if (count[key] > 1) name.append("-").append(std::to_string(number));
        }
        p.base_name = name;
    }
    return places;
}

}  // namespace quorvex
