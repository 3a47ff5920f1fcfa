// The search for the MDEC bitstream header (count word, 0x3800, quantisation scale, version) in a
// frame's first chunk, which may carry junk between the chunk header and the MDEC data.
#pragma once

#include <cstdint>

#include "raw_sector.h"
#include "str_sector_header.h"

namespace psr {

inline constexpr uint32_t kMdecSearchWords = 24;

// w(i): the word at user-data offset 34 + 2i.
constexpr uint16_t mdec_word(const RawSector& s, uint32_t i) { return load_le16(s.user() + 34 + 2 * i); }

// The smallest i in 0..23 with w(i) = 0x3800, or 24 when none of them is.
constexpr uint32_t mdec_search_index(const RawSector& s) {
    for (uint32_t i = 0; i < kMdecSearchWords; ++i) {
        if (mdec_word(s, i) == kMdecMarker) return i;
    }
    return kMdecSearchWords;
}

// Whether a scanner accepts the chunk as the start of a movie: the marker at the search index (index
// 24 is tested like the others) and a version word of at most 3. With `size_words`, a larger version
// word is also accepted when the two words after the marker equal the header's width and height.
constexpr bool mdec_start_accepted(const RawSector& s, const StrSectorHeader& h, bool size_words) {
    const uint32_t i = mdec_search_index(s);
    if (mdec_word(s, i) != kMdecMarker) return false;
    if (mdec_word(s, i + 2) <= 3) return true;
    return size_words && mdec_word(s, i + 1) == h.width && mdec_word(s, i + 2) == h.height;
}

// Where a reader copies a first chunk's frame data from (the word before the marker), and how much.
constexpr uint32_t mdec_copy_offset(uint32_t search_index) { return kStrHeaderSize + 2 * search_index; }
constexpr uint32_t mdec_copy_limit(uint32_t search_index) { return kStrChunkDataBytes - 2 * search_index; }

}  // namespace psr
