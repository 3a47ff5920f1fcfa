// The hunk map of a CHD (version 5): where each hunk lies in the file, how it is stored and its
// checksum. A compressed file keeps the map itself compressed: a Huffman-coded list of storage
// types, then each hunk's length, checksum or reference as bit fields.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace discwell::chd {

// How a hunk is stored.
enum HunkType : uint8_t {
    kCodec0 = 0,  // compressed by the header's first codec; kCodec0 + i by its i-th
    kUncompressed = 4,
    kSelf = 5,    // a copy of an earlier hunk of this file (`offset` is its number)
    kParent = 6,  // in the parent file
};

struct Hunk {
    uint8_t type = kUncompressed;
    uint32_t length = 0;  // stored bytes
    uint64_t offset = 0;  // file offset, or hunk number for kSelf
    uint16_t crc = 0;     // CRC-16 of the decoded hunk
};

// CRC-16/CCITT (polynomial 0x1021, starting at 0xFFFF), the check of hunks and of the map.
uint16_t crc16(std::span<const uint8_t> bytes);

struct MapShape {
    uint32_t hunks;
    uint32_t hunk_bytes;
    uint32_t unit_bytes;
};

// Decodes a compressed map: `bytes` starts with the map's 16-byte header. On failure says why.
bool decode_map(std::span<const uint8_t> bytes, const MapShape& shape, std::vector<Hunk>& map, std::string& why);

// Writes a compressed map for `map` (whose kSelf entries name earlier hunks), as a decoder of the
// format reads it: the disc builder's CHD writer uses it.
std::vector<uint8_t> encode_map(const std::vector<Hunk>& map, uint64_t first_offset);

}  // namespace discwell::chd
