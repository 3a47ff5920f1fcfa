#include "disc_copy.h"

#include <cstdio>
#include <cstring>

#include "../../discbuilder/image_writers.h"

namespace quorvex {

bool copy_disc(uint32_t disc, DiscCopy& copy, std::string& error) {
    const uint32_t count = DwSectorCount(disc);
    copy.sectors.assign(size_t{count} * 2352, 0);
    copy.tracks.clear();
    for (int32_t i = 0; i < DwTrackCount(disc); ++i) {
        DwTrack track{};
        if (DwGetTrack(disc, i, &track)) copy.tracks.push_back(track);
    }
    DwScan* scan = DwScanOpen(disc, 0, count);
    uint32_t at = 0;
    const uint8_t* run = nullptr;
    for (uint32_t n; scan && (n = DwScanNext(scan, &run)) > 0; at += n) {
        std::memcpy(copy.sectors.data() + size_t{at} * 2352, run, size_t{n} * 2352);
    }
    if (!scan || at != count) {
        error = scan && DwScanError(scan) ? DwScanError(scan) : "the image could not be read to its end";
        if (scan) DwScanClose(scan);
        return false;
    }
    DwScanClose(scan);
    return true;
}

std::vector<BinFile> bin_files(const DiscCopy& disc, const std::string& cue_stem, bool one_per_track) {
    if (!one_per_track || disc.tracks.size() < 2) return {{cue_stem + ".bin", 0, disc.sector_count()}};
    std::vector<BinFile> files;
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        const uint32_t first = i == 0 ? 0 : disc.tracks[i].first_lba;
        const uint32_t end = i + 1 < disc.tracks.size() ? disc.tracks[i + 1].first_lba : disc.sector_count();
        char number[8];
        std::snprintf(number, sizeof number, "%02u", unsigned{disc.tracks[i].number});
        files.push_back({cue_stem + " (Track " + number + ").bin", first, end - first});
    }
    return files;
}

std::string cue_sheet(const DiscCopy& disc, const std::vector<BinFile>& files) {
    std::string cue;
    size_t file = SIZE_MAX;
    for (const DwTrack& track : disc.tracks) {
        size_t holder = 0;
        while (holder + 1 < files.size() && track.first_lba >= files[holder + 1].first_lba) ++holder;
        if (holder != file) {
            file = holder;
            cue += "FILE \"" + files[file].name + "\" BINARY\r\n";
        }
        const char* mode = track.mode == DW_TRACK_AUDIO ? "AUDIO" : track.mode == DW_TRACK_MODE1 ? "MODE1/2352" : "MODE2/2352";
        const uint32_t at = track.first_lba - files[file].first_lba;
        char line[96];
        std::snprintf(line, sizeof line, "  TRACK %02u %s\r\n    INDEX 01 %02u:%02u:%02u\r\n", unsigned{track.number}, mode,
                      at / 4500, at / 75 % 60, at % 75);
        cue += line;
    }
    return cue;
}

bool write_disc_chd(const DiscCopy& disc, const std::filesystem::path& path, std::string& error) {
    discbuilder::RawDisc raw;
    raw.sectors = disc.sectors;
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        const DwTrack& t = disc.tracks[i];
        const uint32_t end = i + 1 < disc.tracks.size() ? disc.tracks[i + 1].first_lba : disc.sector_count();
        raw.tracks.push_back({t.number, t.mode == DW_TRACK_AUDIO, t.first_lba, end - t.first_lba, 0});
    }
    if (raw.tracks.empty()) raw.tracks.push_back({1, false, 0, disc.sector_count(), 0});
    return discbuilder::write_chd(raw, discbuilder::ChdCodec::kDeflate, path.string(), error);
}

}  // namespace quorvex
