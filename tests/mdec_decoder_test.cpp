// The console's MDEC decoding, checked on hand-made blocks and frames whose pixels were worked out
// from the documented arithmetic: the DC times the matrix's 2, the levels times the matrix and
// the scale, plus 4, over 8, saturated to 11 bits; two passes of the scale table's upper 13 bits,
// each rounded as (sum + 0xFFF) >> 13; clamped to -128..127 and offset by 128.
#include <gtest/gtest.h>

#include <random>

#include "codecs/mdec_decoder.h"
#include "codecs/mdec_encoder.h"

namespace {

std::vector<uint8_t> decoded_block(std::vector<uint16_t> halfwords) {
    int32_t block[64];
    codecs::mdec_dequantise(halfwords, block);
    codecs::mdec_idct(block);
    std::vector<uint8_t> pixels;
    for (int32_t v : block) pixels.push_back(static_cast<uint8_t>(std::clamp(v, -128, 127) + 128));
    return pixels;
}

std::vector<uint8_t> row(const std::vector<uint8_t>& block, int y) { return {block.begin() + 8 * y, block.begin() + 8 * y + 8}; }

std::vector<uint8_t> frame_of(uint16_t version, std::vector<uint16_t> words) {
    std::vector<uint8_t> bytes = {0x20, 0x00, 0x00, 0x38, 0x01, 0x00, static_cast<uint8_t>(version), 0x00};
    for (uint16_t w : words) bytes.insert(bytes.end(), {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8)});
    return bytes;
}

}  // namespace

TEST(ConsoleMdec, BlocksComeOutAsTheDocumentedArithmeticGives) {
    // A lone DC of 16: 32 after the matrix; 32 x 2896 rounds to 11, 11 x 2896 to 4: every pixel 132.
    EXPECT_EQ(decoded_block({1 << 10 | 16, 0xFE00}), std::vector<uint8_t>(64, 132));
    // Saturation at both ends: DC 511 gives 128 before the clamp, DC -512 exactly -128.
    EXPECT_EQ(decoded_block({1 << 10 | 511, 0xFE00}), std::vector<uint8_t>(64, 255));
    EXPECT_EQ(decoded_block({1 << 10 | 0x200, 0xFE00}), std::vector<uint8_t>(64, 0));
    // A level of 5 on the first horizontal frequency at scale 1: (5 x 16 + 4) / 8 = 10.
    const auto ramp = decoded_block({1 << 10 | 16, 5, 0xFE00});
    for (int y = 0; y < 8; ++y) EXPECT_EQ(row(ramp, y), (std::vector<uint8_t>{134, 134, 133, 132, 131, 131, 130, 130})) << y;
    // A level of 3 at the matrix's far corner (83) after 62 zeros, at scale 2: 62.
    const auto corner = decoded_block({2 << 10 | 0, 62 << 10 | 3, 0xFE00});
    EXPECT_EQ(row(corner, 0), (std::vector<uint8_t>{129, 126, 130, 125, 131, 126, 130, 127}));
    EXPECT_EQ(row(corner, 7), (std::vector<uint8_t>{127, 130, 126, 131, 125, 130, 126, 129}));
    // Coefficients saturate to 11 bits before the transform: 511 x 16 x 63 and its negative.
    int32_t coefficients[64];
    codecs::mdec_dequantise(std::vector<uint16_t>{63 << 10, 0x1FF, 0x200, 0xFE00}, coefficients);
    EXPECT_EQ(coefficients[1], 0x3FF);
    EXPECT_EQ(coefficients[8], -0x400);
}

// The transform has a scalar way and vector ways; whichever the machine takes, the pixels are the
// same. Blocks of a few rows and columns (the vector ways sum only those) up to full ones, with
// values up to the saturated extremes.
TEST(ConsoleMdec, EveryWayOfTheTransformGivesTheSameValues) {
    std::mt19937 random(27);
    for (int trial = 0; trial < 3000; ++trial) {
        const uint32_t columns = random() & 0xFF, rows = random() & 0xFF;
        const bool extreme = trial % 5 == 0;
        int32_t block[64];
        for (int i = 0; i < 64; ++i) {
            const bool used = i == 0 || (columns >> (i % 8) & 1 && rows >> (i / 8) & 1 && random() % 3 == 0);
            const int32_t value = extreme ? (random() & 1 ? 0x3FF : -0x400) : static_cast<int32_t>(random() % 2048) - 1024;
            block[i] = used ? value : 0;
        }
        int32_t expected[64];
        std::copy_n(block, 64, expected);
        codecs::mdec_idct(expected, codecs::IdctWay::kScalar);
        for (codecs::IdctWay way : codecs::mdec_idct_ways()) {
            int32_t got[64];
            std::copy_n(block, 64, got);
            codecs::mdec_idct(got, way);
            ASSERT_TRUE(std::equal(got, got + 64, expected)) << "way " << static_cast<int>(way) << ", trial " << trial;
        }
    }
}

TEST(ConsoleMdec, VersionThreePredictsEachDcFromTheLastOfItsComponent) {
    // One macroblock: Cr and Cb unchanged from 128, then the luma DCs +72, 0, -10, +20 from the
    // last luma block: 200, 200, 190, 210.
    const auto frame = frame_of(3, {0x22FA, 0x452C, 0xB752});
    codecs::Picture planes;
    std::string error;
    ASSERT_TRUE(codecs::decode_mdec(frame, 16, 16, planes, error)) << error;
    EXPECT_EQ(planes.y[0], 200);
    EXPECT_EQ(planes.y[8], 200);
    EXPECT_EQ(planes.y[16 * 8], 190);
    EXPECT_EQ(planes.y[16 * 15 + 15], 210);
    EXPECT_EQ(planes.cb, std::vector<uint8_t>(64, 128));
    EXPECT_EQ(planes.cr, std::vector<uint8_t>(64, 128));
    // The console's colours: a chroma sample covers its 2x2 pixels.
    const auto rgb = codecs::console_rgb(planes);
    EXPECT_EQ(rgb[0], 200);
    EXPECT_EQ(rgb[(16 * 15 + 15) * 3 + 2], 210);
}

TEST(ConsoleMdec, MalformedFramesSayWhereTheyBreak) {
    std::string error;
    codecs::Picture planes;
    const auto whole = frame_of(3, {0x22FA, 0x452C, 0xB752});
    EXPECT_FALSE(codecs::decode_mdec(std::span(whole).first(10), 16, 16, planes, error));
    EXPECT_NE(error.find("ends inside"), std::string::npos) << error;
    EXPECT_FALSE(codecs::decode_mdec(frame_of(4, {0x22FA, 0x452C, 0xB752}), 16, 16, planes, error));
    EXPECT_NE(error.find("version 4"), std::string::npos) << error;
    // 64 levels of one in the first block (version 2: a 10-bit DC, then "11" and a sign each).
    std::string bits = "0000000000";
    for (int i = 0; i < 64; ++i) bits += "110";
    bits += std::string((16 - bits.size() % 16) % 16, '0');
    std::vector<uint16_t> words;
    for (size_t i = 0; i < bits.size(); i += 16) words.push_back(static_cast<uint16_t>(std::stoul(bits.substr(i, 16), nullptr, 2)));
    words.insert(words.end(), 40, 0);
    EXPECT_FALSE(codecs::decode_mdec(frame_of(2, words), 16, 16, planes, error));
    EXPECT_NE(error.find("more than 63"), std::string::npos) << error;
    // Sixteen zero bits are no code of the table.
    EXPECT_FALSE(codecs::decode_mdec(frame_of(2, {0x0000, 0x0000, 0x0000, 0x0000}), 16, 16, planes, error));
    EXPECT_NE(error.find("no table holds"), std::string::npos) << error;
}

TEST(ConsoleMdec, DecodesTheEncodersFramesToTheirPlanes) {
    codecs::Picture flat;
    flat.width = 32;
    flat.height = 16;
    flat.y.assign(32 * 16, 0);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 32; ++x) flat.y[size_t(y) * 32 + x] = x < 16 ? 200 : 60;
    }
    flat.cb.assign(16 * 8, 100);
    flat.cr.assign(16 * 8, 170);
    for (const uint16_t version : {uint16_t{2}, uint16_t{3}}) {
        codecs::Picture planes;
        std::string error;
        ASSERT_TRUE(codecs::decode_mdec(codecs::encode_mdec(flat, 1, version), 32, 16, planes, error)) << error;
        EXPECT_EQ(planes.y, flat.y) << version;
        EXPECT_EQ(planes.cb, flat.cb) << version;
        EXPECT_EQ(planes.cr, flat.cr) << version;
    }
}
