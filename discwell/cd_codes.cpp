#include "cd_codes.h"

#include <array>
#include <cstring>

namespace cdcodes {
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

// One parity pass of the product code: P uses 86 vectors of 24 bytes, Q 52 diagonals of 43.
void ecc_pass(const uint8_t* source, uint32_t major_count, uint32_t minor_count, uint32_t major_mult,
              uint32_t minor_inc, uint8_t* dest) {
    const uint32_t size = major_count * minor_count;
    for (uint32_t major = 0; major < major_count; ++major) {
        uint32_t index = (major >> 1) * major_mult + (major & 1);
        uint8_t a = 0, b = 0;
        for (uint32_t minor = 0; minor < minor_count; ++minor) {
            const uint8_t t = source[index];
            index += minor_inc;
            if (index >= size) index -= size;
            a ^= t;
            b ^= t;
            a = kTables.ecc_f[a];
        }
        a = kTables.ecc_b[kTables.ecc_f[a] ^ b];
        dest[major] = a;
        dest[major + major_count] = a ^ b;
    }
}

// The parity of `sector` into `parity` (276 bytes: P then Q), the address zeroed for Mode 2.
void parity_of(const uint8_t* sector, uint8_t* parity) {
    uint8_t copy[2352];
    std::memcpy(copy, sector, sizeof copy);
    if (copy[15] == 2) std::memset(copy + 12, 0, 4);
    ecc_pass(copy + 12, 86, 24, 2, 86, copy + 2076);
    ecc_pass(copy + 12, 52, 43, 86, 88, copy + 2248);
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

bool ecc_matches(const uint8_t* sector) {
    uint8_t parity[276];
    parity_of(sector, parity);
    return std::memcmp(parity, sector + 2076, sizeof parity) == 0;
}

}  // namespace cdcodes
