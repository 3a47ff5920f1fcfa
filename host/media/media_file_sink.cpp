// A video file (.mkv, .mp4, .avi) or a sound file (.wav, .flac) of a stream: pictures decoded from
// MDEC and encoded in H.264 (FFV1 when lossless), sound decoded from XA ADPCM (or taken as the
// archive plug-ins decoded it) and encoded as FLAC, AAC or PCM. Every picture takes its time from
// the stream's timeline, rounded once to the container's time base: milliseconds in Matroska,
// 1/90000 s in MP4 (where every XA sector's length is exact), the measured average rate in AVI,
// which holds only a constant one.
#include <algorithm>
#include <map>

#include "../media_module.h"
#include "../output_formats.h"
#include "../paths.h"
#include "media_sinks.h"
#include "mdec_decoder.h"
#include "sound_decoder.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

struct EncodedStream {
    av::Codec encoder;
    AVStream* stream = nullptr;
    std::map<int64_t, int64_t> durations;  // by pts, in the encoder's time base
};

AVRational to_av(Rational r) {
    AVRational out{0, 1};
    av_reduce(&out.num, &out.den, r.num, r.den, INT32_MAX);
    return out;
}

class MediaFileSink : public UnitSink {
public:
    MediaFileSink(const StreamContext& context, std::string path, const OutputOptions& options)
        : context_(context), path_(std::move(path)), options_(options),
          format_(output_format_named(options.format)),
          piped_(path_ == "-"),
          decoder_(options.decoding.libavcodec ? MdecDecoding::kLibavcodec : MdecDecoding::kConsole) {
    }

    ~MediaFileSink() override { close_output(); }

    bool open(std::string& error) {
        const StreamDelivery& survey = *context_.delivery;
        const StreamInfo& info = context_.request.info;
        if (!format_ || (piped_ && !format_->streams)) {
            error = path_ + ": quorvex writes no such media file here";
            return false;
        }
        container_ = format_->holds == Holds::kVideo;
        want_video_ = container_ && survey.counts.frames > 0;
        // Sound delivered is sound written, whatever the description said.
        want_audio_ = survey.has_audio();
        if (!container_ && !want_audio_) {
            error = path_ + ": the stream has no sound for a sound file";
            return false;
        }
        if (!want_video_ && !want_audio_) {
            error = path_ + ": the stream delivers neither pictures nor sound";
            return false;
        }
        if (want_audio_) {
            if (!survey.sector_formats.empty()) {
                in_channels_ = survey.sector_formats.front().channels;
                in_rate_ = static_cast<int>(survey.sector_formats.front().sample_rate);
            } else {
                in_channels_ = info.channels;
                in_rate_ = static_cast<int>(info.sample_rate);
            }
            if (in_channels_ < 1 || in_channels_ > 2 || in_rate_ <= 0) {
                error = path_ + ": the stream's sound has no usable format (" + std::to_string(in_channels_) +
                        " channels at " + std::to_string(in_rate_) + " Hz)";
                return false;
            }
            // AAC takes the common rates only: 37800 and 18900 Hz go to 48000.
            const bool aac = format_->sound_codec == "aac";
            out_rate_ = aac ? 48000 : in_rate_;
            out_format_ = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
            fifo_.reset(av_audio_fifo_alloc(out_format_, in_channels_, 4096));
            if (!fifo_ || !sound_.open(in_channels_, out_rate_, out_format_, error)) {
                if (error.empty()) error = "out of memory";
                return false;
            }
        }
        // A pipe cannot be staged: what is written there is gone.
        if (!piped_ && !output_.begin(path_, AtomicOutput::Shape::kFile, replaceable(options_, file_carries_quorvex_comment), error)) {
            return false;
        }
        const AVOutputFormat* format = av_guess_format(std::string(format_->muxer).c_str(), nullptr, nullptr);
        if (!format || avformat_alloc_output_context2(&out_, format, nullptr, destination().c_str()) < 0) {
            error = path_ + ": libavformat cannot write this kind of file";
            return false;
        }
        // The same stream gives the same file: no random identifiers, no dates.
        out_->flags |= AVFMT_FLAG_BITEXACT;
        // What it holds, in the tags players show: the stream's name, the disc, its number there,
        // and in the comment (which marks the file as quorvex's) the plug-in that read it. No path
        // and no time of day: the same stream gives the same bytes.
        if (format_->tags) tag();
        if (!want_video_) return start(error);  // no picture size to wait for
        return true;
    }

    bool take(const Unit& unit, const FrameTime* time, std::string& error) override {
        if (unit.video) return want_video_ ? take_picture(unit.frame, time, error) : true;
        if (!want_audio_) return true;
        ++report_.audio_units_written;
        const bool ok = context_.request.plugin->decodes_audio
                            ? sound_.add_pcm(unit.pcm, context_.request.info.channels,
                                             static_cast<int>(context_.request.info.sample_rate), fifo_.get(), error)
                            : sound_.add_xa(unit.frame.payload, unit.sectors, fifo_.get(), error);
        return ok && (!started_ || encode_sound(false, error));
    }

    bool finish(std::string& error) override {
        if (want_video_ && decoded_frames_ == 0) {
            error = path_ + ": none of the stream's " + std::to_string(report_.undecodable_frames.size()) +
                    " frames can be decoded (" + report_.first_failure + ")";
            return false;
        }
        if (!started_ && !start(error)) return false;
        if (!sound_.drain(fifo_.get(), error) || !encode_sound(true, error)) return false;
        for (EncodedStream* s : {&video_, &audio_}) {
            if (!s->encoder) continue;
            avcodec_send_frame(s->encoder.get(), nullptr);
            if (!write_packets(*s, error)) return false;
        }
        if (const int r = av_write_trailer(out_); r < 0) {
            error = path_ + ": cannot write: " + av::error_text(r);
            return false;
        }
        const int closed = avio_closep(&out_->pb);
        avformat_free_context(out_);
        out_ = nullptr;
        if (closed < 0) {
            error = path_ + ": cannot write: " + av::error_text(closed);
            return false;
        }
        return true;
    }

    bool commit(std::string& error) override { return piped_ || output_.commit(error); }
    void undo_commit() override {
        if (!piped_) output_.undo_commit();
    }
    const OutputReport& report() const override { return report_; }
    std::string where() const override { return path_; }

private:
    // Where libavformat writes: the staged file, or standard output.
    std::string destination() const { return piped_ ? "pipe:1" : utf8_path(output_.work()); }

    void close_output() {
        if (!out_) return;
        if (out_->pb) avio_closep(&out_->pb);
        avformat_free_context(out_);
        out_ = nullptr;
    }

    bool take_picture(const FrameBuffer& unit, const FrameTime* time, std::string& error) {
        std::string why;
        AVFrame* picture = decoder_.decode(unit, why);
        if (!picture) {
            report_.undecodable_frames.push_back(unit.frame_number);
            if (report_.first_failure.empty()) report_.first_failure = "frame " + std::to_string(unit.frame_number) + ": " + why;
            return true;
        }
        ++decoded_frames_;
        if (!started_) {
            width_ = picture->width;
            height_ = picture->height;
            if (!start(error)) return false;
        }
        ++report_.frames_written;
        return encode_picture(picture, time, error);
    }

    // Streams, encoders and the header: once the picture size is known, or at once for sound.
    bool start(std::string& error) {
        if (want_video_ && !add_video(error)) return false;
        if (want_audio_ && !add_audio(error)) return false;
        if (!(out_->oformat->flags & AVFMT_NOFILE)) {
            if (const int r = avio_open(&out_->pb, destination().c_str(), AVIO_FLAG_WRITE); r < 0) {
                error = path_ + ": cannot write: " + av::error_text(r);
                return false;
            }
        }
        // MP4's edit lists count in the movie's time scale: 1/90000 s keeps a first picture that
        // waits for sound before it at its exact time.
        AVDictionary* settings = nullptr;
        if (format_->time_base == 90000) av_dict_set(&settings, "movie_timescale", "90000", 0);
        const int written = avformat_write_header(out_, &settings);
        av_dict_free(&settings);
        if (const int r = written; r < 0) {
            error = path_ + ": cannot write: " + av::error_text(r);
            return false;
        }
        started_ = true;
        return encode_sound(false, error);
    }

    AVCodecContext* open_stream(EncodedStream& s, const AVCodec* codec) {
        s.encoder.reset(avcodec_alloc_context3(codec));
        s.stream = avformat_new_stream(out_, nullptr);
        if (out_->oformat->flags & AVFMT_GLOBALHEADER) s.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        return s.encoder.get();
    }

    bool finish_stream(EncodedStream& s, AVDictionary** settings, std::string& error) {
        const int r = avcodec_open2(s.encoder.get(), s.encoder->codec, settings);
        av_dict_free(settings);
        if (r < 0 || avcodec_parameters_from_context(s.stream->codecpar, s.encoder.get()) < 0) {
            error = path_ + ": cannot open the " + std::string(s.encoder->codec->name) + " encoder: " + av::error_text(r);
            return false;
        }
        s.stream->time_base = s.encoder->time_base;
        s.stream->disposition |= AV_DISPOSITION_DEFAULT;  // the one video and the one sound track
        return true;
    }

    bool constant_rate() const { return format_->constant_rate; }

    // AVI holds a constant rate from time 0: the frames before the first picture (whole ticks
    // of lead-in) and the pictures share the time up to the pictures' end, the measured average.
    void plan_constant_rate() {
        const Timeline& t = *context_.timeline;
        if (t.frames.empty() || t.average_frame.num <= 0) return;
        const auto frames = static_cast<int64_t>(t.frames.size());
        avi_lead_in_ = t.frames.front().start.in_units(t.average_frame.num, t.average_frame.den);
        avi_frame_ = to_av(t.pictures_end / (avi_lead_in_ + frames));
        if (avi_frame_.num <= 0 || avi_frame_.den <= 0) avi_frame_ = AVRational{1, 15};
    }

    void tag() {
        const MediaTags tags = media_tags(context_);
        for (const auto& [key, value] : {std::pair{"comment", &tags.comment}, {"title", &tags.title}, {"album", &tags.album},
                                         {"track", &tags.track}}) {
            if (!value->empty()) av_dict_set(&out_->metadata, key, value->c_str(), 0);
        }
    }

    // The video time base: milliseconds (Matroska), 1/90000 s (MP4), one average frame (AVI).
    AVRational video_time_base() const {
        return format_->time_base ? AVRational{1, format_->time_base} : avi_frame_;
    }

    bool add_video(std::string& error) {
        if (constant_rate()) plan_constant_rate();
        const std::string wanted(options_.lossless ? format_->lossless_video_codec : format_->video_codec);
        const AVCodec* codec = avcodec_find_encoder_by_name(wanted.c_str());
        AVDictionary* settings = nullptr;
        if (codec && codec->id == AV_CODEC_ID_H264) {
            // veryfast: on these movies half the time of fast, a smaller file, and within half a
            // decibel of its PSNR against the lossless pictures (README).
            av_dict_set(&settings, "preset", "veryfast", 0);
            av_dict_set(&settings, options_.lossless ? "qp" : "crf", options_.lossless ? "0" : "18", 0);
            // No frames out of order (B-frames): MP4 times a sample by the decoding order, which
            // would leave the last picture without a duration, AVI has no presentation times at
            // all, and x264's B-frames with its macroblock-tree rate control come out different
            // from run to run (it reads memory it has not set), so a rip would not be repeatable.
            av_dict_set(&settings, "bf", "0", 0);
        } else if (!codec && !options_.lossless) {  // an FFmpeg without x264
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
        // MDEC pictures are full range, BT.601, their chroma sited between the luma samples.
        c->color_range = AVCOL_RANGE_JPEG;
        c->colorspace = AVCOL_SPC_SMPTE170M;
        c->chroma_sample_location = AVCHROMA_LOC_CENTER;
        if (const enum AVPixelFormat* formats = codec->pix_fmts) {
            for (; *formats != AV_PIX_FMT_NONE; ++formats) {
                if (*formats == AV_PIX_FMT_YUVJ420P) c->pix_fmt = AV_PIX_FMT_YUVJ420P;
            }
        }
        if (codec->id == AV_CODEC_ID_MPEG4) c->flags |= AV_CODEC_FLAG_QSCALE;
        c->time_base = video_time_base();
        const Rational average = context_.timeline->average_frame;
        if (constant_rate()) {
            c->framerate = av_inv_q(avi_frame_);
            video_.stream->avg_frame_rate = c->framerate;
        } else if (average.num > 0) {
            c->framerate = av_inv_q(to_av(average));
            video_.stream->avg_frame_rate = c->framerate;
        }
        c->gop_size = 12;
        c->thread_count = options_.encoder_threads;  // 0: as many as the machine has
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
        const AVCodec* codec = avcodec_find_encoder_by_name(std::string(format_->sound_codec).c_str());
        if (!codec) {
            error = path_ + ": no suitable audio encoder in this FFmpeg";
            return false;
        }
        AVCodecContext* c = open_stream(audio_, codec);
        av_channel_layout_default(&c->ch_layout, in_channels_);
        c->sample_rate = out_rate_;
        c->sample_fmt = out_format_;
        c->time_base = AVRational{1, c->sample_rate};
        if (codec->id == AV_CODEC_ID_AAC) c->bit_rate = 192000;
        AVDictionary* settings = nullptr;
        if (!finish_stream(audio_, &settings, error)) return false;
        return true;
    }

    bool encode_picture(AVFrame* picture, const FrameTime* time, std::string& error) {
        sws_.reset(sws_getCachedContext(sws_.release(), picture->width, picture->height,
                                        static_cast<AVPixelFormat>(picture->format), width_, height_,
                                        static_cast<AVPixelFormat>(scaled_->format), SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!sws_ || av_frame_make_writable(scaled_.get()) < 0) {
            error = "cannot convert the pictures";
            return false;
        }
        // Full range in, full range out: the samples pass unchanged when the sizes agree.
        const int* table = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(sws_.get(), table, 1, table, 1, 0, 1 << 16, 1 << 16);
        sws_scale(sws_.get(), picture->data, picture->linesize, 0, picture->height, scaled_->data, scaled_->linesize);
        const AVRational tb = video_.encoder->time_base;
        int64_t pts = time ? time->start.in_units(tb.num, tb.den) : last_pts_ + 1;
        int64_t end = time ? (time->start + time->duration).in_units(tb.num, tb.den) : pts + 1;
        if (constant_rate() && time) {
            // One frame a tick, the first where its time falls.
            pts = avi_lead_in_ + (time - context_.timeline->frames.data());
            end = pts + 1;
        }
        pts = std::max(pts, last_pts_ + 1);  // times only go forward
        end = std::max(end, pts + 1);
        last_pts_ = pts;
        video_.durations[pts] = end - pts;
        scaled_->pts = pts;
        scaled_->color_range = AVCOL_RANGE_JPEG;
        scaled_->colorspace = AVCOL_SPC_SMPTE170M;
        scaled_->chroma_location = AVCHROMA_LOC_CENTER;
        if (const int r = avcodec_send_frame(video_.encoder.get(), scaled_.get()); r < 0) {
            error = path_ + ": video encoder: " + av::error_text(r);
            return false;
        }
        return write_packets(video_, error);
    }

    // Encodes what the queue holds in the encoder's frame size; the last short frame at the end.
    bool encode_sound(bool end, std::string& error) {
        if (!audio_.encoder) return true;
        AVCodecContext* c = audio_.encoder.get();
        const int size = c->frame_size > 0 ? c->frame_size : 1024;
        while (av_audio_fifo_size(fifo_.get()) >= size || (end && av_audio_fifo_size(fifo_.get()) > 0)) {
            const int n = std::min(size, av_audio_fifo_size(fifo_.get()));
            av::Frame f(av_frame_alloc());
            f->nb_samples = n;
            f->format = c->sample_fmt;
            f->sample_rate = c->sample_rate;
            av_channel_layout_copy(&f->ch_layout, &c->ch_layout);
            if (av_frame_get_buffer(f.get(), 0) < 0 || av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->data), n) < n) {
                error = "out of memory";
                return false;
            }
            f->pts = audio_pts_;
            audio_.durations[audio_pts_] = n;
            audio_pts_ += n;
            if (const int r = avcodec_send_frame(c, f.get()); r < 0) {
                error = path_ + ": audio encoder: " + av::error_text(r);
                return false;
            }
            if (!write_packets(audio_, error)) return false;
        }
        return true;
    }

    bool write_packets(EncodedStream& s, std::string& error) {
        av::Packet packet(av_packet_alloc());
        int r;
        while ((r = avcodec_receive_packet(s.encoder.get(), packet.get())) == 0) {
            // Each packet carries its frame's real duration.
            if (auto found = s.durations.find(packet->pts); found != s.durations.end()) {
                packet->duration = found->second;
                s.durations.erase(found);
            }
            av_packet_rescale_ts(packet.get(), s.encoder->time_base, s.stream->time_base);
            packet->stream_index = s.stream->index;
            if ((r = av_interleaved_write_frame(out_, packet.get())) < 0) {
                error = path_ + ": cannot write: " + av::error_text(r);
                return false;
            }
        }
        return true;
    }

    const StreamContext& context_;
    std::string path_;
    OutputOptions options_;
    const OutputFormat* format_;
    const bool piped_;  // standard output: written as it comes, nothing staged
    AtomicOutput output_;
    OutputReport report_;
    AVFormatContext* out_ = nullptr;
    bool container_ = false, want_video_ = false, want_audio_ = false, started_ = false;
    int width_ = 0, height_ = 0, in_channels_ = 2, in_rate_ = 37800, out_rate_ = 37800;
    AVSampleFormat out_format_ = AV_SAMPLE_FMT_S16;
    int64_t last_pts_ = -1, audio_pts_ = 0;
    int64_t avi_lead_in_ = 0;
    AVRational avi_frame_{1, 15};
    uint32_t decoded_frames_ = 0;
    MdecDecoder decoder_;
    SoundDecoder sound_;
    EncodedStream video_, audio_;
    av::Frame scaled_;
    av::Sws sws_;
    av::Fifo fifo_;
};

}  // namespace

UnitSink* new_media_file_sink(const StreamContext& context, const std::string& path, const OutputOptions& options,
                              std::string& error) {
    auto sink = std::make_unique<MediaFileSink>(context, path, options);
    return sink->open(error) ? sink.release() : nullptr;
}

}  // namespace quorvex
