#include "mdec_decoder.h"

#include <cstring>

#include "../../codecs/mdec_decoder.h"

namespace quorvex {

AVFrame* MdecDecoder::decode(const FrameBuffer& unit, std::string& why) {
    return decode(unit.payload, unit.payload_size, unit.width, unit.height, why);
}

AVFrame* MdecDecoder::decode(const uint8_t* data, size_t size, uint32_t width, uint32_t height, std::string& why) {
    if (how_ == MdecDecoding::kConsole) return decode_as_console(data, size, width, height, why);
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

AVFrame* MdecDecoder::decode_as_console(const uint8_t* data, size_t size, uint32_t width, uint32_t height, std::string& why) {
    if (!decode_planes(data, size, width, height, planes_, why)) return nullptr;
    if (!picture_ || picture_->width != static_cast<int>(width) || picture_->height != static_cast<int>(height) ||
        av_frame_is_writable(picture_.get()) == 0) {
        picture_.reset(av_frame_alloc());
        picture_->format = AV_PIX_FMT_YUVJ420P;
        picture_->width = static_cast<int>(width);
        picture_->height = static_cast<int>(height);
        if (av_frame_get_buffer(picture_.get(), 0) < 0) {
            why = "out of memory";
            picture_.reset();
            return nullptr;
        }
    }
    picture_->color_range = AVCOL_RANGE_JPEG;
    const int cw = (static_cast<int>(width) + 1) / 2, ch = (static_cast<int>(height) + 1) / 2;
    for (uint32_t row = 0; row < height; ++row) {
        std::memcpy(picture_->data[0] + size_t(row) * picture_->linesize[0], &planes_.y[size_t(row) * width], width);
    }
    for (int row = 0; row < ch; ++row) {
        std::memcpy(picture_->data[1] + size_t(row) * picture_->linesize[1], &planes_.cb[size_t(row) * cw], size_t(cw));
        std::memcpy(picture_->data[2] + size_t(row) * picture_->linesize[2], &planes_.cr[size_t(row) * cw], size_t(cw));
    }
    return picture_.get();
}

bool MdecDecoder::decode_planes(const uint8_t* data, size_t size, uint32_t width, uint32_t height, codecs::Picture& planes,
                                std::string& why) {
    if (how_ == MdecDecoding::kConsole) {
        return codecs::decode_mdec({data, size}, width, height, planes, why);
    }
    const AVFrame* picture = decode(data, size, width, height, why);
    if (!picture) return false;
    const int w = picture->width, h = picture->height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    planes.width = static_cast<uint16_t>(w);
    planes.height = static_cast<uint16_t>(h);
    planes.y.resize(size_t(w) * h);
    planes.cb.resize(size_t(cw) * ch);
    planes.cr.resize(planes.cb.size());
    for (int row = 0; row < h; ++row) std::memcpy(&planes.y[size_t(row) * w], picture->data[0] + size_t(row) * picture->linesize[0], size_t(w));
    for (int row = 0; row < ch; ++row) {
        std::memcpy(&planes.cb[size_t(row) * cw], picture->data[1] + size_t(row) * picture->linesize[1], size_t(cw));
        std::memcpy(&planes.cr[size_t(row) * cw], picture->data[2] + size_t(row) * picture->linesize[2], size_t(cw));
    }
    return true;
}

void picture_rgb(const codecs::Picture& planes, const std::string& chroma, std::vector<uint8_t>& rgb) {
    if (chroma == "console") {
        rgb = codecs::console_rgb(planes);
        return;
    }
    const int w = planes.width, h = planes.height, cw = (w + 1) / 2;
    rgb.assign(size_t(w) * h * 3, 0);
    av::Sws sws(sws_getContext(w, h, AV_PIX_FMT_YUVJ420P, w, h, AV_PIX_FMT_RGB24,
                               chroma == "bilinear" ? SWS_BILINEAR : SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!sws) return;
    const uint8_t* in[4] = {planes.y.data(), planes.cb.data(), planes.cr.data()};
    const int in_lines[4] = {w, cw, cw};
    uint8_t* out[4] = {rgb.data()};
    const int out_lines[4] = {w * 3};
    sws_scale(sws.get(), in, in_lines, 0, h, out, out_lines);
}

}  // namespace quorvex
