// An MDEC decoder that follows the console step by step: the STR bitstream (versions 2 and 3)
// read into the run-length halfwords the console's motion decoder takes, then what that decoder
// does with them: inverse quantisation with its matrix and the frame's scale, saturation to
// 11 bits, the inverse DCT in its fixed-point steps with its scale table, and YCbCr to RGB with
// one chroma sample covering its 2x2 pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mdec.h"

namespace codecs {

// The MDEC's quantisation matrix as STR movies load it, in zigzag order: the MPEG-1 intra matrix
// with 2 for the DC.
uint8_t mdec_matrix(int zigzag_index);

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
// run/level words, then 0xFE00): inverse quantised and saturated coefficients in natural order,
// then the inverse DCT (`way`, or the fastest; a way the machine lacks is taken as the fastest);
// the values are signed, -128 to 127 once clamped.
void mdec_dequantise(std::span<const uint16_t> halfwords, int32_t coefficients[64]);
void mdec_idct(int32_t block[64], std::optional<IdctWay> way = std::nullopt);

// Decodes a whole STR frame (its four header words, then the bitstream) of a `width` x `height`
// picture into full-range YCbCr 4:2:0 planes, as the console's decoder leaves them. False with
// `error` saying where a malformed frame breaks (codes past its end, more than 63 coefficients in
// a block, a code no table holds, a version other than 2 or 3); it never reads past `frame`.
bool decode_mdec(std::span<const uint8_t> frame, uint32_t width, uint32_t height, Picture& planes, std::string& error);

// RGB (3 bytes a pixel) as the console converts YCbCr: each chroma sample covering its 2x2
// pixels, R = Y + 1.402 Cr, G = Y - 0.3437 Cb - 0.7143 Cr, B = Y + 1.772 Cb, rounded and clamped.
std::vector<uint8_t> console_rgb(const Picture& planes);

}  // namespace codecs
