// RawSector: one raw 2352-byte CD sector as the sector library delivers it and the scan hands it in.
#pragma once

#include <cstdint>
#include <cstring>

namespace psr {

inline constexpr uint32_t kRawSectorSize = 2352;
inline constexpr uint32_t kUserDataOffset = 24;     // user data follows the XA subheader
inline constexpr uint32_t kUserDataMaxBytes = 2328;  // a Form 2 sector's user data and its EDC
inline constexpr uint32_t kXaAudioBytes = 2304;      // audio data of an XA audio sector
inline constexpr uint32_t kForm1UserBytes = 2048;

// XA subheader submode bits.
namespace submode {
inline constexpr uint8_t kEndOfFile = 0x80;
inline constexpr uint8_t kRealTime = 0x40;
inline constexpr uint8_t kForm2 = 0x20;
inline constexpr uint8_t kTrigger = 0x10;
inline constexpr uint8_t kData = 0x08;
inline constexpr uint8_t kAudio = 0x04;
inline constexpr uint8_t kVideo = 0x02;
inline constexpr uint8_t kEndOfRecord = 0x01;
// Every XA sound sector carries these three: real-time Form 2 audio.
inline constexpr uint8_t kXaAudio = kRealTime | kForm2 | kAudio;
}  // namespace submode

constexpr uint16_t load_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
constexpr uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
constexpr void store_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A read-only view of a raw sector. Every accessor reads at a fixed offset inside the 2352 bytes.
class RawSector {
public:
    explicit constexpr RawSector(const uint8_t* bytes) : bytes_(bytes) {}

    constexpr const uint8_t* bytes() const { return bytes_; }
    constexpr uint8_t file() const { return bytes_[16]; }
    constexpr uint8_t channel() const { return bytes_[17]; }
    constexpr uint8_t submode() const { return bytes_[18]; }
    constexpr uint8_t coding() const { return bytes_[19]; }
    // Submode (low byte) and coding information (high byte) as one little-endian word.
    constexpr uint16_t class_word() const { return load_le16(bytes_ + 18); }
    // The four subheader bytes: file, channel, submode, coding information.
    uint32_t subheader() const {
        uint32_t v;
        std::memcpy(&v, bytes_ + 16, 4);
        return v;
    }

    constexpr const uint8_t* user() const { return bytes_ + kUserDataOffset; }
    template <uint32_t Offset>
    constexpr uint16_t user16() const {
        static_assert(Offset + 2 <= kUserDataMaxBytes);
        return load_le16(user() + Offset);
    }
    template <uint32_t Offset>
    constexpr uint32_t user32() const {
        static_assert(Offset + 4 <= kUserDataMaxBytes);
        return load_le32(user() + Offset);
    }
    // The 2304 bytes of an XA audio sector's sound data.
    constexpr const uint8_t* audio() const { return user(); }

private:
    const uint8_t* bytes_;
};

}  // namespace psr
