#include "movie_chunks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "../../codecs/byte_order.h"

namespace quorvex {
namespace {

constexpr uint32_t kUser = 24;  // user data in a raw sector
constexpr std::array kLayouts = {
    MovieLayout{"selvane", ChunkHeader::kStr, false}, MovieLayout{"grivet", ChunkHeader::kStr, false},
    MovieLayout{"tamsel", ChunkHeader::kStr, false},  MovieLayout{"walcite", ChunkHeader::kStr, true},
    MovieLayout{"corvane", ChunkHeader::kCountdown, true},
};

uint8_t submode(const uint8_t* sector) { return sector[18]; }
const uint8_t* user(const uint8_t* sector) { return sector + kUser; }

// The word before the MDEC header's 0x3800 marker in a frame's first chunk: 0 to 24 words past the
// chunk header, as the STR readers search for it.
uint32_t mdec_header_words_in(const uint8_t* sector) {
    for (uint32_t i = 0; i < 24; ++i) {
        if (codecs::le16(user(sector) + 34 + 2 * i) == 0x3800) return i;
    }
    return 24;
}

}  // namespace

const MovieLayout* movie_layout(std::string_view plugin) {
    for (const MovieLayout& layout : kLayouts) {
        if (layout.plugin == plugin) return &layout;
    }
    return nullptr;
}

uint8_t sector_channel(const MovieLayout& layout, const uint8_t* sector, bool first_sector) {
    if (!layout.keeps_channel) return 0;
    if (layout.header == ChunkHeader::kCountdown) return sector[17];
    // walcite: sound and its 0x42 sectors by the subheader, chunks by the STR type word.
    const uint8_t mode = submode(sector);
    const bool by_subheader = first_sector ? (mode == 0x64 || mode == 0x42) : ((mode & 0x64) == 0x64 || mode == 0x42);
    return by_subheader ? sector[17] : static_cast<uint8_t>((codecs::le16(user(sector) + 2) >> 10) & 3);
}

bool is_chunk(const MovieLayout& layout, const uint8_t* sector) {
    if (layout.header == ChunkHeader::kCountdown) return submode(sector) == 0x48;
    if ((submode(sector) & 0x64) == 0x64 || (user(sector)[0] & 0xF0) != 0x60) return false;
    const uint16_t index = codecs::le16(user(sector) + 4), count = codecs::le16(user(sector) + 6);
    return index < count;
}

bool begins_frame(const MovieLayout& layout, const uint8_t* sector) {
    if (layout.header == ChunkHeader::kCountdown) return user(sector)[1] == 0;
    return codecs::le16(user(sector) + 4) == 0;
}

uint32_t chunk_frame_key(const MovieLayout& layout, const uint8_t* sector) {
    return layout.header == ChunkHeader::kStr ? codecs::le32(user(sector) + 8) : 0;
}

std::vector<ChunkSpan> chunk_spans(const MovieLayout& layout, std::span<const uint32_t> lbas,
                                   std::span<const uint8_t* const> sectors) {
    std::vector<ChunkSpan> spans;
    for (size_t i = 0; i < lbas.size(); ++i) {
        const uint32_t skip = (i == 0 && layout.header == ChunkHeader::kStr) ? 2 * mdec_header_words_in(sectors[i]) : 0;
        spans.push_back({lbas[i], static_cast<uint16_t>(kChunkHeaderBytes + skip), static_cast<uint16_t>(kChunkDataBytes - skip)});
    }
    return spans;
}

bool write_frame(const MovieLayout& layout, std::span<const ChunkSpan> spans, std::span<uint8_t* const> sectors,
                 std::span<const uint8_t> mdec) {
    size_t room = 0;
    for (const ChunkSpan& s : spans) room += s.length;
    if (spans.empty() || mdec.size() > room || mdec.size() < 8) return false;
    uint8_t old_header[8];
    std::memcpy(old_header, sectors[0] + kUser + spans[0].offset, 8);
    size_t at = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        uint8_t* data = sectors[i] + kUser + spans[i].offset;
        const size_t n = std::min<size_t>(spans[i].length, mdec.size() - at);
        std::memcpy(data, mdec.data() + at, n);
        std::memset(data + n, 0, spans[i].length - n);
        at += n;
        if (layout.header != ChunkHeader::kStr) continue;
        uint8_t* header = sectors[i] + kUser;
        codecs::put_le32(header + 12, static_cast<uint32_t>(mdec.size()));
        // Some discs repeat the MDEC header words in the chunk header: they follow the new frame.
        if (std::memcmp(header + 20, old_header, 8) == 0) std::memcpy(header + 20, mdec.data(), 8);
    }
    return true;
}

}  // namespace quorvex
