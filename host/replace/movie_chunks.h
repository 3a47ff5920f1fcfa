// Where a movie frame's data lies in its sectors, for each movie layout quorvex reads, and how a
// new frame is written into the same sectors with the layout's own headers filled as its reader
// reads them. Four layouts share the STR chunk header (frame number, chunk numbers, the frame's
// byte count); corvane's chunks carry a countdown header and deliver whole chunks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quorvex {

inline constexpr uint32_t kChunkHeaderBytes = 32;
inline constexpr uint32_t kChunkDataBytes = 2016;

// One piece of a frame's data: `length` bytes of user data from `offset` in the sector at `lba`.
struct ChunkSpan {
    uint32_t lba = 0;
    uint16_t offset = 0;  // from the start of the user data
    uint16_t length = 0;
};

enum class ChunkHeader { kStr, kCountdown };

struct MovieLayout {
    std::string_view plugin;  // the plug-in's file name
    ChunkHeader header;
    // The channel a reader keeps to is taken from the first sector it reads (walcite, corvane);
    // the others play every chunk of the range.
    bool keeps_channel;
};

// The layout of the movie plug-in `plugin` (its file name), or none for a plug-in of music.
const MovieLayout* movie_layout(std::string_view plugin);

// The channel a sector belongs to as the layout's reader sees it (0 for layouts of one channel).
uint8_t sector_channel(const MovieLayout& layout, const uint8_t* sector, bool first_sector);
// Whether a sector is a video chunk of the layout, and whether it begins a frame.
bool is_chunk(const MovieLayout& layout, const uint8_t* sector);
bool begins_frame(const MovieLayout& layout, const uint8_t* sector);
// The frame a chunk belongs to, as its header numbers it (0 for corvane, whose frames count down).
uint32_t chunk_frame_key(const MovieLayout& layout, const uint8_t* sector);

// The spans of a frame's chunks, in order, as the layout's reader copies them.
std::vector<ChunkSpan> chunk_spans(const MovieLayout& layout, std::span<const uint32_t> lbas,
                                   std::span<const uint8_t* const> sectors);

// Writes `mdec` (a whole frame, header words first) into the frame's sectors, a copy of which is
// `sectors` (2352 bytes each, in the order of `spans`): its data zero-padded to the end of its
// spans and the chunk headers' fields that describe it (the STR header's byte count, and the copy
// of the MDEC header words where the original carried one). False when it does not fit.
bool write_frame(const MovieLayout& layout, std::span<const ChunkSpan> spans, std::span<uint8_t* const> sectors,
                 std::span<const uint8_t> mdec);

}  // namespace quorvex
