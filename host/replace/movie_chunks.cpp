#include "movie_chunks.h"

#include <algorithm>
#include <cstring>

#include "../../codecs/mdec.h"
#include "../plugins.h"

namespace quorvex {

const MovieLayout* movie_layout(const PluginFile& plugin) { return plugins::str::find_movie_layout(plugin.name()); }

uint8_t sector_channel(const MovieLayout& layout, const uint8_t* sector, bool first_sector) {
    return layout.channel ? layout.channel(psr::RawSector(sector), first_sector) : 0;
}

std::vector<ChunkSpan> chunk_spans(const MovieLayout& layout, std::span<const uint32_t> lbas,
                                   std::span<const uint8_t* const> sectors) {
    std::vector<ChunkSpan> spans;
    for (size_t i = 0; i < lbas.size(); ++i) {
        const plugins::str::ChunkData data = layout.chunks->data(psr::RawSector(sectors[i]), i == 0);
        spans.push_back({lbas[i], data.offset, data.length});
    }
    return spans;
}

bool write_frame(const MovieLayout& layout, std::span<const ChunkSpan> spans, std::span<uint8_t* const> sectors,
                 std::span<const uint8_t> mdec) {
    size_t room = 0;
    for (const ChunkSpan& s : spans) room += s.length;
    if (spans.empty() || mdec.size() > room || mdec.size() < codecs::MdecHeader::kBytes) return false;
    uint8_t old_header[codecs::MdecHeader::kBytes];
    std::memcpy(old_header, sectors[0] + psr::kUserDataOffset + spans[0].offset, sizeof old_header);
    size_t at = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        uint8_t* user = sectors[i] + psr::kUserDataOffset;
        const size_t n = std::min<size_t>(spans[i].length, mdec.size() - at);
        std::memcpy(user + spans[i].offset, mdec.data() + at, n);
        std::memset(user + spans[i].offset + n, 0, spans[i].length - n);
        at += n;
        layout.chunks->describe(user, mdec, old_header);
    }
    return true;
}

}  // namespace quorvex
