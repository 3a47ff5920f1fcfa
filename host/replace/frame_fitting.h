// New pictures fitted into the room of the frames they replace, on every core: each encoded at
// the best quality that fits (codecs::encode_mdec_fitted), then decoded as quorvex decodes
// frames and measured against the picture given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "replace_media.h"

namespace quorvex {

struct FittedFrame {
    std::vector<uint8_t> mdec;  // empty when not even the DC values fit
    uint16_t scale = 0;
    uint32_t bytes = 0, room = 0;
    double psnr = 0;             // against the picture given, in dB
    double scale_only_error = 0, error = 0;  // squared coefficient error with and without lowering levels
    std::string failure;         // why it could not be encoded or decoded
    bool kept = false;           // no new picture, or one that shows what the frame shows: it stays as it was
    // Given with the picture: the frame's data on the disc and, per macroblock in coding order,
    // whether the new picture shows there what the disc's frame shows. Those macroblocks keep
    // their levels at the frame's own scale when the frame still fits its room.
    std::vector<uint8_t> original;
    std::vector<bool> unchanged;
    uint32_t kept_macroblocks = 0;  // macroblocks written with their levels as they were
    bool refitted = false;          // some were unchanged, but the frame did not fit keeping them
};

struct FitJob {
    const RgbPicture* picture = nullptr;
    uint16_t version = 2;
    uint32_t room = 0;
    FittedFrame* result = nullptr;
};

// Runs `jobs` on `threads` threads (0: one per core), each with its own media decoder.
bool fit_frames(std::vector<FitJob>& jobs, unsigned threads, std::string& error);

}  // namespace quorvex
