#include "scan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "../contract/raw_sector.h"
#include "interrupt.h"

namespace quorvex {
namespace {

// Sectors handed to one plug-in before the next takes its turn: small enough to stay in cache.
constexpr uint32_t kBatch = 32;

struct Participant {
    std::unique_ptr<PluginInstance> plugin;
    ScanContext* context;
    bool feeding;
};

TrackEntry entry_for(const DwTrack& t) {
    TrackEntry e{};
    e.bytes[0] = t.number;
    e.bytes[1] = t.control;
    psr::store_le32(e.bytes + 4, t.first_lba);
    psr::store_le32(e.bytes + 8, t.sector_count);
    return e;
}

std::vector<DwTrack> tracks_data_first(uint32_t disc) {
    std::vector<DwTrack> tracks;
    for (int32_t i = 0; i < DwTrackCount(disc); ++i) {
        DwTrack t{};
        if (DwGetTrack(disc, i, &t)) tracks.push_back(t);
    }
    std::stable_partition(tracks.begin(), tracks.end(), [](const DwTrack& t) { return (t.control & 0x04) != 0; });
    return tracks;
}

}  // namespace

uint8_t sector_channel(const uint8_t* sector) {
    constexpr uint8_t kVideo = 0x02, kAudio = 0x04, kRealTime = 0x40;
    if (sector[15] != 2 || !(sector[18] & (kVideo | kAudio | kRealTime))) return kNoChannel;
    return sector[17];
}

bool sector_has_sound(const uint8_t* sector) {
    constexpr uint8_t kAudio = 0x04, kForm2 = 0x20;
    if (sector[15] != 2 || (sector[18] & (kAudio | kForm2)) != (kAudio | kForm2)) return false;
    for (size_t i = 24; i < 24 + 32; ++i) {
        if (sector[i]) return true;
    }
    return false;
}

std::vector<TrackEntry> track_table(uint32_t disc) {
    std::vector<TrackEntry> table;
    for (const DwTrack& t : tracks_data_first(disc)) table.push_back(entry_for(t));
    return table;
}

bool data_track(uint32_t disc, DwTrack& track) {
    const auto tracks = tracks_data_first(disc);
    if (tracks.empty() || !(tracks.front().control & 0x04)) return false;
    track = tracks.front();
    return true;
}

void judge_stream(uint32_t disc, FoundStream& s) {
    s.state = judge_range(disc, s.info.start_sector, s.info.sector_count, s.note);
}

bool scan_disc(uint32_t disc, const std::vector<const PluginFile*>& plugins, ScanReport& report, std::string& error,
               const Warn& warn, const ScanProgress& progress) {
    report = ScanReport{};
    const auto table = track_table(disc);
    DwTrack data{};
    const bool has_data = data_track(disc, data);
    const TrackEntry entry = has_data ? entry_for(data) : TrackEntry{};

    std::vector<Participant> participants;
    for (const PluginFile* file : plugins) {
        std::string problem;
        auto plugin = load_fresh(*file, problem);
        if (!plugin) {
            if (warn) warn(problem);
            continue;
        }
        ScanContext* context = plugin->scan_begin(static_cast<int32_t>(table.size()), table.data());
        if (context) participants.push_back({std::move(plugin), context, has_data});
    }

    bool ok = true;
    uint32_t lba = data.first_lba;
    report.first_lba = data.first_lba;
    if (has_data && !participants.empty()) {
        // A byte a sector; the image's own size bounds the count.
        report.channels.reserve(data.sector_count);
        report.sound.reserve(data.sector_count);
        DwScan* scan = DwScanOpen(disc, data.first_lba, data.sector_count);
        const uint8_t* run = nullptr;
        uint32_t n = 0;
        bool any_feeding = true;
        while (any_feeding && (n = DwScanNext(scan, &run)) > 0) {
            if (interrupted()) {
                error = interruption();
                report.interrupted = true;
                ok = false;
                break;
            }
            if (progress) progress(lba - data.first_lba, data.sector_count);
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t* sector = run + size_t{i} * psr::kRawSectorSize;
                report.channels.push_back(sector_channel(sector));
                report.sound.push_back(sector_has_sound(sector));
            }
            for (uint32_t done = 0; done < n && any_feeding;) {
                const uint32_t batch = std::min(kBatch, n - done);
                const uint8_t* first = run + static_cast<size_t>(done) * psr::kRawSectorSize;
                any_feeding = false;
                for (Participant& p : participants) {
                    for (uint32_t i = 0; i < batch && p.feeding; ++i) {
                        p.feeding = p.plugin->scan_sector(p.context, entry, lba + i,
                                                          first + static_cast<size_t>(i) * psr::kRawSectorSize) != 0;
                    }
                    any_feeding |= p.feeding;
                }
                done += batch;
                lba += batch;
            }
        }
        if (const char* why = DwScanError(scan); why && ok) {
            error = why;
            ok = false;
        }
        DwScanClose(scan);
        report.sectors_fed = lba - data.first_lba;
    }

    const uint32_t end_lba = data.first_lba + data.sector_count;
    for (Participant& p : participants) {
        p.plugin->scan_sector(p.context, entry, end_lba, nullptr);
        if (ok) {
            report.took_part.push_back(&p.plugin->file());
            const int32_t count = p.plugin->scan_result(p.context, 0, nullptr);
            for (int32_t i = 0; i < count; ++i) {
                FoundStream found;
                found.plugin = &p.plugin->file();
                found.index = i;
                if (p.plugin->scan_result(p.context, i, &found.info) > 0) {
                    judge_stream(disc, found);
                    report.streams.push_back(found);
                }
            }
        }
        p.plugin->scan_end(p.context);
    }
    return ok;
}

}  // namespace quorvex
