// The files of a disc's data track, from its ISO9660 directory: every directory walked, Form 1
// and Form 2 files alike, so that streams can be named by the files they lie in. The directory is
// read like everything else on a disc: as untrusted bytes. Records that point outside the disc,
// loop back or overlap are not followed, and the reason is kept for a warning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvex {

struct DiscFile {
    std::string path;        // "MOVIE/OPENING.STR", without the ";1" version
    uint32_t first_sector;   // the extent's first LBA
    uint32_t sector_count;   // sectors of the extent
    bool form2 = false;      // XA attributes: Form 2 sectors (real-time sound and movies)
    bool interleaved = false;
    uint32_t end_sector() const { return first_sector + sector_count; }
};

struct DiscDirectory {
    std::string volume_id;  // the primary volume descriptor's identifier, trailing spaces removed
    std::vector<DiscFile> files;  // by first sector
    std::string problem;          // why the directory is incomplete or missing, if it is
    // Sectors the image holds, and the volume says it has: a dump cut short holds fewer, and its
    // last files run past its end (they are kept, as the files they are).
    uint32_t image_sectors = 0;
    uint32_t volume_sectors = 0;
    bool readable() const { return problem.empty(); }
    bool cuts(const DiscFile& f) const { return f.end_sector() > image_sectors; }

    // The file whose extent holds `lba`, or null.
    const DiscFile* file_at(uint32_t lba) const;
};

// Reads the directory of `disc` (a discwell handle) from the volume descriptor in sector 16.
DiscDirectory read_disc_directory(uint32_t disc);

// The boot file that SYSTEM.CNF names ("SLUS_012.34"), or empty.
std::string boot_file(uint32_t disc, const DiscDirectory& directory);

}  // namespace quorvex
