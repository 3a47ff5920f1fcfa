// An MDEC decoder that does what the console's chip does, bit for bit: the STR bitstream (versions
// 2 and 3) read into the run-length halfwords the chip takes, then the chip's own arithmetic:
// levels into 12-bit coefficients with one fractional bit, the inverse DCT in its two
// multiply-accumulate passes with the widths and truncations of its units, and YCbCr to RGB in
// its fixed point, one chroma sample covering its 2x2 pixels. The arithmetic was fitted to, and
// is tested on, pictures the chip decoded on a real console (tests/data/mdec/).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mdec.h"

namespace codecs {

// The inverse DCT scale table the console is given (its upper 13 bits are used), row by row.
inline constexpr int16_t kIdctScale[64] = {
    0x5A82, 0x5A82, 0x5A82, 0x5A82, 0x5A82, 0x5A82, 0x5A82, 0x5A82,
    0x7D8A, 0x6A6D, 0x471C, 0x18F8, -0x18F9, -0x471D, -0x6A6E, -0x7D8B,
    0x7641, 0x30FB, -0x30FC, -0x7642, -0x7642, -0x30FC, 0x30FB, 0x7641,
    0x6A6D, -0x18F9, -0x7D8B, -0x471D, 0x471C, 0x7D8A, 0x18F8, -0x6A6E,
    0x5A82, -0x5A83, -0x5A83, 0x5A82, 0x5A82, -0x5A83, -0x5A83, 0x5A82,
    0x471C, -0x7D8B, 0x18F8, 0x6A6D, -0x6A6E, -0x18F9, 0x7D8A, -0x471D,
    0x30FB, -0x7642, 0x7641, -0x30FC, -0x30FC, 0x7641, -0x7642, 0x30FB,
    0x18F8, -0x471D, 0x6A6D, -0x7D8B, 0x7D8A, -0x6A6E, 0x471C, -0x18F9,
};

// The inverse DCT is computed the fastest way the machine has; every way gives the same values.
enum class IdctWay { kScalar, kSse2, kAvx2 };
std::vector<IdctWay> mdec_idct_ways();  // those this build and machine have, slowest first

// One block as the console decodes it from its halfwords (a DC word carrying the scale, then
// run/level words, then 0xFE00 or the 63rd coefficient): its 12-bit coefficients in natural order
// (one fractional bit), then the inverse DCT (`way`, or the fastest; a way the machine lacks is
// taken as the fastest), which leaves the block's pixels, signed, -128 to 127.
void mdec_dequantise(std::span<const uint16_t> halfwords, int32_t coefficients[64]);
void mdec_idct(int32_t block[64], std::optional<IdctWay> way = std::nullopt);

// Decodes a whole STR frame (its four header words, then the bitstream) of a `width` x `height`
// picture into full-range YCbCr 4:2:0 planes, as the console's decoder leaves them. False with
// `error` saying where a malformed frame breaks (codes past its end, more than 63 coefficients in
// a block, a code no table holds, a version other than 2 or 3); it never reads past `frame`.
bool decode_mdec(std::span<const uint8_t> frame, uint32_t width, uint32_t height, Picture& planes, std::string& error);

// A frame's blocks as coded, in coding order (each macroblock, column by column: Cr, Cb, then the
// four Y): the levels an encoder can write again to the same pixels. False as decode_mdec is.
bool read_mdec_levels(std::span<const uint8_t> frame, uint32_t width, uint32_t height, MdecHeader& header,
                      std::vector<MdecLevels>& blocks, std::string& error);

// The chip's input itself: run-length halfwords of `width` x `height`'s macroblocks, column by
// column, each block's DC word carrying its own scale. False when they end before the picture.
bool decode_mdec_halfwords(std::span<const uint16_t> words, uint32_t width, uint32_t height, Picture& planes,
                           std::string& error);

// RGB (3 bytes a pixel) as the chip's 24-bit output gives it: each chroma sample covering its 2x2
// pixels, R = Y + 359 Cr / 256, G = Y - 88 Cb / 256 - 183 Cr / 256, B = Y + 454 Cb / 256 in its
// fixed point, rounded and clamped (a sum past 9 bits with its sign wraps first, as the chip's do).
std::vector<uint8_t> console_rgb(const Picture& planes);

// The chip's 15-bit output: 5 bits a channel (red lowest), rounded from the same sums before they
// are cut to 8 bits, and bit 15 as asked.
std::vector<uint16_t> console_rgb15(const Picture& planes, bool bit15 = false);

}  // namespace codecs
