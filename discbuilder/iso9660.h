// An ISO9660 volume on a built disc: the primary volume descriptor at sector 16 with any volume
// identifier, its terminator, path tables, and a root directory naming files at chosen sectors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disc_image.h"

namespace discbuilder {

struct IsoFile {
    std::string name;  // "BGM.HED"; the version suffix ";1" is added
    uint32_t lba;
    uint32_t size_bytes;
};

inline constexpr uint32_t kIsoRootLba = 22;

// Writes sectors 0 to 21 and the root directory from `root_lba` (one or more sectors). The files'
// own sectors are the caller's to write. The volume identifier is padded with spaces to 32 bytes.
void write_iso_volume(DiscImage& disc, std::string_view volume_id, std::vector<IsoFile> files,
                      uint32_t root_lba = kIsoRootLba);

// How many sectors the root directory of these files takes.
uint32_t iso_root_sectors(const std::vector<IsoFile>& files);

}  // namespace discbuilder
