// StrSectorHeader: the first 32 bytes of an STR video chunk's user data.
#pragma once

#include <cstdint>

#include "raw_sector.h"

namespace psr {

inline constexpr uint32_t kStrHeaderSize = 32;
inline constexpr uint32_t kStrChunkDataBytes = 2016;  // MDEC data after the header
inline constexpr uint16_t kMdecMarker = 0x3800;
// User-data offsets of the fields a writer fills or a frame's chunks are matched by.
inline constexpr uint32_t kStrChunkIndexAt = 4;
inline constexpr uint32_t kStrFrameNumberAt = 8;
inline constexpr uint32_t kStrFrameBytesAt = 12;
inline constexpr uint32_t kStrHeaderCopyAt = 20;  // where some discs repeat the MDEC header words

struct StrSectorHeader {
    uint16_t magic;
    uint16_t type;
    uint16_t chunk_index;
    uint16_t chunk_count;
    uint32_t frame_number;
    uint32_t frame_bytes;
    uint16_t width;
    uint16_t height;
    uint32_t word20;
    uint32_t word24;
    uint32_t word28;

    static constexpr StrSectorHeader parse(const RawSector& s) {
        return StrSectorHeader{
            s.user16<0>(),  s.user16<2>(), s.user16<kStrChunkIndexAt>(), s.user16<6>(),
            s.user32<kStrFrameNumberAt>(), s.user32<kStrFrameBytesAt>(), s.user16<16>(), s.user16<18>(),
            s.user32<kStrHeaderCopyAt>(), s.user32<24>(), s.user32<28>(),
        };
    }

    constexpr uint8_t magic_low() const { return static_cast<uint8_t>(magic); }
    constexpr bool type_flag() const { return (type & 0x8000) != 0; }  // bit 7 of user-data byte 3
};

}  // namespace psr
