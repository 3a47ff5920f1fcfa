#include "sector_kit.h"

namespace testing_support {

using psr::store_le16;
using psr::store_le32;

std::vector<uint8_t> chunk_data(const Chunk& c) {
    std::vector<uint8_t> data(2016);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = c.fill ? c.fill : static_cast<uint8_t>(c.frame * 31 + c.index * 7 + i * 13 + 1);
    }
    if (c.index == 0 && c.mdec_header) {
        for (uint16_t w = 0; w < c.junk_words; ++w) store_le16(&data[2 * w], 0x1111);
        uint8_t* header = &data[2u * c.junk_words];
        store_le16(header, 0x00FF);
        store_le16(header + 2, 0x3800);
        store_le16(header + 4, c.mdec_word2);
        store_le16(header + 6, c.mdec_word3);
    }
    return data;
}

void put_chunk(discbuilder::DiscImage& disc, uint32_t lba, const Chunk& c) {
    uint8_t user[2048] = {};
    store_le16(user + 0, c.magic);
    store_le16(user + 2, c.type);
    store_le16(user + 4, c.index);
    store_le16(user + 6, c.count);
    store_le32(user + 8, c.frame);
    store_le32(user + 12, c.bytes);
    if (c.word16 || c.zero_size) {
        store_le32(user + 16, c.word16);
    } else {
        store_le16(user + 16, c.width);
        store_le16(user + 18, c.height);
    }
    store_le32(user + 20, c.word20);
    store_le32(user + 24, c.word24);
    store_le32(user + 28, c.word28);
    const auto data = chunk_data(c);
    std::memcpy(user + 32, data.data(), data.size());
    disc.put(lba, {c.file, c.channel, c.submode, 0}, user);
}

std::vector<uint8_t> audio_data(uint32_t lba, const Audio& a) {
    std::vector<uint8_t> data(2304, static_cast<uint8_t>(a.fill));
    if (a.fill < 0) {
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(lba * 3 + i * 5 + 2);
        store_le32(data.data(), lba);
    }
    return data;
}

void put_audio(discbuilder::DiscImage& disc, uint32_t lba, const Audio& a) {
    disc.put(lba, {a.file, a.channel, a.submode, a.coding}, audio_data(lba, a));
}

void put_channel_audio(discbuilder::DiscImage& disc, uint32_t lba, uint8_t channel, uint8_t submode, uint8_t coding) {
    put_audio(disc, lba, {.coding = coding, .submode = submode, .channel = channel});
}

void put_data(discbuilder::DiscImage& disc, uint32_t lba, std::vector<uint8_t> head, uint8_t submode) {
    head.resize(2048, 0x44);
    disc.put(lba, {0, 0, submode, 0}, head);
}

}  // namespace testing_support
