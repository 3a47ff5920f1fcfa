// The console's MDEC decoding: pictures the chip itself decoded on a real console, reproduced bit
// for bit (tests/data/mdec/), then the arithmetic's rules on hand-made blocks, the vector ways of
// the transform against the scalar one, and frames of the STR bitstream.
#include <gtest/gtest.h>

#include <random>

#include "codecs/mdec_decoder.h"
#include "codecs/mdec_encoder.h"
#include "support/test_disc.h"

using testing_support::read_bytes;

namespace {

// The chip's captures, copied beside the test.
std::vector<uint8_t> capture(const std::string& name) {
    std::vector<uint8_t> bytes = read_bytes("mdec/" + name);
    EXPECT_FALSE(bytes.empty()) << "mdec/" << name << " is missing beside the test";
    return bytes;
}

std::vector<uint16_t> halfwords(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> words(bytes.size() / 2);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return words;
}

std::vector<int32_t> decoded_block(std::vector<uint16_t> words) {
    std::vector<int32_t> block(64);
    codecs::mdec_dequantise(words, block.data());
    codecs::mdec_idct(block.data());
    return block;
}

codecs::Picture chip_picture(const std::string& name, uint32_t width, uint32_t height) {
    codecs::Picture planes;
    std::string error;
    EXPECT_TRUE(codecs::decode_mdec_halfwords(halfwords(capture(name)), width, height, planes, error)) << error;
    return planes;
}

std::vector<uint8_t> frame_of(uint16_t version, std::vector<uint16_t> words) {
    std::vector<uint8_t> bytes = {0x20, 0x00, 0x00, 0x38, 0x01, 0x00, static_cast<uint8_t>(version), 0x00};
    for (uint16_t w : words) bytes.insert(bytes.end(), {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8)});
    return bytes;
}

}  // namespace

TEST(ConsoleMdec, ReproducesWhatTheChipDecodedBitForBit) {
    // One luma block of 63 coefficients in 8-bit mono mode: every pixel.
    std::vector<int32_t> block = decoded_block(halfwords(capture("heart.mdec")));
    std::vector<uint8_t> mono;
    for (int32_t v : block) mono.push_back(static_cast<uint8_t>(v + 128));
    EXPECT_EQ(mono, capture("heart-8bit.bin"));

    // Four colour macroblocks in 15-bit mode, read block by block as the chip gave them.
    const auto symbols = codecs::console_rgb15(chip_picture("symbols.mdec", 16, 64));
    const auto chip15 = halfwords(capture("symbols-15bit.bin"));
    ASSERT_EQ(chip15.size(), symbols.size());
    size_t differing = 0;
    for (size_t i = 0; i < chip15.size(); ++i) {
        const size_t macroblock = i / 256, luma = i / 64 % 4, row = i / 8 % 8, column = i % 8;
        const size_t y = macroblock * 16 + luma / 2 * 8 + row, x = luma % 2 * 8 + column;
        differing += chip15[i] != symbols[y * 16 + x];
    }
    EXPECT_EQ(differing, 0u);

    // A whole 320x240 picture in 15-bit mode, and in 24-bit mode, where the capture keeps 15 bits
    // of each halfword of video RAM (not the top bit of every second byte).
    const codecs::Picture sunset = chip_picture("sunset.mdec", 320, 240);
    EXPECT_EQ(codecs::console_rgb15(sunset), halfwords(capture("sunset-15bit.bin")));
    const auto rgb = codecs::console_rgb(sunset);
    const auto vram = halfwords(capture("sunset-24bit.bin"));
    ASSERT_EQ(vram.size() * 2, rgb.size());
    differing = 0;
    for (size_t i = 0; i < vram.size(); ++i) differing += ((rgb[2 * i] | rgb[2 * i + 1] << 8) & 0x7FFF) != vram[i];
    EXPECT_EQ(differing, 0u);
    // The 15-bit output rounds from the unrounded sums: never simply the 24-bit bytes over 8.
    size_t rounded_apart = 0;
    const auto sunset15 = codecs::console_rgb15(sunset);
    for (size_t i = 0; i < sunset15.size(); ++i) rounded_apart += (sunset15[i] & 31) != std::min(31, (rgb[3 * i] + 4) >> 3);
    EXPECT_GT(rounded_apart, 1000u);
}

TEST(ConsoleMdec, LevelsBecomeCoefficientsHalfAStepTowardsZero) {
    // The DC: level x 2 x 8 / 8 with one fractional bit, less half a step: 16 -> 63, -16 -> -63.
    int32_t c[64];
    codecs::mdec_dequantise(std::vector<uint16_t>{1 << 10 | 16, 0xFE00}, c);
    EXPECT_EQ(c[0], 63);
    codecs::mdec_dequantise(std::vector<uint16_t>{1 << 10 | 0x3F0, 0xFE00}, c);
    EXPECT_EQ(c[0], -63);
    // A level of +-1 at scale 1 on the places whose matrix entries are 16, 19, 22 and 26: positive
    // products round to the nearest eighth, negative ones down, then half a step towards zero.
    struct Case {
        int zigzag, natural;
        int32_t plus, minus;
    };
    for (const Case& k : {Case{1, 1, 3, -3}, Case{3, 16, 3, -5}, Case{6, 3, 5, -5}, Case{12, 18, 5, -7}}) {
        std::vector<uint16_t> words = {1 << 10, static_cast<uint16_t>((k.zigzag - 1) << 10 | 1), 0xFE00};
        codecs::mdec_dequantise(words, c);
        EXPECT_EQ(c[k.natural], k.plus) << k.zigzag;
        words[1] = static_cast<uint16_t>((k.zigzag - 1) << 10 | 0x3FF);
        codecs::mdec_dequantise(words, c);
        EXPECT_EQ(c[k.natural], k.minus) << k.zigzag;
    }
    // Saturation to 12 bits: 511 x 16 x 63 and its negative.
    codecs::mdec_dequantise(std::vector<uint16_t>{63 << 10, 0x1FF, 0x200, 0xFE00}, c);
    EXPECT_EQ(c[1], 2047);
    EXPECT_EQ(c[8], -2048);
    // A scale of 0 bypasses the matrix: each level times 4, in the order it came.
    codecs::mdec_dequantise(std::vector<uint16_t>{5, 1 << 10 | 0x3FE, 0xFE00}, c);
    EXPECT_EQ(c[0], 20);
    EXPECT_EQ(c[2], -8);
    // A lone DC of 16: 63 x 2896 / 128 -> 1425, >> 4 -> 89; 89 x 1448 / 128 -> 1006, >> 7 -> 7,
    // halved rounding up -> 4: every pixel 132. The extremes saturate.
    EXPECT_EQ(decoded_block({1 << 10 | 16, 0xFE00}), std::vector<int32_t>(64, 4));
    EXPECT_EQ(decoded_block({1 << 10 | 511, 0xFE00}), std::vector<int32_t>(64, 127));
    EXPECT_EQ(decoded_block({1 << 10 | 0x200, 0xFE00}), std::vector<int32_t>(64, -128));
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
            const int32_t value = extreme ? (random() & 1 ? 2047 : -2048) : static_cast<int32_t>(random() % 4096) - 2048;
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

TEST(ConsoleMdec, MalformedInputSaysWhereItBreaks) {
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
    // Halfwords that end before the picture does.
    EXPECT_FALSE(codecs::decode_mdec_halfwords(std::vector<uint16_t>{1 << 10, 0xFE00}, 16, 16, planes, error));
    EXPECT_NE(error.find("end before macroblock 0, block 1"), std::string::npos) << error;
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
