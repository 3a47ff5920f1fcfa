// Media output through FFmpeg's libraries: libavcodec decodes the MDEC frames and XA audio and
// encodes video and audio, libavformat writes the container, libswscale and libswresample convert.
// Built as a module of its own that quorvex loads only for media output, so that its other work
// does not pay for loading FFmpeg.
#include "media_output.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "media_paths.h"
#include "staged_output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace quorvex {
namespace {

std::string av_error(int code) {
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

void warn(const std::string& message) { std::fprintf(stderr, "quorvex: %s\n", message.c_str()); }

// MDEC frames of whatever size each one declares.
class MdecDecoder {
public:
    // The picture of `unit`, or null with `why` set.
    AVFrame* decode(const FrameBuffer& unit, std::string& why) {
        if (unit.width == 0 || unit.height == 0 || unit.width > 4096 || unit.height > 4096) {
            why = "no usable picture size";
            return nullptr;
        }
        if (unit.payload_size < 8) {
            why = "no MDEC data";
            return nullptr;
        }
        if (!context_ || context_->width != static_cast<int>(unit.width) || context_->height != static_cast<int>(unit.height)) {
            const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MDEC);
            context_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
            if (!context_) {
                why = "libavcodec has no MDEC decoder";
                return nullptr;
            }
            context_->width = static_cast<int>(unit.width);
            context_->height = static_cast<int>(unit.height);
            context_->thread_count = 1;  // one picture out for each frame in
            if (const int r = avcodec_open2(context_.get(), codec, nullptr); r < 0) {
                why = av_error(r);
                context_.reset();
                return nullptr;
            }
        }
        if (!packet_) packet_.reset(av_packet_alloc());
        if (!picture_) picture_.reset(av_frame_alloc());
        av_packet_unref(packet_.get());
        if (av_new_packet(packet_.get(), static_cast<int>(unit.payload_size)) < 0) {
            why = "out of memory";
            return nullptr;
        }
        std::memcpy(packet_->data, unit.payload, unit.payload_size);
        int r = avcodec_send_packet(context_.get(), packet_.get());
        if (r >= 0) r = avcodec_receive_frame(context_.get(), picture_.get());
        if (r < 0) {
            why = av_error(r);
            context_.reset();  // start afresh at the next frame
            return nullptr;
        }
        return picture_.get();
    }

private:
    Codec context_;
    Packet packet_;
    Frame picture_;
};

// XA ADPCM sectors (2304 bytes each, one after another) into PCM frames.
class XaDecoder {
public:
    bool open(int channels, int sample_rate, std::string& error) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ADPCM_XA);
        context_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!context_) {
            error = "libavcodec has no XA ADPCM decoder";
            return false;
        }
        av_channel_layout_default(&context_->ch_layout, channels);
        context_->sample_rate = sample_rate;
        if (const int r = avcodec_open2(context_.get(), codec, nullptr); r < 0) {
            error = "cannot open the XA ADPCM decoder: " + av_error(r);
            return false;
        }
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        return true;
    }
    template <class Take>
    bool decode(const uint8_t* data, size_t size, Take take, std::string& error) {
        av_packet_unref(packet_.get());
        if (av_new_packet(packet_.get(), static_cast<int>(size)) < 0) return false;
        std::memcpy(packet_->data, data, size);
        int r = avcodec_send_packet(context_.get(), packet_.get());
        if (r < 0) {
            error = "XA audio: " + av_error(r);
            return false;
        }
        while ((r = avcodec_receive_frame(context_.get(), frame_.get())) == 0) {
            if (!take(frame_.get())) return false;
        }
        return true;
    }

private:
    Codec context_;
    Packet packet_;
    Frame frame_;
};

// An encoder into one stream of an output file.
struct EncodedStream {
    Codec encoder;
    AVStream* stream = nullptr;
};

class MediaFileSink : public UnitSink {
public:
    MediaFileSink(const ExtractRequest& request, std::string path, const MediaOptions& options, bool counts_skips)
        : request_(request), path_(std::move(path)), options_(options), counts_skips_(counts_skips) {}

    ~MediaFileSink() override {
        if (output_) {
            if (output_->pb) avio_closep(&output_->pb);
            avformat_free_context(output_);
            std::error_code ec;
            std::filesystem::remove(partial(), ec);
        }
    }

    bool open(std::string& error) {
        const std::string ext = extension_of(path_);
        const bool container = ext == ".mkv" || ext == ".mp4" || ext == ".avi";
        want_video_ = container && (request_.info.kind & psr::kKindVideo);
        want_audio_ = request_.info.has_audio && request_.info.channels >= 1 && request_.info.channels <= 2;
        if (!container && !want_audio_) {
            error = path_ + ": the stream has no audio for an audio file";
            return false;
        }
        if (!want_video_ && !want_audio_) {
            error = path_ + ": the stream has neither pictures nor audio this file can hold";
            return false;
        }
        const AVOutputFormat* format = av_guess_format(nullptr, path_.c_str(), nullptr);
        if (!format || avformat_alloc_output_context2(&output_, format, nullptr, partial().c_str()) < 0) {
            error = path_ + ": libavformat cannot write this kind of file";
            return false;
        }
        if (want_audio_ && !request_.plugin->decode_audio) {
            if (!xa_.open(request_.info.channels, static_cast<int>(request_.info.sample_rate), error)) return false;
        }
        if (!want_video_) return start(error);  // an audio file: no picture size to wait for
        return true;
    }

    bool take(const Unit& unit, ExtractSummary& summary, std::string& error) override {
        if (unit.video) return want_video_ ? take_picture(unit.frame, summary, error) : true;
        if (!want_audio_) return true;
        if (request_.plugin->decode_audio) {
            const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(unit.pcm.data())};
            return push_audio(planes, static_cast<int>(unit.pcm.size() / request_.info.channels), AV_SAMPLE_FMT_S16, error);
        }
        const uint32_t whole = unit.frame.payload_size / 2304 * 2304;
        return xa_.decode(unit.frame.payload, whole,
                          [&](AVFrame* f) {
                              return push_audio(const_cast<const uint8_t**>(f->extended_data), f->nb_samples,
                                                static_cast<AVSampleFormat>(f->format), error);
                          },
                          error);
    }

    bool finish(ExtractSummary&, std::string& error) override {
        if (!started_) {
            if (want_video_ && decoded_frames_ == 0) warn(path_ + ": no picture could be decoded; the file holds the audio alone");
            want_video_ = false;
            if (!want_audio_) {
                error = path_ + ": nothing to write: the stream gave no decodable picture";
                return false;
            }
            if (!start(error)) return false;
        }
        if (!drain_audio(true, error)) return false;
        for (EncodedStream* s : {&video_, &audio_}) {
            if (!s->encoder) continue;
            avcodec_send_frame(s->encoder.get(), nullptr);
            if (!write_packets(*s, error)) return false;
        }
        if (const int r = av_write_trailer(output_); r < 0) {
            error = path_ + ": " + av_error(r);
            return false;
        }
        avio_closep(&output_->pb);
        avformat_free_context(output_);
        output_ = nullptr;
        std::error_code ec;
        std::filesystem::rename(partial(), path_, ec);
        if (ec) {
            error = path_ + ": cannot write: " + ec.message();
            return false;
        }
        return true;
    }

private:
    std::string partial() const { return path_ + ".partial"; }

    // The frame rate in tenths of a frame per second the file is timed by.
    uint32_t stream_rate() const { return request_.info.frame_rate ? request_.info.frame_rate : 150; }
    bool variable_rate() const { return (request_.info.kind & psr::kKindVariableRate) != 0; }

    bool take_picture(const FrameBuffer& unit, ExtractSummary& summary, std::string& error) {
        // Every frame delivered has its time, decoded or not.
        const int64_t pts = next_pts_;
        next_pts_ += variable_rate() ? 6000 / (unit.frame_rate ? unit.frame_rate : stream_rate()) : 1;
        std::string why;
        AVFrame* picture = decoder_.decode(unit, why);
        if (!picture) {
            if (counts_skips_) {
                ++summary.skipped_frames;
                warn(request_.image + ": frame " + std::to_string(unit.frame_number) + " cannot be decoded (" + why +
                     "); skipped in " + path_);
            }
            return true;
        }
        ++decoded_frames_;
        if (!started_) {
            width_ = picture->width;
            height_ = picture->height;
            if (!start(error)) return false;
        }
        return encode_picture(picture, pts, error);
    }

    // Streams, encoders and the header: once the picture size is known, or at once for audio.
    bool start(std::string& error) {
        if (want_video_ && !add_video(error)) return false;
        if (want_audio_ && !add_audio(error)) return false;
        if (!(output_->oformat->flags & AVFMT_NOFILE)) {
            if (const int r = avio_open(&output_->pb, partial().c_str(), AVIO_FLAG_WRITE); r < 0) {
                error = path_ + ": cannot write: " + av_error(r);
                return false;
            }
        }
        if (const int r = avformat_write_header(output_, nullptr); r < 0) {
            error = path_ + ": " + av_error(r);
            return false;
        }
        started_ = true;
        return drain_audio(false, error);
    }

    AVCodecContext* open_stream(EncodedStream& s, const AVCodec* codec) {
        s.encoder.reset(avcodec_alloc_context3(codec));
        s.stream = avformat_new_stream(output_, nullptr);
        if (output_->oformat->flags & AVFMT_GLOBALHEADER) s.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        return s.encoder.get();
    }

    bool finish_stream(EncodedStream& s, AVDictionary** settings, std::string& error) {
        const int r = avcodec_open2(s.encoder.get(), s.encoder->codec, settings);
        av_dict_free(settings);
        if (r < 0 || avcodec_parameters_from_context(s.stream->codecpar, s.encoder.get()) < 0) {
            error = path_ + ": cannot open the " + std::string(s.encoder->codec->name) + " encoder: " + av_error(r);
            return false;
        }
        s.stream->time_base = s.encoder->time_base;
        return true;
    }

    bool add_video(std::string& error) {
        const std::string ext = extension_of(path_);
        const AVCodec* codec = nullptr;
        AVDictionary* settings = nullptr;
        if (options_.lossless && ext != ".mp4") {
            codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
        } else if ((codec = avcodec_find_encoder_by_name("libx264"))) {
            av_dict_set(&settings, "preset", "fast", 0);
            av_dict_set(&settings, options_.lossless ? "qp" : "crf", options_.lossless ? "0" : "18", 0);
        } else if (!options_.lossless) {
            codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
            av_dict_set(&settings, "qscale", "3", 0);
        }
        if (!codec) {
            error = path_ + ": no suitable video encoder in this FFmpeg";
            return false;
        }
        AVCodecContext* c = open_stream(video_, codec);
        c->width = width_;
        c->height = height_;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->color_range = AVCOL_RANGE_JPEG;  // MDEC pictures are full range
        if (const enum AVPixelFormat* formats = codec->pix_fmts) {
            for (; *formats != AV_PIX_FMT_NONE; ++formats) {
                if (*formats == AV_PIX_FMT_YUVJ420P) c->pix_fmt = AV_PIX_FMT_YUVJ420P;
            }
        }
        if (codec->id == AV_CODEC_ID_MPEG4) c->flags |= AV_CODEC_FLAG_QSCALE;
        if (variable_rate()) {
            c->time_base = AVRational{1, 600};
        } else {
            c->time_base = AVRational{10, static_cast<int>(stream_rate())};
            c->framerate = AVRational{static_cast<int>(stream_rate()), 10};
            video_.stream->avg_frame_rate = c->framerate;
        }
        c->gop_size = 12;
        c->thread_count = 0;  // as many as the machine has
        if (!finish_stream(video_, &settings, error)) return false;
        scaled_.reset(av_frame_alloc());
        scaled_->format = c->pix_fmt;
        scaled_->width = width_;
        scaled_->height = height_;
        if (av_frame_get_buffer(scaled_.get(), 0) < 0) {
            error = "out of memory";
            return false;
        }
        return true;
    }

    bool add_audio(std::string& error) {
        const std::string ext = extension_of(path_);
        AVCodecID id = AV_CODEC_ID_FLAC;
        if (ext == ".wav" || ext == ".avi") id = AV_CODEC_ID_PCM_S16LE;
        if (ext == ".mp4") id = AV_CODEC_ID_AAC;
        const AVCodec* codec = avcodec_find_encoder(id);
        if (!codec) {
            error = path_ + ": no suitable audio encoder in this FFmpeg";
            return false;
        }
        AVCodecContext* c = open_stream(audio_, codec);
        const int channels = request_.info.channels;
        av_channel_layout_default(&c->ch_layout, channels);
        // AAC takes the common rates only: 37800 and 18900 Hz go to 48000.
        c->sample_rate = id == AV_CODEC_ID_AAC ? 48000 : static_cast<int>(request_.info.sample_rate);
        c->sample_fmt = id == AV_CODEC_ID_AAC ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
        c->time_base = AVRational{1, c->sample_rate};
        if (id == AV_CODEC_ID_AAC) c->bit_rate = 192000;
        AVDictionary* settings = nullptr;
        if (!finish_stream(audio_, &settings, error)) return false;
        if (!fifo_) {
            fifo_.reset(av_audio_fifo_alloc(c->sample_fmt, channels, 4096));
            if (!fifo_) {
                error = "out of memory";
                return false;
            }
        }
        return true;
    }

    bool encode_picture(AVFrame* picture, int64_t pts, std::string& error) {
        sws_.reset(sws_getCachedContext(sws_.release(), picture->width, picture->height,
                                        static_cast<AVPixelFormat>(picture->format), width_, height_,
                                        static_cast<AVPixelFormat>(scaled_->format), SWS_BICUBIC, nullptr, nullptr,
                                        nullptr));
        if (!sws_ || av_frame_make_writable(scaled_.get()) < 0) {
            error = "cannot convert the pictures";
            return false;
        }
        // Full range in, full range out: the samples pass unchanged when the sizes agree.
        const int* table = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(sws_.get(), table, 1, table, 1, 0, 1 << 16, 1 << 16);
        sws_scale(sws_.get(), picture->data, picture->linesize, 0, picture->height, scaled_->data, scaled_->linesize);
        scaled_->pts = pts;
        scaled_->color_range = AVCOL_RANGE_JPEG;
        const int r = avcodec_send_frame(video_.encoder.get(), scaled_.get());
        if (r < 0) {
            error = path_ + ": video encoder: " + av_error(r);
            return false;
        }
        return write_packets(video_, error);
    }

    bool push_audio(const uint8_t* const* data, int samples, AVSampleFormat format, std::string& error) {
        if (!swr_) {
            // Set up from the first audio: its sample format, and the encoder's format and rate.
            const std::string ext = extension_of(path_);
            const bool aac = ext == ".mp4";
            AVChannelLayout layout;
            av_channel_layout_default(&layout, request_.info.channels);
            SwrContext* swr = nullptr;
            if (swr_alloc_set_opts2(&swr, &layout, aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16,
                                    aac ? 48000 : static_cast<int>(request_.info.sample_rate), &layout, format,
                                    static_cast<int>(request_.info.sample_rate), 0, nullptr) < 0 ||
                swr_init(swr) < 0) {
                swr_free(&swr);
                error = "cannot convert the audio";
                return false;
            }
            swr_.reset(swr);
            out_format_ = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
            if (!fifo_) fifo_.reset(av_audio_fifo_alloc(out_format_, request_.info.channels, 4096));
        }
        const int room = swr_get_out_samples(swr_.get(), samples);
        uint8_t** converted = nullptr;
        if (av_samples_alloc_array_and_samples(&converted, nullptr, request_.info.channels, room, out_format_, 0) < 0) {
            error = "out of memory";
            return false;
        }
        const int produced = swr_convert(swr_.get(), converted, room, const_cast<const uint8_t**>(data), samples);
        const bool ok = produced >= 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted), produced) >= produced;
        av_freep(&converted[0]);
        av_freep(&converted);
        if (!ok) {
            error = "cannot convert the audio";
            return false;
        }
        return started_ ? drain_audio(false, error) : true;
    }

    // Encodes what the queue holds in the encoder's frame size; the last short frame at the end.
    bool drain_audio(bool end, std::string& error) {
        if (!audio_.encoder || !fifo_) return true;
        AVCodecContext* c = audio_.encoder.get();
        const int size = c->frame_size > 0 ? c->frame_size : 1024;
        if (end && swr_) {
            // What the resampler still holds.
            uint8_t** rest = nullptr;
            if (av_samples_alloc_array_and_samples(&rest, nullptr, request_.info.channels, 4096, out_format_, 0) >= 0) {
                const int n = swr_convert(swr_.get(), rest, 4096, nullptr, 0);
                if (n > 0) av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(rest), n);
                av_freep(&rest[0]);
                av_freep(&rest);
            }
        }
        while (av_audio_fifo_size(fifo_.get()) >= size || (end && av_audio_fifo_size(fifo_.get()) > 0)) {
            const int n = std::min(size, av_audio_fifo_size(fifo_.get()));
            Frame f(av_frame_alloc());
            f->nb_samples = n;
            f->format = c->sample_fmt;
            f->sample_rate = c->sample_rate;
            av_channel_layout_copy(&f->ch_layout, &c->ch_layout);
            if (av_frame_get_buffer(f.get(), 0) < 0 || av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->data), n) < n) {
                error = "out of memory";
                return false;
            }
            f->pts = audio_pts_;
            audio_pts_ += n;
            if (const int r = avcodec_send_frame(c, f.get()); r < 0) {
                error = path_ + ": audio encoder: " + av_error(r);
                return false;
            }
            if (!write_packets(audio_, error)) return false;
        }
        return true;
    }

    bool write_packets(EncodedStream& s, std::string& error) {
        Packet packet(av_packet_alloc());
        int r;
        while ((r = avcodec_receive_packet(s.encoder.get(), packet.get())) == 0) {
            av_packet_rescale_ts(packet.get(), s.encoder->time_base, s.stream->time_base);
            packet->stream_index = s.stream->index;
            if ((r = av_interleaved_write_frame(output_, packet.get())) < 0) {
                error = path_ + ": cannot write: " + av_error(r);
                return false;
            }
        }
        return true;
    }

    const ExtractRequest& request_;
    std::string path_;
    MediaOptions options_;
    bool counts_skips_;
    AVFormatContext* output_ = nullptr;
    bool want_video_ = false, want_audio_ = false, started_ = false;
    int width_ = 0, height_ = 0;
    int64_t next_pts_ = 0, audio_pts_ = 0;
    uint32_t decoded_frames_ = 0;
    MdecDecoder decoder_;
    XaDecoder xa_;
    EncodedStream video_, audio_;
    Frame scaled_;
    Sws sws_;
    Swr swr_;
    Fifo fifo_;
    AVSampleFormat out_format_ = AV_SAMPLE_FMT_S16;
};

// Every frame as a PNG picture, named by its frame number.
class PictureSink : public UnitSink {
public:
    PictureSink(const ExtractRequest& request, bool counts_skips) : request_(request), counts_skips_(counts_skips) {}
    bool begin(const std::string& directory, std::string& error) { return output_.begin(directory, error); }

    bool take(const Unit& unit, ExtractSummary& summary, std::string& error) override {
        if (!unit.video) return true;
        std::string why;
        AVFrame* picture = decoder_.decode(unit.frame, why);
        if (!picture) {
            if (counts_skips_) {
                ++summary.skipped_frames;
                warn(request_.image + ": frame " + std::to_string(unit.frame.frame_number) + " cannot be decoded (" +
                     why + "); no picture written");
            }
            return true;
        }
        if (!png_ || png_->width != picture->width || png_->height != picture->height) {
            const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
            png_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
            if (!png_) {
                error = "libavcodec has no PNG encoder";
                return false;
            }
            png_->width = picture->width;
            png_->height = picture->height;
            png_->pix_fmt = AV_PIX_FMT_RGB24;
            png_->time_base = AVRational{1, 25};
            if (avcodec_open2(png_.get(), codec, nullptr) < 0) {
                error = "cannot open the PNG encoder";
                return false;
            }
            rgb_.reset(av_frame_alloc());
            rgb_->format = AV_PIX_FMT_RGB24;
            rgb_->width = picture->width;
            rgb_->height = picture->height;
            if (av_frame_get_buffer(rgb_.get(), 0) < 0) return false;
        }
        sws_.reset(sws_getCachedContext(sws_.release(), picture->width, picture->height,
                                        static_cast<AVPixelFormat>(picture->format), picture->width, picture->height,
                                        AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!sws_ || av_frame_make_writable(rgb_.get()) < 0) return false;
        sws_scale(sws_.get(), picture->data, picture->linesize, 0, picture->height, rgb_->data, rgb_->linesize);
        Packet packet(av_packet_alloc());
        if (avcodec_send_frame(png_.get(), rgb_.get()) < 0 || avcodec_receive_packet(png_.get(), packet.get()) < 0) {
            error = "cannot encode a PNG picture";
            return false;
        }
        const uint32_t copy = ++seen_[unit.frame.frame_number];
        char name[48];
        if (copy == 1) {
            std::snprintf(name, sizeof name, "frame_%06u.png", unit.frame.frame_number);
        } else {
            std::snprintf(name, sizeof name, "frame_%06u_%u.png", unit.frame.frame_number, copy);
        }
        std::FILE* f = std::fopen(output_.stage(name).string().c_str(), "wb");
        const bool ok = f && std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), f) == static_cast<size_t>(packet->size);
        if (f && std::fclose(f) != 0) return false;
        if (!ok) {
            error = (output_.destination() / name).string() + ": cannot write";
            return false;
        }
        return true;
    }

    bool finish(ExtractSummary&, std::string& error) override { return output_.commit(error); }

private:
    const ExtractRequest& request_;
    bool counts_skips_;
    StagedOutput output_;
    MdecDecoder decoder_;
    Codec png_;
    Frame rgb_;
    Sws sws_;
    std::map<uint32_t, uint32_t> seen_;
};

}  // namespace

}  // namespace quorvex

// The module's two doors, found by name when quorvex first needs them.
extern "C" __attribute__((visibility("default"))) quorvex::UnitSink* quorvex_media_file_sink(
    const quorvex::ExtractRequest& request, const std::string& path, const quorvex::MediaOptions& options,
    bool counts_skips, std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    auto sink = std::make_unique<quorvex::MediaFileSink>(request, path, options, counts_skips);
    return sink->open(error) ? sink.release() : nullptr;
}

extern "C" __attribute__((visibility("default"))) quorvex::UnitSink* quorvex_picture_sink(
    const quorvex::ExtractRequest& request, const std::string& directory, bool counts_skips, std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    auto sink = std::make_unique<quorvex::PictureSink>(request, counts_skips);
    return sink->begin(directory, error) ? sink.release() : nullptr;
}
