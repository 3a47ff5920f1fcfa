#include "stream_state.h"

#include "scan.h"

namespace quorvex {

StreamState judge_range(uint32_t disc, uint32_t start_sector, uint32_t count, std::string& note) {
    note.clear();
    DwTrack data{};
    if (!data_track(disc, data)) {
        note = "the disc has no data track";
        return StreamState::kUnreadable;
    }
    const uint64_t first = data.first_lba, end = uint64_t{data.first_lba} + data.sector_count;
    const uint64_t start = start_sector, stop = start + count;
    const std::string track = "the data track (sectors " + std::to_string(first) + " to " + std::to_string(end - 1) + ")";
    if (start < first || start >= end) {
        note = "it starts at sector " + std::to_string(start) + ", outside " + track;
        return StreamState::kUnreadable;
    }
    if (stop > end) {
        note = "it runs past the end of " + track + ": the disc holds " + std::to_string(end - start) + " of its " +
               std::to_string(count) + " sectors";
        return StreamState::kCut;
    }
    return StreamState::kWhole;
}

void judge_delivery(StreamState& state, std::string& note, uint32_t delivered, uint32_t counted) {
    if (!counted || delivered >= counted) return;
    const std::string fewer = "it delivers " + std::to_string(delivered) + " of the " + std::to_string(counted) +
                              " frames its scan counted";
    note = note.empty() ? fewer : note + "; " + fewer;
    state = StreamState::kCut;
}

}  // namespace quorvex
