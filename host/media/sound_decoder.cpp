#include "sound_decoder.h"

#include <cstring>

#include "../../contract/raw_sector.h"

namespace quorvex {

bool SoundDecoder::open(int channels, int rate, AVSampleFormat format, std::string&) {
    channels_ = channels;
    rate_ = rate;
    format_ = format;
    return true;
}

SoundDecoder::Input* SoundDecoder::input_for(int channels, int rate, bool xa, AVAudioFifo* fifo, std::string& error) {
    const int key = (rate * 4 + channels) * 2 + (xa ? 1 : 0);
    auto found = inputs_.find(key);
    if (found != inputs_.end() && &found->second == current_) return current_;
    // What the converter of the format before still holds comes out before sound of another one.
    if (current_ && !convert(*current_, nullptr, 0, format_, fifo, error)) return nullptr;
    if (found != inputs_.end()) return current_ = &found->second;
    Input input;
    AVSampleFormat in_format = AV_SAMPLE_FMT_S16;
    if (xa) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ADPCM_XA);
        input.xa.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!input.xa) {
            error = "libavcodec has no XA ADPCM decoder";
            return nullptr;
        }
        av_channel_layout_default(&input.xa->ch_layout, channels);
        input.xa->sample_rate = rate;
        if (const int r = avcodec_open2(input.xa.get(), codec, nullptr); r < 0) {
            error = "cannot open the XA ADPCM decoder: " + av::error_text(r);
            return nullptr;
        }
        in_format = input.xa->sample_fmt;
    }
    AVChannelLayout in_layout, out_layout;
    av_channel_layout_default(&in_layout, channels);
    av_channel_layout_default(&out_layout, channels_);
    SwrContext* swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &out_layout, format_, rate_, &in_layout, in_format, rate, 0, nullptr) < 0 ||
        swr_init(swr) < 0) {
        swr_free(&swr);
        error = "cannot convert the sound";
        return nullptr;
    }
    input.convert.reset(swr);
    return current_ = &inputs_.emplace(key, std::move(input)).first->second;
}

bool SoundDecoder::convert(Input& input, const uint8_t* const* data, int samples, AVSampleFormat, AVAudioFifo* fifo,
                           std::string& error) {
    const int room = swr_get_out_samples(input.convert.get(), samples);
    if (room <= 0) return true;
    uint8_t** converted = nullptr;
    if (av_samples_alloc_array_and_samples(&converted, nullptr, channels_, room, format_, 0) < 0) {
        error = "out of memory";
        return false;
    }
    const int produced = swr_convert(input.convert.get(), converted, room, const_cast<const uint8_t**>(data), samples);
    const bool ok = produced >= 0 && av_audio_fifo_write(fifo, reinterpret_cast<void**>(converted), produced) >= produced;
    av_freep(&converted[0]);
    av_freep(&converted);
    if (!ok) error = "cannot convert the sound";
    return ok;
}

bool SoundDecoder::add_xa(const uint8_t* payload, std::span<const XaFormat> sectors, AVAudioFifo* fifo, std::string& error) {
    for (size_t s = 0; s < sectors.size(); ++s) {
        Input* input = input_for(sectors[s].channels, static_cast<int>(sectors[s].sample_rate), true, fifo, error);
        if (!input) return false;
        av_packet_unref(packet_.get());
        if (av_new_packet(packet_.get(), static_cast<int>(psr::kXaAudioBytes)) < 0) {
            error = "out of memory";
            return false;
        }
        std::memcpy(packet_->data, payload + s * psr::kXaAudioBytes, psr::kXaAudioBytes);
        int r = avcodec_send_packet(input->xa.get(), packet_.get());
        if (r < 0) {
            error = "XA sound: " + av::error_text(r);
            return false;
        }
        while ((r = avcodec_receive_frame(input->xa.get(), frame_.get())) == 0) {
            if (!convert(*input, frame_->extended_data, frame_->nb_samples, static_cast<AVSampleFormat>(frame_->format),
                         fifo, error)) {
                return false;
            }
        }
    }
    return true;
}

bool SoundDecoder::add_pcm(std::span<const int16_t> pcm, int channels, int rate, AVAudioFifo* fifo, std::string& error) {
    Input* input = input_for(channels, rate, false, fifo, error);
    if (!input) return false;
    const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(pcm.data())};
    return convert(*input, planes, static_cast<int>(pcm.size() / static_cast<size_t>(channels)), AV_SAMPLE_FMT_S16, fifo, error);
}

bool SoundDecoder::drain(AVAudioFifo* fifo, std::string& error) {
    return !current_ || convert(*current_, nullptr, 0, format_, fifo, error);
}

}  // namespace quorvex
