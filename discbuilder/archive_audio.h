// The archives of the Nimbrel game on built discs: index files (.HED) of 8-byte records and data
// files (.MRG) of archive ADPCM, encoded from a tone by choosing each group's filter and shift.
#pragma once

#include <cstdint>
#include <vector>

#include "../codecs/archive_adpcm.h"
#include "disc_image.h"

namespace discbuilder {

struct WrittenArchive {
    uint32_t index_lba = 0;
    uint32_t index_bytes = 0;
    uint32_t data_lba = 0;
    uint32_t data_sectors = 0;
    std::vector<uint32_t> offsets;  // each track's first sector, from the data file's start
    std::vector<uint32_t> lengths;  // in sectors
    std::vector<std::vector<int16_t>> signals;  // what each track was encoded from (interleaved when stereo)
};

// Writes an index file at `index_lba` and its data file at `data_lba`: one track per entry of
// `track_sectors`, back to back, each a tone; mono tracks end with the end-marker group in their
// last block. The index holds two records more than there are tracks, as the game's do.
// With `unique_sectors`, only that many sectors are encoded and the rest repeat them: for discs
// whose sound does not matter, only their size.
WrittenArchive write_archive(DiscImage& disc, uint32_t index_lba, uint32_t data_lba, bool stereo,
                             const std::vector<uint32_t>& track_sectors, uint32_t seed,
                             uint32_t unique_sectors = 0xFFFFFFFF);

inline uint32_t sectors_for_bytes(uint32_t bytes) { return (bytes + 2047) / 2048; }

}  // namespace discbuilder
