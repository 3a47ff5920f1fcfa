#include "../codecs/byte_order.h"
#include "chd_map.h"

#include <algorithm>
#include <array>

namespace discwell::chd {
namespace {

// The codes of the compressed map's type list beyond the plain hunk types.
enum MapCode : uint8_t {
    kRleSmall = 7,    // the previous type again, 2 + the next code times
    kRleLarge = 8,    // the previous type again, 18 + the next two codes (high, low) times
    kSelfSame = 9,    // a copy of the same hunk the previous copy named
    kSelfNext = 10,   // a copy of the hunk after it
    kParentSelf = 11, // the parent's hunk at this hunk's own place
    kParentSame = 12,
    kParentNext = 13,
};
constexpr int kCodes = 16;
constexpr int kMaxBits = 8;

constexpr std::array<uint16_t, 256> kCrcTable = [] {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 8;
        for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1;
        table[i] = static_cast<uint16_t>(c);
    }
    return table;
}();


// Most-significant bit first; reading past the end gives zeros and marks the stream overrun.
class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t read(int bits) {
        uint64_t v = 0;
        for (int i = 0; i < bits; ++i) v = (v << 1) | bit();
        return v;
    }
    uint32_t peek8() const {
        uint32_t v = 0;
        for (int i = 0; i < 8; ++i) {
            const uint64_t at = position_ + static_cast<uint64_t>(i);
            v = (v << 1) | (at / 8 < bytes_.size() ? (bytes_[static_cast<size_t>(at / 8)] >> (7 - at % 8)) & 1u : 0u);
        }
        return v;
    }
    void skip(int bits) {
        position_ += static_cast<uint64_t>(bits);
        if (position_ > uint64_t{bytes_.size()} * 8) overrun_ = true;
    }
    bool overrun() const { return overrun_; }

private:
    uint32_t bit() {
        if (position_ / 8 >= bytes_.size()) {
            overrun_ = true;
            return 0;
        }
        const uint32_t b = (bytes_[static_cast<size_t>(position_ / 8)] >> (7 - position_ % 8)) & 1u;
        ++position_;
        return b;
    }
    std::span<const uint8_t> bytes_;
    uint64_t position_ = 0;
    bool overrun_ = false;
};

class BitWriter {
public:
    void write(uint64_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() = static_cast<uint8_t>(bytes_.back() | (0x80 >> (used_ % 8)));
            ++used_;
        }
    }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    uint64_t used_ = 0;
};

// The canonical Huffman code of the type list: lengths sent run-length coded, codes assigned from
// the longest length down, decoded through a table of every 8-bit prefix.
class TypeCode {
public:
    bool import(BitReader& bits, std::string& why) {
        std::array<uint8_t, kCodes> lengths{};
        for (int code = 0; code < kCodes;) {
            uint32_t n = static_cast<uint32_t>(bits.read(4));
            if (n != 1) {
                lengths[static_cast<size_t>(code++)] = static_cast<uint8_t>(n);
                continue;
            }
            n = static_cast<uint32_t>(bits.read(4));
            if (n == 1) {
                lengths[static_cast<size_t>(code++)] = 1;
                continue;
            }
            const uint32_t repeat = static_cast<uint32_t>(bits.read(4)) + 3;
            if (code + repeat > kCodes) return (why = "the map's code table is corrupt", false);
            for (uint32_t i = 0; i < repeat; ++i) lengths[static_cast<size_t>(code++)] = static_cast<uint8_t>(n);
        }
        std::array<uint32_t, 33> first{};
        for (uint8_t length : lengths) {
            if (length > kMaxBits) return (why = "the map's code table is corrupt", false);
            first[length]++;
        }
        uint32_t start = 0;
        for (int length = 32; length > 0; --length) {
            const uint32_t next = (start + first[static_cast<size_t>(length)]) >> 1;
            if (length != 1 && next * 2 != start + first[static_cast<size_t>(length)]) {
                return (why = "the map's code table is corrupt", false);
            }
            first[static_cast<size_t>(length)] = start;
            start = next;
        }
        table_.fill(0);
        for (int code = 0; code < kCodes; ++code) {
            const uint8_t length = lengths[static_cast<size_t>(code)];
            if (length == 0) continue;
            const uint32_t bits_of = first[length]++;
            const uint32_t shift = kMaxBits - length;
            for (uint32_t fill = 0; fill < (1u << shift); ++fill) {
                table_[(bits_of << shift) | fill] = static_cast<uint16_t>((code << 4) | length);
            }
        }
        if (bits.overrun()) return (why = "the map ends inside its code table", false);
        return true;
    }

    // The next code, or -1 where the bits match none.
    int decode(BitReader& bits) const {
        const uint16_t entry = table_[bits.peek8()];
        if (entry == 0) return -1;
        bits.skip(entry & 0x0F);
        return entry >> 4;
    }

private:
    std::array<uint16_t, 256> table_{};
};

int bits_for(uint64_t value) {
    int n = 0;
    while (n < 64 && (value >> n) != 0) ++n;
    return n;
}

}  // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

bool decode_map(std::span<const uint8_t> bytes, const MapShape& shape, std::vector<Hunk>& map, std::string& why) {
    if (bytes.size() < 16) return (why = "the hunk map is cut short", false);
    const uint64_t map_bytes = codecs::be(bytes.data() + 0, 4);
    const uint64_t first_offset = codecs::be(bytes.data() + 4, 6);
    const auto map_crc = static_cast<uint16_t>(codecs::be(bytes.data() + 10, 2));
    const int length_bits = bytes[12], self_bits = bytes[13], parent_bits = bytes[14];
    if (map_bytes > bytes.size() - 16) return (why = "the hunk map is cut short", false);
    if (length_bits > 32 || self_bits > 32 || parent_bits > 48) return (why = "the hunk map is corrupt", false);
    BitReader bits(bytes.subspan(16, static_cast<size_t>(map_bytes)));
    TypeCode code;
    if (!code.import(bits, why)) return false;

    map.assign(shape.hunks, Hunk{});
    uint8_t last_type = 0;
    uint32_t repeat = 0;
    for (Hunk& hunk : map) {
        if (repeat > 0) {
            hunk.type = last_type;
            --repeat;
            continue;
        }
        const int value = code.decode(bits);
        if (value < 0) return (why = "the hunk map is corrupt", false);
        if (value == kRleSmall || value == kRleLarge) {
            const int a = code.decode(bits);
            const int b = value == kRleLarge ? code.decode(bits) : 0;
            if (a < 0 || b < 0) return (why = "the hunk map is corrupt", false);
            repeat = value == kRleSmall ? 2u + static_cast<uint32_t>(a) : 18u + (static_cast<uint32_t>(a) << 4) + static_cast<uint32_t>(b);
            hunk.type = last_type;  // this hunk, and `repeat` more
        } else {
            hunk.type = last_type = static_cast<uint8_t>(value);
        }
    }

    uint64_t offset = first_offset, last_self = 0, last_parent = 0;
    const uint64_t units_per_hunk = shape.unit_bytes ? shape.hunk_bytes / shape.unit_bytes : 0;
    for (size_t n = 0; n < map.size(); ++n) {
        Hunk& hunk = map[n];
        switch (hunk.type) {
            case kCodec0:
            case kCodec0 + 1:
            case kCodec0 + 2:
            case kCodec0 + 3:
                hunk.length = static_cast<uint32_t>(bits.read(length_bits));
                hunk.offset = offset;
                offset += hunk.length;
                hunk.crc = static_cast<uint16_t>(bits.read(16));
                break;
            case kUncompressed:
                hunk.length = shape.hunk_bytes;
                hunk.offset = offset;
                offset += hunk.length;
                hunk.crc = static_cast<uint16_t>(bits.read(16));
                break;
            case kSelf:
                hunk.offset = last_self = bits.read(self_bits);
                break;
            case kParent:
                hunk.offset = last_parent = bits.read(parent_bits);
                break;
            case kSelfNext:
            case kSelfSame:
                if (hunk.type == kSelfNext) ++last_self;
                hunk.type = kSelf;
                hunk.offset = last_self;
                break;
            case kParentSelf:
                hunk.type = kParent;
                hunk.offset = last_parent = n * units_per_hunk;
                break;
            case kParentNext:
            case kParentSame:
                if (hunk.type == kParentNext) last_parent += units_per_hunk;
                hunk.type = kParent;
                hunk.offset = last_parent;
                break;
            default:
                return (why = "the hunk map names an unknown storage type " + std::to_string(hunk.type), false);
        }
    }
    if (bits.overrun()) return (why = "the hunk map is cut short", false);

    // The map's own check: over each hunk's entry as twelve bytes (type, length, offset, CRC).
    std::vector<uint8_t> entries;
    entries.reserve(map.size() * 12);
    for (const Hunk& hunk : map) {
        entries.push_back(hunk.type);
        for (int i = 2; i >= 0; --i) entries.push_back(static_cast<uint8_t>(hunk.length >> (8 * i)));
        for (int i = 5; i >= 0; --i) entries.push_back(static_cast<uint8_t>(hunk.offset >> (8 * i)));
        entries.push_back(static_cast<uint8_t>(hunk.crc >> 8));
        entries.push_back(static_cast<uint8_t>(hunk.crc));
    }
    if (crc16(entries) != map_crc) return (why = "the hunk map fails its checksum", false);
    return true;
}

std::vector<uint8_t> encode_map(const std::vector<Hunk>& map, uint64_t first_offset) {
    uint32_t longest = 0;
    uint64_t highest_self = 0;
    for (const Hunk& hunk : map) {
        if (hunk.type < kUncompressed) longest = std::max(longest, hunk.length);
        if (hunk.type == kSelf) highest_self = std::max(highest_self, hunk.offset);
    }
    const int length_bits = bits_for(longest), self_bits = bits_for(highest_self);
    BitWriter bits;
    // Every code four bits long: a complete code of sixteen, each length sent as itself.
    for (int code = 0; code < kCodes; ++code) bits.write(4, 4);
    for (const Hunk& hunk : map) bits.write(hunk.type, 4);
    for (const Hunk& hunk : map) {
        if (hunk.type < kUncompressed) bits.write(hunk.length, length_bits);
        if (hunk.type == kSelf) {
            bits.write(hunk.offset, self_bits);
        } else {
            bits.write(hunk.crc, 16);
        }
    }
    std::vector<uint8_t> entries;
    uint64_t offset = first_offset;
    for (const Hunk& hunk : map) {
        Hunk placed = hunk;
        if (hunk.type <= kUncompressed) {
            placed.offset = offset;
            offset += hunk.length;
        } else {
            placed.crc = 0;
            placed.length = 0;
        }
        entries.push_back(placed.type);
        for (int i = 2; i >= 0; --i) entries.push_back(static_cast<uint8_t>(placed.length >> (8 * i)));
        for (int i = 5; i >= 0; --i) entries.push_back(static_cast<uint8_t>(placed.offset >> (8 * i)));
        entries.push_back(static_cast<uint8_t>(placed.crc >> 8));
        entries.push_back(static_cast<uint8_t>(placed.crc));
    }
    const uint16_t crc = crc16(entries);
    std::vector<uint8_t>& body = bits.bytes();
    std::vector<uint8_t> out(16 + body.size());
    const auto size = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (24 - 8 * i));
    for (int i = 0; i < 6; ++i) out[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(first_offset >> (40 - 8 * i));
    out[10] = static_cast<uint8_t>(crc >> 8);
    out[11] = static_cast<uint8_t>(crc);
    out[12] = static_cast<uint8_t>(length_bits);
    out[13] = static_cast<uint8_t>(self_bits);
    out[14] = 0;
    std::copy(body.begin(), body.end(), out.begin() + 16);
    return out;
}

}  // namespace discwell::chd
