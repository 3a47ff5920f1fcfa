// What a media file holds, read back with FFmpeg's libraries: each video frame's luma plane and
// time, and the audio as 16-bit samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "signal_analysis.h"

namespace testing_support {

struct ProbedFrame {
    double seconds;
    int width, height;
    std::vector<uint8_t> luma;  // width x height
};

struct ProbedMedia {
    bool opened = false;
    std::string video_codec, audio_codec;
    double frame_rate = 0;  // the stream's average rate
    std::vector<ProbedFrame> frames;
    int sample_rate = 0, channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

ProbedMedia probe_media(const std::string& path);

}  // namespace testing_support
