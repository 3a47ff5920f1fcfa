// A disc made from fuzz input: a run of sector records, each its subheader, a length and that
// many bytes of user data (the rest of the sector zero). Seeds written from built discs keep their
// headers and directory sectors whole and cut long data short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzzing {

inline constexpr size_t kSector = 2352;
inline constexpr uint32_t kMaxSectors = 4000;

// Record: file, channel, submode, coding, then a little-endian u16 length, then the user data.
inline std::vector<uint8_t> disc_from_input(const uint8_t* data, size_t size) {
    std::vector<uint8_t> disc;
    size_t at = 0;
    while (at + 6 <= size && disc.size() / kSector < kMaxSectors) {
        uint8_t sector[kSector] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
        std::memcpy(sector + 16, data + at, 4);
        std::memcpy(sector + 20, data + at, 4);
        size_t length = static_cast<size_t>(data[at + 4] | (data[at + 5] << 8));
        at += 6;
        if (length > size - at) length = size - at;
        if (length > kSector - 24) length = kSector - 24;
        std::memcpy(sector + 24, data + at, length);
        at += length;
        disc.insert(disc.end(), sector, sector + kSector);
    }
    return disc;
}

// The record of a raw sector, its user data cut at `keep` bytes and of trailing zeros.
inline void append_record(std::vector<uint8_t>& out, const uint8_t* sector, size_t keep) {
    size_t length = keep < kSector - 24 ? keep : kSector - 24;
    while (length > 0 && sector[24 + length - 1] == 0) --length;
    out.insert(out.end(), sector + 16, sector + 20);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.insert(out.end(), sector + 24, sector + 24 + length);
}

}  // namespace fuzzing
