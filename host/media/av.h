// FFmpeg's objects with owners, and its error codes in words.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace quorvex::av {

inline std::string error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FreeCodec {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreeFrame {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FreePacket {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FreeSws {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct FreeSwr {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FreeFifo {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using Codec = std::unique_ptr<AVCodecContext, FreeCodec>;
using Frame = std::unique_ptr<AVFrame, FreeFrame>;
using Packet = std::unique_ptr<AVPacket, FreePacket>;
using Sws = std::unique_ptr<SwsContext, FreeSws>;
using Swr = std::unique_ptr<SwrContext, FreeSwr>;
using Fifo = std::unique_ptr<AVAudioFifo, FreeFifo>;

}  // namespace quorvex::av
