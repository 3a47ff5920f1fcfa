// What a media file holds, read back with FFmpeg's libraries: each video frame's planes and
// time, and the audio as 16-bit samples.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "signal_analysis.h"

namespace testing_support {

struct ProbedFrame {
    double seconds;
    double duration;  // as its packet says
    int width, height;
    std::vector<uint8_t> luma;  // width x height
    std::vector<uint8_t> chroma;  // Cb then Cr, each half the size rounded up, for 4:2:0 pictures
};

struct ProbedMedia {
    bool opened = false;
    std::string video_codec, audio_codec;
    double frame_rate = 0;  // the stream's average rate
    double video_end = 0;   // where the video stream says it ends (start time plus duration), if it says
    std::vector<ProbedFrame> frames;
    int sample_rate = 0, channels = 0;
    double audio_start = 0;  // the first sound packet's time
    std::vector<int16_t> samples;  // interleaved
    // What the file says it holds: its tags (names in lower case), the pictures' colour tags, and
    // which tracks are the default ones.
    std::map<std::string, std::string> tags;
    std::string color_space, chroma_location, color_range;
    bool video_default = false, audio_default = false;
};

// `format` names a demuxer ("psxstr") where the file's content should not be left to probing.
ProbedMedia probe_media(const std::string& path, const char* format = nullptr);

// When the pictures end (the last frame's time plus its duration) and the sound ends.
inline double pictures_end(const ProbedMedia& m) {
    if (m.video_end > 0) return m.video_end;
    return m.frames.empty() ? 0.0 : m.frames.back().seconds + m.frames.back().duration;
}
inline double sound_end(const ProbedMedia& m) {
    return m.sample_rate && m.channels ? m.audio_start + static_cast<double>(m.samples.size()) / m.channels / m.sample_rate : 0.0;
}

}  // namespace testing_support
