#include "media_probe.h"

#include <cmath>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace testing_support {

ProbedMedia probe_media(const std::string& path) {
    ProbedMedia out;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return out;
    avformat_find_stream_info(format, nullptr);
    AVCodecContext* decoders[16] = {};
    SwrContext* swr = nullptr;
    for (unsigned i = 0; i < format->nb_streams && i < 16; ++i) {
        const AVCodecParameters* p = format->streams[i]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(p->codec_id);
        if (!codec) continue;
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], p);
        avcodec_open2(decoders[i], codec, nullptr);
        if (p->codec_type == AVMEDIA_TYPE_VIDEO) {
            out.video_codec = codec->name;
            out.frame_rate = av_q2d(format->streams[i]->avg_frame_rate);
        } else if (p->codec_type == AVMEDIA_TYPE_AUDIO) {
            out.audio_codec = codec->name;
            out.sample_rate = p->sample_rate;
            out.channels = p->ch_layout.nb_channels;
        }
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](unsigned index) {
        AVCodecContext* c = decoders[index];
        while (avcodec_receive_frame(c, frame) == 0) {
            if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
                ProbedFrame f{static_cast<double>(frame->best_effort_timestamp) * av_q2d(format->streams[index]->time_base),
                              frame->width, frame->height, {}};
                for (int y = 0; y < frame->height; ++y) {
                    f.luma.insert(f.luma.end(), frame->data[0] + y * frame->linesize[0],
                                  frame->data[0] + y * frame->linesize[0] + frame->width);
                }
                out.frames.push_back(std::move(f));
            } else {
                if (!swr) {
                    swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &frame->ch_layout,
                                        static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
                    swr_init(swr);
                }
                std::vector<int16_t> chunk(static_cast<size_t>(frame->nb_samples + 64) * out.channels);
                uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(chunk.data())};
                const int n = swr_convert(swr, planes, frame->nb_samples + 64, const_cast<const uint8_t**>(frame->extended_data),
                                          frame->nb_samples);
                if (n > 0) out.samples.insert(out.samples.end(), chunk.begin(), chunk.begin() + n * out.channels);
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        const auto index = static_cast<unsigned>(packet->stream_index);
        if (index < 16 && decoders[index] && avcodec_send_packet(decoders[index], packet) >= 0) drain(index);
        av_packet_unref(packet);
    }
    for (unsigned i = 0; i < 16; ++i) {
        if (!decoders[i]) continue;
        avcodec_send_packet(decoders[i], nullptr);
        drain(i);
        avcodec_free_context(&decoders[i]);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&swr);
    avformat_close_input(&format);
    out.opened = true;
    return out;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double error = 0;
    for (size_t i = 0; i < a.size(); ++i) error += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    if (error == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / error);
}

double dominant_frequency(const std::vector<int16_t>& interleaved, int channels, int channel, double rate) {
    double best = 0, best_power = -1;
    for (double f = 50; f <= 2000; f += 1) {
        const double w = 2 * std::cos(2 * 3.14159265358979 * f / rate);
        double s1 = 0, s2 = 0;
        for (size_t i = static_cast<size_t>(channel); i < interleaved.size(); i += static_cast<size_t>(channels)) {
            const double s = interleaved[i] + w * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        const double power = s1 * s1 + s2 * s2 - w * s1 * s2;
        if (power > best_power) {
            best_power = power;
            best = f;
        }
    }
    return best;
}

}  // namespace testing_support
