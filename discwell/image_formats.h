// The image formats discwell reads, one driver file each, and how an image is recognised: by its
// content, whatever its name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "disc.h"
#include "image_file.h"

namespace discwell {

// Whether a file is a disc image, and the other files it consists of (DwProbeImage).
struct ImageProbe {
    int32_t verdict = DW_PROBE_NOT_IMAGE;
    std::vector<std::string> parts;
};
ImageProbe probe_image(const std::string& path);  // image_formats.cpp

// The track files a CUE sheet names, as paths that exist; `all_there` says whether every one does
// (image_cue.cpp).
std::vector<std::string> cue_track_files(const std::string& path, bool* all_there = nullptr);

// Each driver fills `disc` with its tracks and sectors, or says what is wrong in `error` (a line
// that names the file).
bool open_cue_image(const std::string& path, bool map, Disc& disc, std::string& error);     // image_cue.cpp
bool open_raw_image(const std::string& path, bool map, Disc& disc, std::string& error);     // image_raw.cpp
bool open_clonecd_image(const std::string& path, bool map, Disc& disc, std::string& error);  // image_clonecd.cpp
bool open_chd_image(const std::string& path, Disc& disc, std::string& error);                // image_chd.cpp
bool open_ecm_image(const std::string& path, Disc& disc, std::string& error);                // image_ecm.cpp
bool open_pbp_image(const std::string& path, Disc& disc, std::string& error);                // image_pbp.cpp

// The sectors of a file that holds one or more tracks' raw sectors, as a CUE sheet or a CloneCD
// control file names it: 2352-byte sectors, 2448-byte sectors (with subchannel), or an ECM file
// of them. `error` names the file.
std::shared_ptr<const SectorSource> open_track_file(const std::string& path, bool map, std::string& error);

// What a raw file looks like (image_raw.cpp): a sync pattern at byte `at`; a whole image of cooked
// 2048-byte sectors.
bool has_sync(const ImageFile& file, uint64_t at);
bool looks_cooked(const ImageFile& file);

// Raw sectors of a file, `stride` bytes apart (2352, or 2448 with the subchannel after each).
std::shared_ptr<const SectorSource> raw_sectors(std::unique_ptr<ImageFile> file, uint32_t stride);

// The sectors an ECM file decodes to (image_ecm.cpp).
std::shared_ptr<const SectorSource> ecm_sectors(const std::string& path, std::string& error);

}  // namespace discwell
