#include "scan.h"

#include <algorithm>
#include <cstring>

#include "../contract/raw_sector.h"

namespace quorvex {
namespace {

// Sectors handed to one plug-in before the next takes its turn: small enough to stay in cache.
constexpr uint32_t kBatch = 32;

struct Participant {
    const Plugin* plugin;
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

bool scan_disc(uint32_t disc, const std::vector<const Plugin*>& plugins, ScanReport& report, std::string& error) {
    report = ScanReport{};
    const auto table = track_table(disc);
    DwTrack data{};
    const bool has_data = data_track(disc, data);
    const TrackEntry entry = has_data ? entry_for(data) : TrackEntry{};

    std::vector<Participant> participants;
    for (const Plugin* plugin : plugins) {
        ScanContext* context = plugin->scan_begin(static_cast<int32_t>(table.size()), table.data());
        if (context) participants.push_back({plugin, context, has_data});
    }

    bool ok = true;
    uint32_t lba = data.first_lba;
    if (has_data && !participants.empty()) {
        DwScan* scan = DwScanOpen(disc, data.first_lba, data.sector_count);
        const uint8_t* run = nullptr;
        uint32_t n = 0;
        bool any_feeding = true;
        while (any_feeding && (n = DwScanNext(scan, &run)) > 0) {
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
        if (const char* why = DwScanError(scan)) {
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
            report.took_part.push_back(p.plugin);
            const int32_t count = p.plugin->scan_result(p.context, 0, nullptr);
            for (int32_t i = 0; i < count; ++i) {
                StreamInfo info{};
                if (p.plugin->scan_result(p.context, i, &info) > 0) report.streams.push_back({p.plugin, i, info});
            }
        }
        p.plugin->scan_end(p.context);
    }
    return ok;
}

}  // namespace quorvex
