#include "cd_codes.h"

#include <array>
#include <cstring>

#include "byte_order.h"

namespace codecs {
namespace {

struct Tables {
    // edc[0] is the byte-at-a-time table; edc[k] advances a byte followed by k zero bytes, so
    // that eight bytes are taken at once.
    std::array<std::array<uint32_t, 256>, 8> edc{};
    std::array<uint8_t, 256> ecc_f{};
    std::array<uint8_t, 256> ecc_b{};

    constexpr Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t j = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
            ecc_f[i] = static_cast<uint8_t>(j);
            ecc_b[i ^ j] = static_cast<uint8_t>(i);
            uint32_t e = i;
            for (int k = 0; k < 8; ++k) e = (e >> 1) ^ ((e & 1) ? 0xD8018001u : 0);
            edc[0][i] = e;
        }
        for (size_t k = 1; k < 8; ++k) {
            for (uint32_t i = 0; i < 256; ++i) edc[k][i] = (edc[k - 1][i] >> 8) ^ edc[0][edc[k - 1][i] & 0xFF];
        }
    }
};
constexpr Tables kTables;

void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Multiplies each byte of `x` by 2 in the field of the parity code (polynomial 0x11D).
inline uint64_t times2(uint64_t x) {
    const uint64_t high = (x >> 7) & 0x0101010101010101ull;
    return ((x & 0x7F7F7F7F7F7F7F7Full) << 1) ^ (high * 0x1D);
}

// One parity pass of the product code over the 2236 bytes from `source`: `majors` codewords of
// `minors` bytes each; `gather(minor, lanes)` puts minor byte `minor` of every codeword into
// `lanes`. The codewords are worked on eight at a time, a byte of a 64-bit word each.
template <size_t Majors, typename Gather>
void ecc_pass(uint32_t minors, Gather gather, uint8_t* dest) {
    constexpr size_t kWords = (Majors + 7) / 8;
    uint64_t a[kWords] = {}, b[kWords] = {}, lanes[kWords] = {};
    for (uint32_t minor = 0; minor < minors; ++minor) {
        gather(minor, reinterpret_cast<uint8_t*>(lanes));
        for (size_t w = 0; w < kWords; ++w) {
            a[w] = times2(a[w] ^ lanes[w]);
            b[w] ^= lanes[w];
        }
    }
    uint8_t aa[kWords * 8], bb[kWords * 8];
    std::memcpy(aa, a, sizeof aa);
    std::memcpy(bb, b, sizeof bb);
    for (size_t major = 0; major < Majors; ++major) {
        const uint8_t value = kTables.ecc_b[kTables.ecc_f[aa[major]] ^ bb[major]];
        dest[major] = value;
        dest[major + Majors] = value ^ bb[major];
    }
}

// Where each diagonal of Q starts its pairs of bytes: minor byte n of codewords 2k and 2k + 1.
struct QOffsets {
    std::array<std::array<uint16_t, 26>, 43> at{};
    constexpr QOffsets() {
        for (uint32_t n = 0; n < 43; ++n) {
            for (uint32_t k = 0; k < 26; ++k) at[n][k] = static_cast<uint16_t>((k * 86 + n * 88) % 2236);
        }
    }
};
constexpr QOffsets kQ;

// The parity of `sector` into `parity` (276 bytes: P then Q), the address zeroed for Mode 2. P
// runs down 86 columns of 24 bytes, Q along 52 diagonals of 43, over the header, the data and P.
void parity_of(const uint8_t* sector, uint8_t* parity) {
    uint8_t copy[2352];
    std::memcpy(copy, sector, sizeof copy);
    if (copy[15] == 2) std::memset(copy + 12, 0, 4);
    const uint8_t* source = copy + 12;
    ecc_pass<86>(24, [&](uint32_t row, uint8_t* lanes) { std::memcpy(lanes, source + row * 86, 86); }, copy + 2076);
    ecc_pass<52>(43, [&](uint32_t diagonal, uint8_t* lanes) {
        for (uint32_t k = 0; k < 26; ++k) std::memcpy(lanes + 2 * k, source + kQ.at[diagonal][k], 2);
    }, copy + 2248);
    std::memcpy(parity, copy + 2076, 276);
}

}  // namespace

uint32_t edc_update(uint32_t e, const uint8_t* bytes, size_t n) {
    const auto& t = kTables.edc;
    for (; n >= 8; n -= 8, bytes += 8) {
        const uint32_t low = e ^ (uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                                  uint32_t{bytes[3]} << 24);
        e = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
    }
    for (; n > 0; --n) e = (e >> 8) ^ t[0][(e ^ *bytes++) & 0xFF];
    return e;
}

uint32_t edc(const uint8_t* bytes, size_t n) { return edc_update(0, bytes, n); }

bool sector_codes_match(const uint8_t* sector) {
    const auto stored = [&](size_t at) {
        return uint32_t{sector[at]} | uint32_t{sector[at + 1]} << 8 | uint32_t{sector[at + 2]} << 16 |
               uint32_t{sector[at + 3]} << 24;
    };
    if (std::memcmp(sector, kSync, sizeof kSync) != 0) return true;  // not a data sector
    switch (sector[15]) {
        case 1: return edc(sector, 2064) == stored(2064) && ecc_matches(sector);
        case 2:
            if (sector[18] & 0x20) return stored(2348) == 0 || edc(sector + 16, 2332) == stored(2348);
            return edc(sector + 16, 2056) == stored(2072) && ecc_matches(sector);
        default: return true;
    }
}

void write_edc(uint8_t* sector) {
    if (sector[15] == 1) {
        store_le32(sector + 2064, edc(sector, 2064));
    } else if (sector[18] & 0x20) {
        store_le32(sector + 2348, edc(sector + 16, 2332));
    } else {
        store_le32(sector + 2072, edc(sector + 16, 2056));
    }
}

void write_ecc(uint8_t* sector) { parity_of(sector, sector + 2076); }

bool reseal_sector(uint8_t* sector) {
    if (std::memcmp(sector, kSync, sizeof kSync) != 0 || (sector[15] != 1 && sector[15] != 2)) return false;
    const bool form2 = sector[15] == 2 && (sector[18] & 0x20);
    if (form2) {
        if (le32(sector + 2348) != 0) write_edc(sector);
        return true;
    }
    write_edc(sector);
    write_ecc(sector);
    return true;
}

bool ecc_matches(const uint8_t* sector) {
    uint8_t parity[276];
    parity_of(sector, parity);
    return std::memcmp(parity, sector + 2076, sizeof parity) == 0;
}

}  // namespace codecs
