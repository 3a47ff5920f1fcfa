// A stream's sound as 16-bit samples in one format: XA ADPCM sectors decoded by libavcodec, each
// in the format its own subheader gives, or the PCM an archive plug-in decoded; converted to the
// output's rate and layout where they differ.
#pragma once

#include <map>
#include <span>
#include <string>

#include "../playback.h"
#include "av.h"

namespace quorvex {

class SoundDecoder {
public:
    // Output: `channels` at `rate` Hz in `format`.
    bool open(int channels, int rate, AVSampleFormat format, std::string& error);
    // Converted samples go into `fifo`.
    bool add_xa(const uint8_t* payload, std::span<const XaFormat> sectors, AVAudioFifo* fifo, std::string& error);
    bool add_pcm(std::span<const int16_t> pcm, int channels, int rate, AVAudioFifo* fifo, std::string& error);
    // What the converters still hold, at the end of the stream.
    bool drain(AVAudioFifo* fifo, std::string& error);

private:
    struct Input {
        av::Codec xa;  // null for PCM input
        av::Swr convert;
    };
    Input* input_for(int channels, int rate, bool xa, AVAudioFifo* fifo, std::string& error);
    bool convert(Input& input, const uint8_t* const* data, int samples, AVSampleFormat format, AVAudioFifo* fifo,
                 std::string& error);

    int channels_ = 2, rate_ = 37800;
    AVSampleFormat format_ = AV_SAMPLE_FMT_S16;
    std::map<int, Input> inputs_;  // by channels, rate and kind
    Input* current_ = nullptr;     // the last one used: flushed when the format changes
    av::Packet packet_{av_packet_alloc()};
    av::Frame frame_{av_frame_alloc()};
};

}  // namespace quorvex
