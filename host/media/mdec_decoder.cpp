#include "mdec_decoder.h"

#include <cstring>

namespace quorvex {

AVFrame* MdecDecoder::decode(const FrameBuffer& unit, std::string& why) {
    return decode(unit.payload, unit.payload_size, unit.width, unit.height, why);
}

AVFrame* MdecDecoder::decode(const uint8_t* data, size_t size, uint32_t width, uint32_t height, std::string& why) {
    if (width == 0 || height == 0 || width > 4096 || height > 4096) {
        why = "no usable picture size";
        return nullptr;
    }
    if (size < 8 || size > (1u << 24)) {
        why = "no MDEC data";
        return nullptr;
    }
    if (!context_ || context_->width != static_cast<int>(width) || context_->height != static_cast<int>(height)) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MDEC);
        context_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!context_) {
            why = "libavcodec has no MDEC decoder";
            return nullptr;
        }
        context_->width = static_cast<int>(width);
        context_->height = static_cast<int>(height);
        context_->thread_count = 1;  // one picture out for each frame in
        if (const int r = avcodec_open2(context_.get(), codec, nullptr); r < 0) {
            why = av::error_text(r);
            context_.reset();
            return nullptr;
        }
    }
    if (!packet_) packet_.reset(av_packet_alloc());
    if (!picture_) picture_.reset(av_frame_alloc());
    av_packet_unref(packet_.get());
    if (av_new_packet(packet_.get(), static_cast<int>(size)) < 0) {
        why = "out of memory";
        return nullptr;
    }
    std::memcpy(packet_->data, data, size);
    int r = avcodec_send_packet(context_.get(), packet_.get());
    if (r >= 0) r = avcodec_receive_frame(context_.get(), picture_.get());
    if (r < 0) {
        why = av::error_text(r);
        context_.reset();  // start afresh at the next frame
        return nullptr;
    }
    return picture_.get();
}

}  // namespace quorvex
