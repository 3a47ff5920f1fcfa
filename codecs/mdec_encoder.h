// An MDEC encoder: pictures into the frame data of STR movies (mdec.h has the format).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "mdec.h"

namespace codecs {

// The planes of an RGB picture (`width` x `height`, 3 bytes a pixel) whose RGB, as the console
// converts them, lies nearest it: each 2x2 block's chroma and lumas chosen together in least
// squares, a channel the console would clamp to its target left free.
Picture console_planes(std::span<const uint8_t> rgb, int width, int height);

// A picture coded at the scale `qscale` (1 to 63) in bitstream `version` (2 or 3).
std::vector<uint8_t> encode_mdec(const Picture& picture, uint16_t qscale, uint16_t version);

// The finest scale from 1 up whose frame fits in `max_bytes`.
std::vector<uint8_t> encode_mdec_within(const Picture& picture, uint16_t version, uint32_t max_bytes);

// How a picture was fitted into its room.
struct FitReport {
    uint16_t scale = 0;          // the scale written
    uint32_t bytes = 0;          // the frame's bytes, header included
    double error = 0;            // the weighted squared error of the coefficients written
    double scale_only_error = 0;  // and of the scale search alone
    uint16_t scale_only = 0;     // the scale the search alone would write
};

// The best picture that fits `max_bytes`: the finest scale that fits, then the next finer scale
// with its costliest levels lowered (those that lose least picture for the bits they save) until
// it fits, when that loses less than the coarser scale (a second finer scale never won on test
// clips, and costs as much again). A picture too rich for even the coarsest scale fits with its
// levels lowered there; nothing (an empty frame) when not even its DC values fit. The error is
// measured on the DCT coefficients, whose squares sum to the samples' (the transform is
// orthonormal), each chroma block's weighted by what its samples move in the RGB the console shows
// (two channels of four pixels) against a luma block's (three channels of one). `scale_hint`, the
// scale the search alone chose for a picture like this one (the frame before), speeds the search
// and changes nothing written.
std::vector<uint8_t> encode_mdec_fitted(const Picture& picture, uint16_t version, uint32_t max_bytes,
                                        FitReport* report = nullptr, uint16_t scale_hint = 0);

// A picture coded at `scale` with the macroblocks `keep` marks (in coding order) taking the levels
// of `old` (a frame's, as read_mdec_levels reads them, of the same size and version): those
// decode exactly as they did, and only the others are coded anew. The report's error counts the
// blocks coded anew.
std::vector<uint8_t> encode_mdec_keeping(const Picture& picture, uint16_t version, uint16_t scale,
                                         const std::vector<MdecLevels>& old, const std::vector<bool>& keep,
                                         FitReport* report = nullptr);

}  // namespace codecs
