// An MDEC encoder for test pictures: the frame data of STR movies, as the PlayStation's motion
// decoder reads it. Each 16x16 macroblock (taken column by column) holds Cr, Cb and four Y
// blocks of 8x8; each block is a DCT quantised by the MPEG-1 intra matrix times the frame's
// scale, coded as a DC value then run-length pairs in the MPEG-1 variable-length code, with an
// escape of a 6-bit run and a 10-bit level, and an end-of-block code. Version 2 codes the DC in
// 10 bits; version 3 codes its difference from the previous block of the same component. The
// bits fill 16-bit little-endian words from their top bit down, after four header words: the
// count of MDEC codes halved and rounded up to a multiple of 32, 0x3800, the scale and the version.
#pragma once

#include <cstdint>
#include <vector>

namespace discbuilder {

// A picture in full-range YCbCr with 4:2:0 chroma; planes are width x height and half that.
struct Picture {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint8_t> y, cb, cr;
};

// A smooth moving test picture: frame k of a sequence.
Picture test_picture(uint16_t width, uint16_t height, uint32_t frame);

std::vector<uint8_t> encode_mdec(const Picture& picture, uint16_t qscale, uint16_t version);

// The finest scale from 1 up whose frame fits in `max_bytes`.
std::vector<uint8_t> encode_mdec_within(const Picture& picture, uint16_t version, uint32_t max_bytes);

// The encoding of test_picture(width, height, frame), kept for reuse: long movies repeat the
// test sequence every 240 frames.
std::vector<uint8_t> test_picture_frame(uint16_t width, uint16_t height, uint32_t frame, uint16_t version,
                                        uint32_t max_bytes);

}  // namespace discbuilder
