// Whether a disc's track table holds a data track, as each family reads the table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin_records.h"

namespace psr {

enum class TrackTableRule : uint8_t {
    kStep12,       // STR movie plug-ins walk the table in 12-byte entries
    kStep10,       // archive plug-ins walk it in 10-byte entries
    kSingleEntry,  // corvane and the XA plug-ins accept a one-entry table only
};

constexpr bool is_data_track(const TrackEntry& track) { return (track.bytes[1] & kControlDataTrack) != 0; }

inline bool track_table_has_data_track(TrackTableRule rule, int32_t track_count, const TrackEntry* tracks) {
    if (track_count <= 0 || tracks == nullptr) return false;
    if (rule == TrackTableRule::kSingleEntry) return track_count == 1 && is_data_track(tracks[0]);
    const size_t step = rule == TrackTableRule::kStep12 ? 12 : 10;
    const uint8_t* table = tracks->bytes;
    for (int32_t i = 0; i < track_count; ++i) {
        if (table[static_cast<size_t>(i) * step + 1] & kControlDataTrack) return true;
    }
    return false;
}

}  // namespace psr
