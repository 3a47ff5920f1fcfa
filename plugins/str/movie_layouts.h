// Where each movie plug-in's reader finds a frame's data in its sectors: which sectors it takes as
// video chunks, the channel it keeps to, and the bytes of each chunk it copies. The readers take
// chunks by these rules; quorvex compiles the same table to write new frames into the places the
// readers will read them from. A plug-in whose movies can be replaced into has its entry here,
// named as the plug-in names itself.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "codecs/mdec.h"
#include "contract/mdec_header_search.h"
#include "contract/raw_sector.h"
#include "contract/sector_class.h"
#include "contract/str_sector_header.h"
#include "corvane_scanner.h"
#include "single_stream_games.h"
#include "walcite_scanner.h"

namespace plugins::str {

// Bytes of user data a chunk holds for its frame, from `offset`.
struct ChunkData {
    uint16_t offset = 0;
    uint16_t length = 0;
};

// The chunk headers the movie layouts use, each with what a writer needs of it.
struct ChunkHeaderRules {
    bool (*begins_frame)(const psr::RawSector&);
    // The frame a chunk belongs to as its header numbers it; 0 where frames are not numbered.
    uint32_t (*frame_key)(const psr::RawSector&);
    ChunkData (*data)(const psr::RawSector&, bool first_chunk);
    // Fills the header fields that describe a frame of `mdec` after its data was written; `old`
    // is the frame's first 8 bytes as they were.
    void (*describe)(uint8_t* user, std::span<const uint8_t> mdec, const uint8_t* old);
};

// The STR chunk header: frame number, chunk numbers, the frame's byte count; the first chunk's
// data begins at the MDEC header search's find. Some discs repeat the MDEC header words in the
// chunk header: they follow the new frame.
inline constexpr ChunkHeaderRules kStrChunks{
    [](const psr::RawSector& s) { return s.user16<psr::kStrChunkIndexAt>() == 0; },
    [](const psr::RawSector& s) { return s.user32<psr::kStrFrameNumberAt>(); },
    [](const psr::RawSector& s, bool first) {
        const uint32_t search = first ? psr::mdec_search_index(s) : 0;
        return ChunkData{static_cast<uint16_t>(psr::mdec_copy_offset(search)),
                         static_cast<uint16_t>(psr::mdec_copy_limit(search))};
    },
    [](uint8_t* user, std::span<const uint8_t> mdec, const uint8_t* old) {
        constexpr size_t kWords = codecs::MdecHeader::kBytes;
        psr::store_le32(user + psr::kStrFrameBytesAt, static_cast<uint32_t>(mdec.size()));
        if (std::memcmp(user + psr::kStrHeaderCopyAt, old, kWords) == 0) std::memcpy(user + psr::kStrHeaderCopyAt, mdec.data(), kWords);
    },
};

// corvane's countdown header: whole chunks of data after it, frames counted down, nothing that
// describes the frame's size.
inline constexpr ChunkHeaderRules kCountdownChunks{
    [](const psr::RawSector& s) { return CountdownHeader::parse(s).chunk_index == 0; },
    [](const psr::RawSector&) { return uint32_t{0}; },
    [](const psr::RawSector&, bool) { return ChunkData{corvane::kChunkDataAt, corvane::kChunkBytes}; },
    [](uint8_t*, std::span<const uint8_t>, const uint8_t*) {},
};

struct MovieLayout {
    std::string_view plugin;  // the name the plug-in reports
    const ChunkHeaderRules* chunks;
    // Whether the reader takes a sector of its channel as a video chunk.
    bool (*is_chunk)(const psr::RawSector&);
    // The channel the reader sees a sector in (the first sector it reads sets the stream's); null
    // where the reader plays every chunk of its range.
    uint8_t (*channel)(const psr::RawSector&, bool first_sector);
};

// What selvane, grivet and tamsel take as a chunk: any sector that is not sound and that the
// game's video test passes.
template <class Game>
constexpr bool single_stream_chunk(const psr::RawSector& s) {
    return !psr::is_xa_audio(s.submode()) && Game::read_video(s, psr::StrSectorHeader::parse(s));
}

template <class Game>
constexpr MovieLayout single_stream_layout() {
    return {Game::kIdentity.name, &kStrChunks, single_stream_chunk<Game>, nullptr};
}

inline constexpr std::array kMovieLayouts{
    single_stream_layout<Selvane>(),
    single_stream_layout<Grivet>(),
    single_stream_layout<Tamsel>(),
    MovieLayout{kWalciteIdentity.name, &kStrChunks,
                [](const psr::RawSector& s) { return !psr::is_xa_audio(s.submode()) && walcite_chunk(psr::StrSectorHeader::parse(s)); },
                walcite_channel},
    MovieLayout{kCorvaneIdentity.name, &kCountdownChunks, [](const psr::RawSector& s) { return s.submode() == corvane::kVideo; },
                [](const psr::RawSector& s, bool) { return s.channel(); }},
};

// The layout of the plug-in that reports `name`, or none (music, or a layout not declared).
constexpr const MovieLayout* find_movie_layout(std::string_view name) {
    for (const MovieLayout& layout : kMovieLayouts) {
        if (layout.plugin == name) return &layout;
    }
    return nullptr;
}

}  // namespace plugins::str
