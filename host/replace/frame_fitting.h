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
