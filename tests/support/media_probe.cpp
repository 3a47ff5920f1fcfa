#include "media_probe.h"

#include <cctype>
#include <string>


extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
}

namespace testing_support {

ProbedMedia probe_media(const std::string& path, const char* format_name) {
    ProbedMedia out;
    AVFormatContext* format = nullptr;
    const AVInputFormat* forced = format_name ? av_find_input_format(format_name) : nullptr;
    if (avformat_open_input(&format, path.c_str(), forced, nullptr) < 0) return out;
    avformat_find_stream_info(format, nullptr);
    for (const AVDictionaryEntry* tag = nullptr; (tag = av_dict_get(format->metadata, "", tag, AV_DICT_IGNORE_SUFFIX));) {
        std::string key = tag->key;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.tags[key] = tag->value;
    }
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
            const AVStream* stream = format->streams[i];
            out.color_space = av_color_space_name(p->color_space) ? av_color_space_name(p->color_space) : "";
            out.chroma_location = av_chroma_location_name(p->chroma_location) ? av_chroma_location_name(p->chroma_location) : "";
            out.color_range = av_color_range_name(p->color_range) ? av_color_range_name(p->color_range) : "";
            out.video_default = (stream->disposition & AV_DISPOSITION_DEFAULT) != 0;
            out.frame_rate = av_q2d(stream->avg_frame_rate);
            // MP4 states a stream's end through its edit list; its last packet's own duration may
            // be cut by the demuxer where the list begins with an empty edit.
            if (stream->duration > 0 && stream->start_time != AV_NOPTS_VALUE && std::string(format->iformat->name).find("mp4") != std::string::npos) {
                out.video_end = static_cast<double>(stream->start_time + stream->duration) * av_q2d(stream->time_base);
            }
        } else if (p->codec_type == AVMEDIA_TYPE_AUDIO) {
            out.audio_codec = codec->name;
            out.audio_default = (format->streams[i]->disposition & AV_DISPOSITION_DEFAULT) != 0;
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
                const double tb = av_q2d(format->streams[index]->time_base);
                ProbedFrame f{static_cast<double>(frame->best_effort_timestamp) * tb,
                              static_cast<double>(frame->pkt_duration) * tb, frame->width, frame->height, {}, {}};
                for (int y = 0; y < frame->height; ++y) {
                    f.luma.insert(f.luma.end(), frame->data[0] + y * frame->linesize[0],
                                  frame->data[0] + y * frame->linesize[0] + frame->width);
                }
                if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
                    const int cw = (frame->width + 1) / 2, ch = (frame->height + 1) / 2;
                    for (int plane : {1, 2}) {
                        for (int y = 0; y < ch; ++y) {
                            const uint8_t* row = frame->data[plane] + y * frame->linesize[plane];
                            f.chroma.insert(f.chroma.end(), row, row + cw);
                        }
                    }
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
    bool audio_seen = false;
    while (av_read_frame(format, packet) >= 0) {
        const auto index = static_cast<unsigned>(packet->stream_index);
        if (index < 16 && decoders[index] && decoders[index]->codec_type == AVMEDIA_TYPE_AUDIO && !audio_seen) {
            audio_seen = true;
            // A negative start is the encoder's priming, which decoding drops.
            if (packet->pts > 0) out.audio_start = static_cast<double>(packet->pts) * av_q2d(format->streams[index]->time_base);
        }
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

}  // namespace testing_support
