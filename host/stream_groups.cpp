#include "stream_groups.h"

#include <algorithm>
#include <map>

namespace quorvex {
namespace {

struct Span {
    uint64_t begin, end;
};

Span span_of(const FoundStream& s) { return {s.info.start_sector, uint64_t{s.info.start_sector} + s.info.sector_count}; }

// The sectors of `spans` (merged) that lie on `channel`, counted where the scan saw them; a group
// without a channel counts every sector the scan saw.
uint64_t own_sectors(const ScanReport& report, std::vector<Span> spans, int channel) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    const uint64_t seen_begin = report.first_lba, seen_end = seen_begin + report.channels.size();
    uint64_t count = 0, done = 0;  // `done`: sectors before it are counted
    for (const Span& s : spans) {
        const uint64_t begin = std::max({s.begin, done, seen_begin}), end = std::min(s.end, seen_end);
        for (uint64_t lba = begin; lba < end; ++lba) {
            const uint8_t c = report.channels[static_cast<size_t>(lba - seen_begin)];
            count += channel < 0 || c == channel;
        }
        done = std::max(done, s.end);
    }
    return count;
}

// The sound sectors on `channel` that `spans` (merged) hold.
uint64_t sound_sectors(const ScanReport& report, std::vector<Span> spans, int channel) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    uint64_t count = 0, done = 0;
    for (const Span& s : spans) {
        for (uint64_t lba = std::max(s.begin, done); lba < s.end && lba <= UINT32_MAX; ++lba) {
            count += report.channel_at(static_cast<uint32_t>(lba)) == channel && report.sound_at(static_cast<uint32_t>(lba));
        }
        done = std::max(done, s.end);
    }
    return count;
}

// Whether a stream joins songs: between its first and last sound sectors on its channel lies a
// sector of that channel without sound (a blank sector, a marker).
bool joins_songs(const ScanReport& report, const Span& span, int channel) {
    bool sound_seen = false, gap = false;
    for (uint64_t lba = span.begin; lba < span.end && lba <= UINT32_MAX; ++lba) {
        if (report.channel_at(static_cast<uint32_t>(lba)) != channel) continue;
        if (report.sound_at(static_cast<uint32_t>(lba))) {
            if (gap) return true;
            sound_seen = true;
        } else if (sound_seen) {
            gap = true;
        }
    }
    return false;
}

}  // namespace

std::vector<StreamGroup> group_streams(const ScanReport& report, const std::vector<StreamPlace>& places) {
    const auto& streams = report.streams;
    std::vector<size_t> order(streams.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    // By channel, then by first sector: a group is a run of overlapping spans on one channel.
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (places[a].channel != places[b].channel) return places[a].channel < places[b].channel;
        return streams[a].info.start_sector < streams[b].info.start_sector;
    });
    std::vector<StreamGroup> groups;
    uint64_t group_end = 0;
    for (const size_t i : order) {
        const Span s = span_of(streams[i]);
        const bool joins = !groups.empty() && groups.back().channel == places[i].channel && s.begin < group_end &&
                           s.end > s.begin;
        if (!joins) {
            groups.push_back({});
            groups.back().channel = places[i].channel;
            group_end = 0;
        }
        groups.back().members.push_back(i);
        group_end = std::max(group_end, s.end);
    }

    for (StreamGroup& g : groups) {
        std::map<std::string, std::vector<size_t>> by_plugin;  // by name: ties go to the first
        std::vector<Span> all;
        for (const size_t i : g.members) {
            by_plugin[streams[i].plugin->stem].push_back(i);
            all.push_back(span_of(streams[i]));
        }
        g.own_sectors = own_sectors(report, all, g.channel);
        // Each plug-in's split, judged: the sound it holds, whether it joins songs, the sectors it holds.
        struct Judged {
            uint64_t sound = 0;
            bool joins = false;
            uint64_t held = 0;
        };
        std::map<std::string, Judged> judged;
        uint64_t most_sound = 0;
        for (const auto& [stem, members] : by_plugin) {
            std::vector<Span> spans;
            for (const size_t i : members) spans.push_back(span_of(streams[i]));
            Judged& j = judged[stem];
            j.held = own_sectors(report, spans, g.channel);
            if (g.channel >= 0) {
                j.sound = sound_sectors(report, spans, g.channel);
                for (const Span& s : spans) j.joins = j.joins || joins_songs(report, s, g.channel);
            }
            most_sound = std::max(most_sound, j.sound);
        }
        const auto better = [&](const Judged& a, const Judged& b) {
            const bool a_whole = a.sound == most_sound, b_whole = b.sound == most_sound;
            if (a_whole != b_whole) return a_whole;
            if (a.joins != b.joins) return !a.joins;
            return a.held > b.held;
        };
        const Judged* best = nullptr;
        for (const auto& [stem, members] : by_plugin) {
            const Judged& j = judged[stem];
            if (!g.chosen || better(j, *best)) {
                g.chosen = streams[members.front()].plugin;
                g.chosen_streams = members;
                best = &j;
            }
        }
        std::sort(g.chosen_streams.begin(), g.chosen_streams.end(),
                  [&](size_t a, size_t b) { return streams[a].index < streams[b].index; });
        for (const auto& [stem, members] : by_plugin) {
            if (streams[members.front()].plugin != g.chosen) g.also_found.push_back(streams[members.front()].plugin);
        }
    }
    std::sort(groups.begin(), groups.end(), [&](const StreamGroup& a, const StreamGroup& b) {
        const auto first = [&](const StreamGroup& g) { return streams[g.chosen_streams.front()].info.start_sector; };
        if (first(a) != first(b)) return first(a) < first(b);
        return a.channel < b.channel;
    });
    return groups;
}

}  // namespace quorvex
