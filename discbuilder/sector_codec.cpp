#include "sector_codec.h"

#include <array>
#include <cstring>

namespace discbuilder {
namespace {

struct Tables {
    std::array<uint32_t, 256> edc{};
    std::array<uint8_t, 256> ecc_f{};
    std::array<uint8_t, 256> ecc_b{};

    constexpr Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t j = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
            ecc_f[i] = static_cast<uint8_t>(j);
            ecc_b[i ^ j] = static_cast<uint8_t>(i);
            uint32_t e = i;
            for (int k = 0; k < 8; ++k) e = (e >> 1) ^ ((e & 1) ? 0xD8018001u : 0);
            edc[i] = e;
        }
    }
};
constexpr Tables kTables;

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

void write_header(uint8_t* sector, uint32_t lba, Subheader sh) {
    static constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memcpy(sector, kSync, 12);
    const uint32_t frames = lba + kLeadInFrames;
    sector[12] = to_bcd(frames / 4500);
    sector[13] = to_bcd(frames / 75 % 60);
    sector[14] = to_bcd(frames % 75);
    sector[15] = 2;
    const uint8_t subheader[4] = {sh.file, sh.channel, sh.submode, sh.coding};
    std::memcpy(sector + 16, subheader, 4);
    std::memcpy(sector + 20, subheader, 4);
}

}  // namespace

uint32_t edc(std::span<const uint8_t> bytes) {
    uint32_t e = 0;
    for (uint8_t byte : bytes) e = (e >> 8) ^ kTables.edc[(e ^ byte) & 0xFF];
    return e;
}

namespace {

void encode_form1(uint8_t* sector, uint32_t lba, Subheader subheader, std::span<const uint8_t> data) {
    write_header(sector, lba, subheader);
    const size_t n = data.size() < kForm1Bytes ? data.size() : kForm1Bytes;
    if (n) std::memcpy(sector + 24, data.data(), n);
    std::memset(sector + 24 + n, 0, kForm1Bytes - n);
    const uint32_t check = edc({sector + 16, 2056});
    for (int i = 0; i < 4; ++i) sector[2072 + i] = static_cast<uint8_t>(check >> (8 * i));
    // Mode 2 computes the parity with the address bytes taken as zero.
    uint8_t address[4];
    std::memcpy(address, sector + 12, 4);
    std::memset(sector + 12, 0, 4);
    ecc_pass(sector + 12, 86, 24, 2, 86, sector + 2076);
    ecc_pass(sector + 12, 52, 43, 86, 88, sector + 2248);
    std::memcpy(sector + 12, address, 4);
}

void encode_form2(uint8_t* sector, uint32_t lba, Subheader subheader, std::span<const uint8_t> data) {
    write_header(sector, lba, subheader);
    const size_t n = data.size() < kForm2Bytes ? data.size() : kForm2Bytes;
    if (n) std::memcpy(sector + 24, data.data(), n);
    std::memset(sector + 24 + n, 0, kForm2Bytes - n);
    const uint32_t check = edc({sector + 16, 2332});
    for (int i = 0; i < 4; ++i) sector[2348 + i] = static_cast<uint8_t>(check >> (8 * i));
}

}  // namespace

void encode_sector(uint8_t* sector, uint32_t lba, Subheader subheader, std::span<const uint8_t> data) {
    if (subheader.submode & 0x20) {
        encode_form2(sector, lba, subheader, data);
    } else {
        encode_form1(sector, lba, subheader, data);
    }
}

}  // namespace discbuilder
