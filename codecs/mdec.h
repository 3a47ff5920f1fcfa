// The MDEC's bitstream, as the PlayStation's motion decoder reads it and as STR movies hold it:
// what its encoder and its decoders share. Each 16x16 macroblock (taken column by column) holds
// Cr, Cb and four Y blocks of 8x8; each block is a DCT quantised by the MPEG-1 intra matrix times
// the frame's scale, coded as a DC value then run-length pairs in the MPEG-1 variable-length code,
// with an escape of a 6-bit run and a 10-bit level, and an end-of-block code. Version 2 codes the
// DC in 10 bits; version 3 codes its difference from the previous block of the same component.
// The bits fill 16-bit little-endian words from their top bit down, after four header words: the
// count of MDEC codes halved and rounded up to a multiple of 32, 0x3800, the scale and the version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace codecs {

// The four header words of a frame's bitstream.
struct MdecHeader {
    static constexpr uint16_t kMarker = 0x3800;
    static constexpr size_t kBytes = 8;
    uint16_t count = 0;  // MDEC codes halved, rounded up to a multiple of 32
    uint16_t marker = kMarker;
    uint16_t scale = 0;
    uint16_t version = 0;

    static constexpr MdecHeader parse(const uint8_t* p) {
        auto word = [p](int i) { return static_cast<uint16_t>(p[2 * i] | p[2 * i + 1] << 8); };
        return {word(0), word(1), word(2), word(3)};
    }
};

// A block as coded: its DC (version 2: the 10-bit value; version 3: its component's running DC,
// whose differences are coded) and its AC levels in zigzag order (ac[0] unused).
struct MdecLevels {
    int dc = 0;
    std::array<int16_t, 64> ac{};
};

// How the console turns a chroma pair (each centred on 128) into RGB, in 256ths of a level:
// R = Y + 359 Cr, G = Y - 88 Cb - 183 Cr, B = Y + 454 Cb (the decoder's own rounding aside).
struct ConsoleChroma {
    static constexpr int32_t kCrToR = 359, kCbToG = 88, kCrToG = 183, kCbToB = 454;
    // What a pair adds to each channel, in 1/256 of a level: R from Cr, G from both (the Cb
    // product cut to 1/8 of a level, the Cr one to 1/32), B from Cb.
    struct Terms {
        int32_t r, g, b;
    };
    static constexpr Terms terms(int32_t cb, int32_t cr) {
        return {kCrToR * cr, ((-kCbToG * cb) >> 5 << 5) + ((-kCrToG * cr) >> 3 << 3), kCbToB * cb};
    }
};

// A picture in full-range YCbCr with 4:2:0 chroma; planes are width x height and half that.
struct Picture {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint8_t> y, cb, cr;
};

inline constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The MPEG-1 default intra quantiser matrix, in natural order.
inline constexpr uint8_t kIntraMatrix[64] = {8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37,
                                      19, 22, 26, 27, 29, 34, 34, 38, 22, 22, 26, 27, 29, 34, 37, 40,
                                      22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32, 35, 40, 48, 58,
                                      26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

// MPEG-1 DCT coefficient codes (run, level) -> (code, length), without the sign bit.
struct Code {
    uint16_t bits;
    uint8_t length;
};
struct AcCode {
    uint8_t run, level;
    Code code;
};
inline constexpr AcCode kAcCodes[] = {
    {0, 1, {0x3, 2}},    {0, 2, {0x4, 4}},    {0, 3, {0x5, 5}},    {0, 4, {0x6, 7}},    {0, 5, {0x26, 8}},
    {0, 6, {0x21, 8}},   {0, 7, {0xa, 10}},   {0, 8, {0x1d, 12}},  {0, 9, {0x18, 12}},  {0, 10, {0x13, 12}},
    {0, 11, {0x10, 12}}, {0, 12, {0x1a, 13}}, {0, 13, {0x19, 13}}, {0, 14, {0x18, 13}}, {0, 15, {0x17, 13}},
    {0, 16, {0x1f, 14}}, {0, 17, {0x1e, 14}}, {0, 18, {0x1d, 14}}, {0, 19, {0x1c, 14}}, {0, 20, {0x1b, 14}},
    {0, 21, {0x1a, 14}}, {0, 22, {0x19, 14}}, {0, 23, {0x18, 14}}, {0, 24, {0x17, 14}}, {0, 25, {0x16, 14}},
    {0, 26, {0x15, 14}}, {0, 27, {0x14, 14}}, {0, 28, {0x13, 14}}, {0, 29, {0x12, 14}}, {0, 30, {0x11, 14}},
    {0, 31, {0x10, 14}}, {0, 32, {0x18, 15}}, {0, 33, {0x17, 15}}, {0, 34, {0x16, 15}}, {0, 35, {0x15, 15}},
    {0, 36, {0x14, 15}}, {0, 37, {0x13, 15}}, {0, 38, {0x12, 15}}, {0, 39, {0x11, 15}}, {0, 40, {0x10, 15}},
    {1, 1, {0x3, 3}},    {1, 2, {0x6, 6}},    {1, 3, {0x25, 8}},   {1, 4, {0xc, 10}},   {1, 5, {0x1b, 12}},
    {1, 6, {0x16, 13}},  {1, 7, {0x15, 13}},  {1, 8, {0x1f, 15}},  {1, 9, {0x1e, 15}},  {1, 10, {0x1d, 15}},
    {1, 11, {0x1c, 15}}, {1, 12, {0x1b, 15}}, {1, 13, {0x1a, 15}}, {1, 14, {0x19, 15}}, {1, 15, {0x13, 16}},
    {1, 16, {0x12, 16}}, {1, 17, {0x11, 16}}, {1, 18, {0x10, 16}}, {2, 1, {0x5, 4}},    {2, 2, {0x4, 7}},
    {2, 3, {0xb, 10}},   {2, 4, {0x14, 12}},  {2, 5, {0x14, 13}},  {3, 1, {0x7, 5}},    {3, 2, {0x24, 8}},
    {3, 3, {0x1c, 12}},  {3, 4, {0x13, 13}},  {4, 1, {0x6, 5}},    {4, 2, {0xf, 10}},   {4, 3, {0x12, 12}},
    {5, 1, {0x7, 6}},    {5, 2, {0x9, 10}},   {5, 3, {0x12, 13}},  {6, 1, {0x5, 6}},    {6, 2, {0x1e, 12}},
    {6, 3, {0x14, 16}},  {7, 1, {0x4, 6}},    {7, 2, {0x15, 12}},  {8, 1, {0x7, 7}},    {8, 2, {0x11, 12}},
    {9, 1, {0x5, 7}},    {9, 2, {0x11, 13}},  {10, 1, {0x27, 8}},  {10, 2, {0x10, 13}}, {11, 1, {0x23, 8}},
    {11, 2, {0x1a, 16}}, {12, 1, {0x22, 8}},  {12, 2, {0x19, 16}}, {13, 1, {0x20, 8}},  {13, 2, {0x18, 16}},
    {14, 1, {0xe, 10}},  {14, 2, {0x17, 16}}, {15, 1, {0xd, 10}},  {15, 2, {0x16, 16}}, {16, 1, {0x8, 10}},
    {16, 2, {0x15, 16}}, {17, 1, {0x1f, 12}}, {18, 1, {0x1a, 12}}, {19, 1, {0x19, 12}}, {20, 1, {0x17, 12}},
    {21, 1, {0x16, 12}}, {22, 1, {0x1f, 13}}, {23, 1, {0x1e, 13}}, {24, 1, {0x1d, 13}}, {25, 1, {0x1c, 13}},
    {26, 1, {0x1b, 13}}, {27, 1, {0x1f, 16}}, {28, 1, {0x1e, 16}}, {29, 1, {0x1d, 16}}, {30, 1, {0x1c, 16}},
    {31, 1, {0x1b, 16}},
};
inline constexpr Code kEscape{0x1, 6};
inline constexpr Code kEndOfBlock{0x2, 2};

// DC size codes of MPEG-1 for luminance and chrominance, by the size of the difference.
inline constexpr Code kDcLuma[12] = {{0x4, 3}, {0x0, 2}, {0x1, 2}, {0x5, 3}, {0x6, 3}, {0xe, 4},
                              {0x1e, 5}, {0x3e, 6}, {0x7e, 7}, {0xfe, 8}, {0x1fe, 9}, {0x1ff, 9}};
inline constexpr Code kDcChroma[12] = {{0x0, 2}, {0x1, 2}, {0x2, 2}, {0x6, 3}, {0xe, 4}, {0x1e, 5},
                                {0x3e, 6}, {0x7e, 7}, {0xfe, 8}, {0x1fe, 9}, {0x3fe, 10}, {0x3ff, 10}};

}  // namespace codecs
