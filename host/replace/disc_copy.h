// A whole disc held in memory to be changed sector by sector, and written out again as a CUE
// sheet with its BIN files or as a CHD (the Deflate CD codec), whatever image it was read from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../../discwell/discwell.h"

namespace quorvex {

struct DiscCopy {
    std::vector<uint8_t> sectors;  // 2352 bytes each, from LBA 0
    std::vector<DwTrack> tracks;
    uint32_t sector_count() const { return static_cast<uint32_t>(sectors.size() / 2352); }
    uint8_t* sector(uint32_t lba) { return sectors.data() + size_t{lba} * 2352; }
    const uint8_t* sector(uint32_t lba) const { return sectors.data() + size_t{lba} * 2352; }
};

bool copy_disc(uint32_t disc, DiscCopy& copy, std::string& error);

// The BIN files a CUE sheet of the disc names: one, or one per track.
struct BinFile {
    std::string name;  // beside the sheet
    uint32_t first_lba = 0, sector_count = 0;
};
std::vector<BinFile> bin_files(const DiscCopy& disc, const std::string& cue_stem, bool one_per_track);
std::string cue_sheet(const DiscCopy& disc, const std::vector<BinFile>& files);

// Writes the disc as a CHD whose hunks are compressed with Deflate (chdman's "cdzl").
bool write_disc_chd(const DiscCopy& disc, const std::filesystem::path& path, std::string& error);

}  // namespace quorvex
