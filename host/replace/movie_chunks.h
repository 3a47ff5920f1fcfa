// Where a movie frame's data lies in its sectors, and how a new frame is written into the same
// sectors with its chunk headers filled as its reader reads them. The layouts themselves are the
// plug-ins' own, declared beside their readers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "plugins/str/movie_layouts.h"

namespace quorvex {

struct PluginFile;
using plugins::str::MovieLayout;

// One piece of a frame's data: `length` bytes of user data from `offset` in the sector at `lba`.
struct ChunkSpan {
    uint32_t lba = 0;
    uint16_t offset = 0;  // from the start of the user data
    uint16_t length = 0;
};

// The movie layout of a plug-in, found by the name it reports; none for a plug-in of music.
const MovieLayout* movie_layout(const PluginFile& plugin);

// The channel a sector belongs to as the layout's reader sees it (0 for layouts of one channel).
uint8_t sector_channel(const MovieLayout& layout, const uint8_t* sector, bool first_sector);

// The spans of a frame's chunks, in order, as the layout's reader copies them.
std::vector<ChunkSpan> chunk_spans(const MovieLayout& layout, std::span<const uint32_t> lbas,
                                   std::span<const uint8_t* const> sectors);

// Writes `mdec` (a whole frame, header words first) into the frame's sectors, a copy of which is
// `sectors` (2352 bytes each, in the order of `spans`): its data zero-padded to the end of its
// spans and the chunk headers' fields that describe it. False when it does not fit.
bool write_frame(const MovieLayout& layout, std::span<const ChunkSpan> spans, std::span<uint8_t* const> sectors,
                 std::span<const uint8_t> mdec);

}  // namespace quorvex
