// Numbers as disc images and CD sectors store them: little- and big-endian integers, binary-coded
// decimal, and the minute:second:frame addresses of the disc's clock (75 frames a second, LBA 0
// at 00:02:00).
#pragma once

#include <cstdint>

namespace codecs {

constexpr uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
constexpr uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
// A big-endian number of `bytes` bytes (up to eight).
constexpr uint64_t be(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}
constexpr uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(be(p, 4)); }
constexpr uint64_t be64(const uint8_t* p) { return be(p, 8); }

constexpr void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
constexpr void put_be(uint8_t* p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

constexpr uint8_t to_bcd(uint32_t value) { return static_cast<uint8_t>((value / 10) << 4 | (value % 10)); }
// False for a byte that is no binary-coded decimal (a nibble above 9).
constexpr bool from_bcd(uint8_t b, uint32_t& value) {
    if ((b & 0x0F) > 9 || (b >> 4) > 9) return false;
    value = (b >> 4) * 10u + (b & 0x0Fu);
    return true;
}

// The 150 frames (two seconds) of the lead-in before LBA 0.
inline constexpr uint32_t kLeadInFrames = 150;
// The sectors a disc can hold from LBA 0 (00:02:00) to the last address a CD can have, 99:59:74.
inline constexpr uint32_t kMaxDiscSectors = (99 * 60 + 59) * 75 + 74 + 1 - kLeadInFrames;

// The three BCD bytes of an address counted in frames from the start of the lead-in.
constexpr void put_msf(uint8_t* p, uint32_t frames) {
    p[0] = to_bcd(frames / 4500);
    p[1] = to_bcd(frames / 75 % 60);
    p[2] = to_bcd(frames % 75);
}
// The LBA of three BCD bytes; false for bytes that are no address or one in the lead-in.
constexpr bool msf_to_lba(const uint8_t* msf, uint32_t& lba) {
    uint32_t m = 0, s = 0, f = 0;
    if (!from_bcd(msf[0], m) || !from_bcd(msf[1], s) || !from_bcd(msf[2], f) || s > 59 || f > 74) return false;
    const uint32_t frames = (m * 60 + s) * 75 + f;
    if (frames < kLeadInFrames) return false;
    lba = frames - kLeadInFrames;
    return true;
}

}  // namespace codecs
