// The pictures of the sample discs' movies: a smooth moving pattern, MDEC-encoded.
#pragma once

#include <cstdint>
#include <vector>

#include "../codecs/mdec.h"

namespace discbuilder {

// Frame k of the moving test pattern.
codecs::Picture test_picture(uint16_t width, uint16_t height, uint32_t frame);

// The encoding of test_picture(width, height, frame) that fits `max_bytes`, kept for reuse: long
// movies repeat the test sequence every 240 frames.
std::vector<uint8_t> test_picture_frame(uint16_t width, uint16_t height, uint32_t frame, uint16_t version,
                                        uint32_t max_bytes);

}  // namespace discbuilder
