// New pictures, subtitles and sound for replacing a stream, read with FFmpeg's libraries.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <map>
#include <set>
#include <optional>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "../../codecs/mdec_decoder.h"
#include "../replace/replace_media.h"
#include "av.h"
#include "mdec_decoder.h"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

struct CloseInput {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using Input = std::unique_ptr<AVFormatContext, CloseInput>;
struct FreeGraph {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};

// One stream of a media file, decoded frame by frame.
class Decoded {
public:
    bool open(const std::string& path, AVMediaType type, std::string& error) {
        AVFormatContext* f = nullptr;
        if (int r = avformat_open_input(&f, path.c_str(), nullptr, nullptr); r < 0) {
            error = path + ": cannot be read as media (" + av::error_text(r) + ")";
            return false;
        }
        input_.reset(f);
        if (avformat_find_stream_info(f, nullptr) < 0) {
            error = path + ": its streams cannot be told";
            return false;
        }
        const AVCodec* codec = nullptr;
        index_ = av_find_best_stream(f, type, -1, -1, &codec, 0);
        if (index_ < 0 || !codec) {
            error = path + (type == AVMEDIA_TYPE_VIDEO ? ": holds no pictures quorvex can decode" : ": holds no sound quorvex can decode");
            return false;
        }
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_ || avcodec_parameters_to_context(codec_.get(), f->streams[index_]->codecpar) < 0 ||
            avcodec_open2(codec_.get(), codec, nullptr) < 0) {
            error = path + ": its decoder cannot be opened";
            return false;
        }
        path_ = path;
        return true;
    }
    AVStream* stream() const { return input_->streams[index_]; }
    AVCodecContext* codec() const { return codec_.get(); }
    // How long the file says it lasts (-1 when it does not say).
    double seconds() const { return input_->duration > 0 ? double(input_->duration) / AV_TIME_BASE : -1; }

    // The next frame, or false at the end (`error` set on a fault: a packet the decoder refuses, or
    // a frame it cannot make, is damage, named with the time it lies at).
    bool next(AVFrame* frame, std::string& error) {
        for (;;) {
            const int r = avcodec_receive_frame(codec_.get(), frame);
            if (r == 0) return true;
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) return damaged(r, error);
            if (flushed_) return false;
            const int read = av_read_frame(input_.get(), packet_.get());
            if (read < 0) {
                if (read != AVERROR_EOF) {
                    error = path_ + ": cannot be read to its end (" + av::error_text(read) + ")";
                    return false;
                }
                flushed_ = true;
                avcodec_send_packet(codec_.get(), nullptr);
                continue;
            }
            if (packet_->stream_index != index_) {
                av_packet_unref(packet_.get());
                continue;
            }
            if (packet_->pts != AV_NOPTS_VALUE) at_ = double(packet_->pts) * av_q2d(stream()->time_base);
            const int sent = avcodec_send_packet(codec_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) return damaged(sent, error);
        }
    }

private:
    bool damaged(int code, std::string& error) const {
        char where[48] = "";
        if (at_ >= 0) std::snprintf(where, sizeof where, " at %.3f s", at_);
        error = path_ + ": damaged" + where + " (" + av::error_text(code) + ")";
        return false;
    }

    Input input_;
    av::Codec codec_;
    av::Packet packet_{av_packet_alloc()};
    int index_ = -1;
    bool flushed_ = false;
    double at_ = -1;  // the time of the last packet given to the decoder
    std::string path_;
};

// Pictures converted to RGB at one size.
class ToRgb {
public:
    ToRgb(int width, int height) : width_(width), height_(height) {}
    void convert(const AVFrame* frame, RgbPicture& out) {
        sws_.reset(sws_getCachedContext(sws_.release(), frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                        width_, height_, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
        out.width = width_;
        out.height = height_;
        out.rgb.assign(size_t(width_) * height_ * 3, 0);
        uint8_t* planes[4] = {out.rgb.data()};
        int lines[4] = {width_ * 3};
        if (sws_) sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, planes, lines);
    }

private:
    int width_, height_;
    av::Sws sws_;
};

double frame_seconds(const AVFrame* frame, const AVStream* stream) {
    const int64_t pts = frame->best_effort_timestamp;
    return pts == AV_NOPTS_VALUE ? -1.0 : static_cast<double>(pts) * av_q2d(stream->time_base);
}

// Which frame a picture's name says it is: frame_000012.png is frame 12, frame_000012_2.png the
// second frame numbered 12 (as --frames names them); another name, the number at its end.
struct PictureKey {
    uint64_t number = 0;
    uint32_t copy = 1;
    auto operator<=>(const PictureKey&) const = default;
};

std::optional<PictureKey> picture_key(const fs::path& file) {
    static const std::vector<std::string> kinds = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".ppm", ".webp", ".tga"};
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    if (std::find(kinds.begin(), kinds.end(), extension) == kinds.end()) return std::nullopt;
    const std::string stem = file.stem().string();
    unsigned long long number = 0;
    unsigned copy = 0;
    int used = 0;
    if (std::sscanf(stem.c_str(), "frame_%llu%n", &number, &used) == 1 && size_t(used) == stem.size()) return PictureKey{number, 1};
    if (std::sscanf(stem.c_str(), "frame_%llu_%u%n", &number, &copy, &used) == 2 && size_t(used) == stem.size() && copy >= 2) {
        return PictureKey{number, copy};
    }
    size_t end = stem.find_last_of("0123456789");
    if (end == std::string::npos) return std::nullopt;
    size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(stem[begin - 1]))) --begin;
    if (end - begin > 15) return std::nullopt;
    return PictureKey{std::stoull(stem.substr(begin, end - begin + 1)), 1};
}

std::string listed(const std::vector<std::string>& items) {
    std::string s;
    for (size_t i = 0; i < items.size() && i < 8; ++i) s += (i ? ", " : "") + items[i];
    return items.size() > 8 ? s + " and " + std::to_string(items.size() - 8) + " more" : s;
}

std::string key_text(const PictureKey& k) { return std::to_string(k.number) + (k.copy > 1 ? " (copy " + std::to_string(k.copy) + ")" : ""); }

class FolderPictures : public PictureStream {
public:
    static constexpr size_t kNone = SIZE_MAX;  // the frame has no picture in the folder

    FolderPictures(std::vector<fs::path> files, std::vector<size_t> order, int width, int height)
        : files_(std::move(files)), order_(std::move(order)), to_rgb_(width, height) {}
    bool next(RgbPicture& picture, std::string& error) override {
        if (at_ >= order_.size()) {
            error = "no picture is left";
            return false;
        }
        const size_t chosen = order_[at_++];
        if (chosen == kNone) {
            picture = RgbPicture{};
            return true;
        }
        const fs::path& file = files_[chosen];
        Decoded decoded;
        av::Frame frame(av_frame_alloc());
        if (!decoded.open(file.string(), AVMEDIA_TYPE_VIDEO, error)) return false;
        if (!decoded.next(frame.get(), error)) {
            if (error.empty()) error = file.string() + ": holds no picture";
            return false;
        }
        to_rgb_.convert(frame.get(), picture);
        return true;
    }
    FitCounts fit_counts(std::string&) override {
        std::set<size_t> shown(order_.begin(), order_.end());
        shown.erase(kNone);
        return {files_.size() - shown.size(), order_.size() - shown.size()};
    }

private:
    std::vector<fs::path> files_;
    std::vector<size_t> order_;
    size_t at_ = 0;
    ToRgb to_rgb_;
};

class VideoPictures : public PictureStream {
public:
    VideoPictures(std::unique_ptr<Decoded> video, std::vector<double> seconds, bool fit, int width, int height)
        : video_(std::move(video)), seconds_(std::move(seconds)), fit_(fit), to_rgb_(width, height) {}
    bool next(RgbPicture& picture, std::string& error) override {
        if (at_ >= seconds_.size()) {
            error = "no picture is left";
            return false;
        }
        const double t = seconds_[at_++];
        const size_t before = serial_;
        if (!fit_ || !shown_) {
            if (!take(error)) {
                if (error.empty()) error = "the video ended early";
                return false;
            }
        }
        // With --fit: the last picture whose time has come.
        while (fit_) {
            if (!ahead_) {
                ahead_.reset(av_frame_alloc());
                if (!video_->next(ahead_.get(), error)) {
                    if (!error.empty()) return false;
                    ahead_.reset();
                    ended_ = true;
                } else {
                    ++read_;
                }
            }
            if (ended_ || !ahead_) break;
            const double s = frame_seconds(ahead_.get(), video_->stream());
            if (s > t + 1e-6) break;
            shown_ = std::move(ahead_);
            ++serial_;
        }
        if (serial_ == before) {
            ++counts_.repeated;
        } else {
            ++shown_count_;
        }
        to_rgb_.convert(shown_.get(), picture);
        return true;
    }
    FitCounts fit_counts(std::string& error) override {
        if (!ended_) {
            av::Frame rest(av_frame_alloc());
            while (video_->next(rest.get(), error)) ++read_;
            if (!error.empty()) return {};
            ended_ = true;
        }
        counts_.left_out = read_ - shown_count_;
        return counts_;
    }

private:
    bool take(std::string& error) {
        av::Frame frame(av_frame_alloc());
        if (ahead_) {
            frame = std::move(ahead_);
        } else if (!video_->next(frame.get(), error)) {
            return false;
        } else {
            ++read_;
        }
        shown_ = std::move(frame);
        ++serial_;
        return true;
    }
    std::unique_ptr<Decoded> video_;
    std::vector<double> seconds_;
    bool fit_;
    ToRgb to_rgb_;
    size_t at_ = 0;
    av::Frame shown_, ahead_;
    bool ended_ = false;
    size_t read_ = 0, shown_count_ = 0;  // pictures decoded, and shown by a frame
    size_t serial_ = 0;                  // counts the pictures taken into shown_
    FitCounts counts_;
};

class LibassBurner : public SubtitleBurner {
public:
    bool open(const std::string& path, int width, int height, std::string& error) {
        graph_.reset(avfilter_graph_alloc());
        const std::string source_args = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                                        ":pix_fmt=" + std::to_string(AV_PIX_FMT_RGB24) + ":time_base=1/90000:pixel_aspect=1/1";
        AVFilterContext* subtitles = nullptr;
        AVFilterContext* format = nullptr;
        const AVFilter* subtitles_filter = avfilter_get_by_name("subtitles");
        if (!graph_ || !subtitles_filter) {
            error = "this FFmpeg has no subtitles filter (it needs libass)";
            return false;
        }
        bool ok = avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", source_args.c_str(), nullptr,
                                               graph_.get()) >= 0;
        ok = ok && (subtitles = avfilter_graph_alloc_filter(graph_.get(), subtitles_filter, "subtitles")) != nullptr;
        ok = ok && av_opt_set(subtitles, "filename", path.c_str(), AV_OPT_SEARCH_CHILDREN) >= 0;
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        ok = ok && av_opt_set(subtitles, "original_size", size.c_str(), AV_OPT_SEARCH_CHILDREN) >= 0;
        if (ok && avfilter_init_str(subtitles, nullptr) < 0) {
            error = path + ": the subtitles cannot be read";
            return false;
        }
        ok = ok && avfilter_graph_create_filter(&format, avfilter_get_by_name("format"), "rgb", "pix_fmts=rgb24", nullptr,
                                                graph_.get()) >= 0;
        ok = ok && avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph_.get()) >= 0;
        ok = ok && avfilter_link(source_, 0, subtitles, 0) >= 0 && avfilter_link(subtitles, 0, format, 0) >= 0 &&
             avfilter_link(format, 0, sink_, 0) >= 0 && avfilter_graph_config(graph_.get(), nullptr) >= 0;
        if (!ok) error = path + ": the subtitles cannot be drawn";
        return ok;
    }

    bool burn(RgbPicture& picture, double seconds, std::string& error) override {
        av::Frame in(av_frame_alloc()), out(av_frame_alloc());
        in->width = picture.width;
        in->height = picture.height;
        in->format = AV_PIX_FMT_RGB24;
        in->pts = std::llround(seconds * 90000);
        if (av_frame_get_buffer(in.get(), 0) < 0) {
            error = "out of memory";
            return false;
        }
        for (int y = 0; y < picture.height; ++y) {
            std::memcpy(in->data[0] + size_t(y) * in->linesize[0], picture.rgb.data() + size_t(y) * picture.width * 3, size_t(picture.width) * 3);
        }
        if (av_buffersrc_add_frame(source_, in.get()) < 0 || av_buffersink_get_frame(sink_, out.get()) < 0) {
            error = "the subtitles could not be drawn";
            return false;
        }
        for (int y = 0; y < picture.height; ++y) {
            std::memcpy(picture.rgb.data() + size_t(y) * picture.width * 3, out->data[0] + size_t(y) * out->linesize[0], size_t(picture.width) * 3);
        }
        return true;
    }

private:
    std::unique_ptr<AVFilterGraph, FreeGraph> graph_;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
};

class FfmpegReplaceMedia : public ReplaceMedia {
public:
    std::unique_ptr<PictureStream> open_pictures(const std::string& source, int width, int height,
                                                 const std::vector<double>& seconds, const std::vector<uint32_t>& frame_numbers,
                                                 bool fit, std::string& error) override {
        std::error_code ec;
        if (fs::is_directory(source, ec)) return open_folder(source, width, height, frame_numbers, fit, error);
        // Without --fit the counts must agree: count the pictures first.
        if (!fit) {
            Decoded counting;
            if (!counting.open(source, AVMEDIA_TYPE_VIDEO, error)) return nullptr;
            av::Frame frame(av_frame_alloc());
            size_t count = 0;
            while (counting.next(frame.get(), error)) ++count;
            if (!error.empty()) return nullptr;
            if (count != seconds.size()) {
                error = source + " holds " + std::to_string(count) + " pictures, the stream " + std::to_string(seconds.size()) +
                        " frames: give a video of " + std::to_string(seconds.size()) +
                        " pictures, or --fit to show at each frame's time the picture the video shows then "
                        "(a warning counts those left out or repeated)";
                return nullptr;
            }
        }
        auto video = std::make_unique<Decoded>();
        if (!video->open(source, AVMEDIA_TYPE_VIDEO, error)) return nullptr;
        return std::make_unique<VideoPictures>(std::move(video), seconds, fit, width, height);
    }

    std::unique_ptr<SubtitleBurner> open_subtitles(const std::string& path, int width, int height, std::string& error) override {
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) {
            error = path + ": no such subtitle file";
            return nullptr;
        }
        auto burner = std::make_unique<LibassBurner>();
        if (!burner->open(path, width, height, error)) return nullptr;
        return burner;
    }

    bool read_sound(const std::string& path, int rate, int channels, size_t needed, std::vector<int16_t>& samples,
                    double& given_seconds, std::string& error) override {
        Decoded sound;
        if (!sound.open(path, AVMEDIA_TYPE_AUDIO, error)) return false;
        AVChannelLayout out_layout;
        av_channel_layout_default(&out_layout, channels);
        SwrContext* raw = nullptr;
        AVCodecContext* c = sound.codec();
        AVChannelLayout in_layout = c->ch_layout;
        if (in_layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&in_layout, c->ch_layout.nb_channels);
        if (swr_alloc_set_opts2(&raw, &out_layout, AV_SAMPLE_FMT_S16, rate, &in_layout, c->sample_fmt, c->sample_rate, 0, nullptr) < 0 ||
            swr_init(raw) < 0) {
            swr_free(&raw);
            error = path + ": its sound cannot be converted";
            return false;
        }
        av::Swr swr(raw);
        av::Frame frame(av_frame_alloc());
        samples.clear();
        auto convert = [&](const uint8_t** data, int count) {
            const int room = swr_get_out_samples(swr.get(), count);
            if (room <= 0) return;
            const size_t at = samples.size();
            samples.resize(at + size_t(room) * channels);
            uint8_t* out[1] = {reinterpret_cast<uint8_t*>(samples.data() + at)};
            const int got = swr_convert(swr.get(), out, room, data, count);
            samples.resize(at + size_t(std::max(got, 0)) * channels);
        };
        // Decoded only as far as the stream needs: the rest of a long file is never held.
        bool ended = false;
        while (samples.size() < needed) {
            if (!sound.next(frame.get(), error)) {
                ended = true;
                break;
            }
            convert(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
            av_frame_unref(frame.get());
        }
        if (!error.empty()) return false;
        if (ended) convert(nullptr, 0);  // what the resampler still holds
        given_seconds = ended ? double(samples.size() / size_t(channels)) / rate : sound.seconds();  // -1: longer, not said how long
        return true;
    }

    bool decode_frame(const std::vector<uint8_t>& mdec, int width, int height, RgbPicture& picture, std::string& error) override {
        if (!decoder_.decode_planes(mdec.data(), mdec.size(), uint32_t(width), uint32_t(height), planes_, error)) return false;
        show(planes_, picture);
        return true;
    }

private:
    std::unique_ptr<PictureStream> open_folder(const std::string& folder, int width, int height,
                                               const std::vector<uint32_t>& frame_numbers, bool fit, std::string& error) {
        std::map<PictureKey, fs::path> pictures;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            if (!entry.is_regular_file(ec)) continue;
            const auto key = picture_key(entry.path());
            if (!key) continue;
            if (auto [at, added] = pictures.emplace(*key, entry.path()); !added) {
                error = folder + ": two pictures are frame " + key_text(*key) + " (" + at->second.filename().string() + ", " +
                        entry.path().filename().string() + ")";
                return nullptr;
            }
        }
        if (ec) {
            error = folder + ": " + ec.message();
            return nullptr;
        }
        const size_t wanted = frame_numbers.size();
        std::vector<fs::path> files;
        std::vector<size_t> order;
        if (fit) {
            if (pictures.empty()) {
                error = folder + " holds no pictures named by frame number";
                return nullptr;
            }
            for (auto& [key, path] : pictures) files.push_back(path);
            for (size_t i = 0; i < wanted; ++i) order.push_back(i * files.size() / wanted);
            return std::make_unique<FolderPictures>(std::move(files), std::move(order), width, height);
        }
        // Each frame takes the picture its number names; a frame with none keeps what it holds.
        std::map<uint32_t, uint32_t> copies;
        for (uint32_t number : frame_numbers) {
            const auto found = pictures.find(PictureKey{number, ++copies[number]});
            if (found == pictures.end()) {
                order.push_back(FolderPictures::kNone);
                continue;
            }
            order.push_back(files.size());
            files.push_back(found->second);
            pictures.erase(found);
        }
        if (!pictures.empty() || files.empty()) {
            std::vector<std::string> stray;
            for (auto& [key, path] : pictures) stray.push_back(path.filename().string());
            error = folder + (stray.empty() ? std::string(" holds no picture named by a frame's number")
                                            : ": " + listed(stray) + (stray.size() > 1 ? " name" : " names") + " no frame of the stream");
            error += " (the stream's " + std::to_string(wanted) + " frames are numbered " +
                     (frame_numbers.empty() ? std::string() : std::to_string(frame_numbers.front()) + " to " + std::to_string(frame_numbers.back()) + ", ") +
                     "as --frames names them)";
            return nullptr;
        }
        return std::make_unique<FolderPictures>(std::move(files), std::move(order), width, height);
    }

    // Planes as quorvex's pictures show them: as the console converts them.
    static void show(const codecs::Picture& p, RgbPicture& out) {
        out.width = p.width;
        out.height = p.height;
        out.rgb = codecs::console_rgb(p);
    }

    MdecDecoder decoder_;
    codecs::Picture planes_;
};

}  // namespace
}  // namespace quorvex

extern "C" __attribute__((visibility("default"))) quorvex::ReplaceMedia* quorvex_replace_media() {
    av_log_set_level(AV_LOG_QUIET);
    return new quorvex::FfmpegReplaceMedia();
}
