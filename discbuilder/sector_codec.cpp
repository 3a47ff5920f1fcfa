#include "../codecs/byte_order.h"
#include "sector_codec.h"

#include "../codecs/cd_codes.h"

#include <cstring>

namespace discbuilder {
namespace {

void write_header(uint8_t* sector, uint32_t lba, Subheader sh) {
    std::memcpy(sector, codecs::kSync, 12);
    codecs::put_msf(sector + 12, lba + codecs::kLeadInFrames);
    sector[15] = 2;
    const uint8_t subheader[4] = {sh.file, sh.channel, sh.submode, sh.coding};
    std::memcpy(sector + 16, subheader, 4);
    std::memcpy(sector + 20, subheader, 4);
}

}  // namespace

uint32_t edc(std::span<const uint8_t> bytes) { return codecs::edc(bytes.data(), bytes.size()); }

void encode_sector(uint8_t* sector, uint32_t lba, Subheader subheader, std::span<const uint8_t> data) {
    write_header(sector, lba, subheader);
    const bool form2 = (subheader.submode & 0x20) != 0;
    const size_t room = form2 ? kForm2Bytes : kForm1Bytes;
    const size_t n = data.size() < room ? data.size() : room;
    if (n) std::memcpy(sector + 24, data.data(), n);
    std::memset(sector + 24 + n, 0, room - n);
    codecs::write_edc(sector);
    if (!form2) codecs::write_ecc(sector);
}

}  // namespace discbuilder
