// PNG pictures of 8-bit RGB, written by quorvex itself in every build: each row filtered the way
// that leaves the smallest sum of differences, then deflated by zlib (stored, uncompressed, in a
// build without it: still a valid PNG).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvex {

// The whole file of a `width` x `height` picture whose `rgb` holds 3 bytes a pixel, row by row,
// deflated at zlib's `level` (0: stored, as a build without zlib always does). Level 1 is the
// default: on movie frames, four times as fast as 6 for files a third larger.
std::vector<uint8_t> encode_png(std::span<const uint8_t> rgb, uint32_t width, uint32_t height, int level = 1);

}  // namespace quorvex
