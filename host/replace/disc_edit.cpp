#include "disc_edit.h"
#include "../../contract/raw_sector.h"

#include <cstring>

namespace quorvex {
constexpr size_t kSector = psr::kRawSectorSize;


bool read_sectors(uint32_t disc, uint32_t lba, uint32_t count, uint8_t* out, std::string& error) {
    if (count == 0) return true;
    DwScan* scan = DwScanOpen(disc, lba, count);
    uint32_t at = 0;
    const uint8_t* run = nullptr;
    for (uint32_t n; scan && at < count && (n = DwScanNext(scan, &run)) > 0; at += n) {
        std::memcpy(out + size_t{at} * kSector, run, size_t{n} * kSector);
    }
    const bool whole = scan && at == count;
    if (!whole) error = scan && DwScanError(scan) ? DwScanError(scan) : "sector " + std::to_string(lba + at) + " lies past the disc's end";
    if (scan) DwScanClose(scan);
    return whole;
}

DiscEdit::DiscEdit(uint32_t input) : input_(input), count_(DwSectorCount(input)) {
    for (int32_t i = 0; i < DwTrackCount(input); ++i) {
        DwTrack track{};
        if (DwGetTrack(input, i, &track)) tracks_.push_back(track);
    }
}

std::vector<discwell::TrackSpan> DiscEdit::track_spans() const {
    std::vector<discwell::TrackSpan> spans;
    for (size_t i = 0; i < tracks_.size(); ++i) {
        const DwTrack& t = tracks_[i];
        const uint32_t end = i + 1 < tracks_.size() ? tracks_[i + 1].first_lba : count_;
        spans.push_back({t.number, t.mode == DW_TRACK_AUDIO, t.first_lba, end - t.first_lba, 0,
                         static_cast<uint8_t>(t.mode == DW_TRACK_MODE1 ? 1 : 2)});
    }
    if (spans.empty()) spans.push_back({1, false, 0, count_, 0, 2});
    // Sectors before the first track (a CUE sheet's first INDEX 01 past 0) go with it.
    if (spans.front().first_lba > 0) spans.front().pregap = spans.front().first_lba;
    return spans;
}

bool DiscEdit::read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const {
    if (!read_sectors(input_, lba, count, out, error)) return false;
    for (auto it = edits_.lower_bound(lba); it != edits_.end() && it->first - lba < count; ++it) {
        std::memcpy(out + size_t{it->first - lba} * kSector, it->second.after.data(), kSector);
    }
    return true;
}

uint8_t* DiscEdit::edit(uint32_t lba, std::string& error) {
    if (auto it = edits_.find(lba); it != edits_.end()) return it->second.after.data();
    Edited e;
    if (!read_sectors(input_, lba, 1, e.before.data(), error)) return nullptr;
    e.after = e.before;
    return edits_.emplace(lba, e).first->second.after.data();
}

std::vector<uint32_t> DiscEdit::changed() const {
    std::vector<uint32_t> out;
    for (const auto& [lba, e] : edits_) {
        if (e.before != e.after) out.push_back(lba);
    }
    return out;
}

uint32_t DiscEdit::open_disc() const {
    std::vector<uint32_t> lbas;
    std::vector<uint8_t> sectors;
    for (const auto& [lba, e] : edits_) {
        if (e.before == e.after) continue;
        lbas.push_back(lba);
        sectors.insert(sectors.end(), e.after.begin(), e.after.end());
    }
    uint32_t disc = 0;
    return DwOpenPatched(input_, lbas.data(), sectors.data(), static_cast<uint32_t>(lbas.size()), &disc) ? disc : 0;
}

}  // namespace quorvex
