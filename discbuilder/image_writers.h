// Writers of the other image formats people keep their discs in, for tests of the readers: a
// built disc written as a CHD (by discwell's writer), an ECM file, a PBP file, a CloneCD set, or a
// raw image of 2448-byte sectors with their subchannel. One file each.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "discwell/image_writers.h"

namespace discbuilder {

using discwell::ChdCodec;
using discwell::TrackSpan;

// A disc's raw 2352-byte sectors from LBA 0 (later tracks' pregaps included) and its tracks.
struct RawDisc {
    std::span<const uint8_t> sectors;
    std::vector<TrackSpan> tracks;
    // Hears how far a writer has got, in sectors, for long conversions.
    std::function<void(uint32_t done, uint32_t total)> progress;
    void report(uint32_t done) const {
        if (progress) progress(done, sector_count());
    }

    uint32_t sector_count() const { return static_cast<uint32_t>(sectors.size() / 2352); }
    const uint8_t* sector(uint32_t lba) const { return sectors.data() + size_t{lba} * 2352; }
    // One Mode 2 data track over every sector.
    static RawDisc single_track(std::span<const uint8_t> sectors);
};

// Each writes `path` (and, for CloneCD, the .img and .sub beside the .ccd) or says why not.
bool write_chd(const RawDisc& disc, ChdCodec codec, const std::string& path, std::string& error);  // write_chd.cpp
bool write_ecm(const RawDisc& disc, const std::string& path, std::string& error);                  // write_ecm.cpp
bool write_pbp(const RawDisc& disc, const std::string& path, std::string& error,
               const std::string& title = "QUORVEX TEST DISC");                  // write_pbp.cpp
bool write_clonecd(const RawDisc& disc, const std::string& ccd_path, std::string& error);          // write_subchannel.cpp
bool write_with_subchannel(const RawDisc& disc, const std::string& path, std::string& error);     // write_subchannel.cpp

// Whole file contents, written at once.
bool write_file(const std::string& path, std::span<const uint8_t> bytes, std::string& error);

}  // namespace discbuilder
