#include "stream_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvex {

std::string format_duration(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u.%03u", ms / 60000, ms / 1000 % 60, ms % 1000);
    return text;
}

std::string format_kind(uint16_t kind) {
    std::string out;
    if (kind & psr::kKindVideo) out = "video";
    if (kind & psr::kKindAudio) out += out.empty() ? "audio" : "+audio";
    if (kind & psr::kKindVariableRate) out += " (varying rate)";
    return out.empty() ? "none" : out;
}

double playing_frames_per_second(const StreamInfo& info) {
    const double described = info.frame_rate / 10.0;
    if (info.duration_ms == 0 || info.frame_count == 0) return described;
    const double measured = std::round(info.frame_count * 1000000.0 / info.duration_ms) / 1000.0;
    const bool varies = psr::varies_in_rate(info);
    return varies || std::lround(measured * 10) != info.frame_rate ? measured : described;
}

std::string format_audio(const StreamInfo& info) {
    if (!info.has_audio) return "-";
    char text[64];
    const char* layout = info.channels == 1 ? "mono" : info.channels == 2 ? "stereo" : "?";
    std::snprintf(text, sizeof text, "%u Hz %s %u-bit", info.sample_rate, layout, info.bits_per_sample);
    return text;
}

std::string format_stream_table(const std::vector<TableRow>& rows) {
    std::vector<std::string> heading = {"#",     "NAME",     "PLUG-IN", "P#",      "START", "SECTORS",
                                        "KIND", "DURATION", "FRAMES",  "PICTURE", "FPS",   "AUDIO"};
    const bool also = std::any_of(rows.begin(), rows.end(), [](const TableRow& r) { return !r.also_found_by.empty(); });
    if (also) heading.push_back("ALSO FOUND BY");
    std::vector<std::vector<std::string>> cells;
    for (const TableRow& r : rows) {
        const StreamInfo& i = r.info;
        const bool video = psr::is_video(i);
        char fps[32];
        std::snprintf(fps, sizeof fps, "%.1f", playing_frames_per_second(i));
        cells.push_back({r.number ? std::to_string(r.number) : "-", r.name, r.plugin, std::to_string(r.index),
                         std::to_string(i.start_sector), std::to_string(i.sector_count), format_kind(i.kind),
                         format_duration(i.duration_ms), video ? std::to_string(i.frame_count) : "-",
                         video ? std::to_string(i.width) + "x" + std::to_string(i.height) : "-", video ? fps : "-",
                         format_audio(i)});
        if (also) cells.back().push_back(r.also_found_by.empty() ? "-" : r.also_found_by);
    }
    std::vector<size_t> width(heading.size());
    for (size_t c = 0; c < heading.size(); ++c) {
        width[c] = heading[c].size();
        for (const auto& row : cells) width[c] = std::max(width[c], row[c].size());
    }
    std::string out;
    auto line = [&](const std::vector<std::string>& row) {
        std::string text;
        for (size_t c = 0; c < row.size(); ++c) {
            text += row[c];
            if (c + 1 < row.size()) text.append(width[c] - row[c].size() + 2, ' ');
        }
        out += text + "\n";
    };
    line(heading);
    for (const auto& row : cells) line(row);
    return out;
}

}  // namespace quorvex
