// The image formats discwell reads, one driver file each, and how an image is recognised: by its
// content, whatever its name.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disc.h"
#include "image_file.h"
#include "problem.h"

namespace discwell {

// What a format's probe sees of a file: its name and its first bytes.
struct ImageHead {
    std::string path;
    uint8_t bytes[64] = {};
    size_t size = 0;  // of `bytes` read: fewer for a shorter file

    bool starts_with(std::string_view magic) const;
    bool named(std::string_view extension) const;  // ".ccd", compared without regard to case
};

// Whether a file is a disc image, the other files it consists of (DwProbeImage), and its format.
struct ImageProbe {
    int32_t verdict = DW_PROBE_NOT_IMAGE;
    std::vector<std::string> parts;
    const char* format = nullptr;  // the format's name, for an image
    DwFormat id = DW_FORMAT_NONE;
    const char* what = nullptr;    // for a file that is no image, what it is when known ("a ZIP archive")
};
ImageProbe probe_image(const std::string& path);  // image_formats.cpp
// The title a PBP file holds (its PARAM.SFO's TITLE), empty for any other file.
std::string pbp_title(const std::string& path);  // image_pbp.cpp

// One image format discwell reads: one driver file each (image_*.cpp), which defines its entry,
// and one line in the table of formats (image_formats.cpp), in the order they are tried.
struct ImageFormat {
    DwFormat id;
    const char* name;  // as people call it: "CHD", "CUE sheet"
    // Whether a file is of this format, from its name and first bytes.
    bool (*probe)(const ImageHead& head);
    // Fills `disc` with its tracks and sectors, or says what is wrong in `problem`.
    bool (*open)(const ImageHead& head, bool map, Disc& disc, Problem& problem);
    // The verdict for DwProbeImage and the other files the image spans: an image whose files are
    // not all there is unreadable.
    ImageProbe (*files)(const ImageHead& head);
};

// An image of one file that needs no other.
ImageProbe whole_file(const ImageHead& head);
// A path without its extension ("game.ccd" -> "game").
std::string without_extension(const std::string& path);
// Whether a file can be opened for reading.
bool file_exists(const std::string& path);

// The sectors of a file that holds one or more tracks' raw sectors, as a CUE sheet or a CloneCD
// control file names it: 2352-byte sectors, 2448-byte sectors (with subchannel), or an ECM file
// of them. `error` names the file.
std::shared_ptr<const SectorSource> open_track_file(const std::string& path, bool map, Problem& problem);
// The sectors of a track file already open: ECM or raw sectors, 2352 or 2448 bytes each.
std::shared_ptr<const SectorSource> track_file_sectors(std::unique_ptr<ImageFile> file, const std::string& path, Problem& problem);

// Raw sectors of a file, `stride` bytes apart (2352, or 2448 with the subchannel after each).
std::shared_ptr<const SectorSource> raw_sectors(std::unique_ptr<ImageFile> file, uint32_t stride);

// The sectors an ECM file decodes to (image_ecm.cpp).
std::shared_ptr<const SectorSource> ecm_sectors(const std::string& path, std::string& error);

}  // namespace discwell
