// Every frame of a stream as a PNG picture, frame_NNNNNN.png by frame number, with frames.json
// naming each picture, its time on the stream's timeline, and the frames that cannot be decoded.
// Frames are decoded in order; converting, compressing and writing the pictures, most of the
// work, is shared among a writer per core.
#include <algorithm>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "../paths.h"
#include "mdec_decoder.h"
#include "media_sinks.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

constexpr char kManifest[] = "frames.json";

// One picture's conversion to RGB and PNG.
class PngEncoder {
public:
    explicit PngEncoder(std::string chroma) : chroma_(std::move(chroma)) {}
    bool encode(AVFrame* picture, av::Packet& packet, std::string& error) {
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
            if (av_frame_get_buffer(rgb_.get(), 0) < 0) {
                error = "out of memory";
                return false;
            }
        }
        if (av_frame_make_writable(rgb_.get()) < 0) {
            error = "cannot convert the pictures";
            return false;
        }
        picture_rgb(picture, chroma_, pixels_);
        for (int row = 0; row < picture->height; ++row) {
            std::memcpy(rgb_->data[0] + size_t(row) * rgb_->linesize[0], &pixels_[size_t(row) * picture->width * 3],
                        size_t(picture->width) * 3);
        }
        packet.reset(av_packet_alloc());
        if (avcodec_send_frame(png_.get(), rgb_.get()) < 0 || avcodec_receive_packet(png_.get(), packet.get()) < 0) {
            error = "cannot encode a PNG picture";
            return false;
        }
        return true;
    }

private:
    std::string chroma_;
    av::Codec png_;
    av::Frame rgb_;
    std::vector<uint8_t> pixels_;
};

// Pictures written by a pool of threads, each with its own encoder; a bounded queue keeps the
// decoded frames waiting few. The first failure stops the rest and is reported by the next call.
class PngWriters {
public:
    PngWriters(unsigned threads, std::string chroma) : chroma_(std::move(chroma)) {
        if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
        limit_ = 2 * threads;
    }
    ~PngWriters() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    PngWriters(const PngWriters&) = delete;
    PngWriters& operator=(const PngWriters&) = delete;

    // Queues `picture` (a new reference is taken) to be written to `path`; false with the first
    // failure so far.
    bool write(const AVFrame* picture, fs::path path, std::string display, std::string& error) {
        av::Frame copy(av_frame_clone(picture));
        std::unique_lock lock(mutex_);
        if (!copy && error_.empty()) error_ = "out of memory";
        room_.wait(lock, [&] { return queue_.size() < limit_ || !error_.empty(); });
        if (!error_.empty()) {
            error = error_;
            return false;
        }
        queue_.push_back({std::move(copy), std::move(path), std::move(display)});
        wake_.notify_one();
        return true;
    }

    // Waits until every queued picture is written.
    bool drain(std::string& error) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return (queue_.empty() && busy_ == 0) || !error_.empty(); });
        error = error_;
        return error_.empty();
    }

private:
    struct Job {
        av::Frame picture;
        fs::path path;
        std::string display;
    };

    void run() {
        PngEncoder encoder(chroma_);
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Job job = std::move(queue_.front());
            queue_.pop_front();
            ++busy_;
            const bool stopped = !error_.empty();
            lock.unlock();
            std::string error;
            if (!stopped) write_one(encoder, job, error);
            lock.lock();
            --busy_;
            if (!error.empty() && error_.empty()) error_ = error;
            room_.notify_all();
        }
    }

    static void write_one(PngEncoder& encoder, const Job& job, std::string& error) {
        av::Packet packet;
        if (!encoder.encode(job.picture.get(), packet, error)) return;
        errno = 0;
        std::FILE* f = open_file(job.path, "wb");
        bool ok = f && std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), f) == static_cast<size_t>(packet->size);
        if (f && std::fclose(f) != 0) ok = false;
        if (!ok) error = job.display + ": cannot write: " + (errno ? std::strerror(errno) : "write error");
    }

    std::string chroma_;
    std::mutex mutex_;
    std::condition_variable wake_, room_;
    std::deque<Job> queue_;
    std::vector<std::thread> threads_;
    size_t limit_ = 2, busy_ = 0;
    bool closing_ = false;
    std::string error_;
};

class PictureSink : public UnitSink {
public:
    PictureSink(const StreamContext& context, const OutputOptions& options)
        : context_(context), options_(options), manifest_(stream_manifest(context)), decoder_(options.libavcodec_decoder ? MdecDecoding::kLibavcodec : MdecDecoding::kConsole),
          writers_(static_cast<unsigned>(options.encoder_threads), options.chroma) {
        manifest_["pictures"] = Json::array();
        report_.decodes_pictures = true;
        // The frame each place asks for, in order; an undecodable one gives way to the next.
        const uint32_t frames = context.delivery ? context.delivery->counts.frames : 0;
        for (size_t k = 0; k < options.picture_positions.size(); ++k) {
            const double at = std::clamp(options.picture_positions[k], 0.0, 1.0) * frames;
            wanted_.push_back({std::min<uint32_t>(static_cast<uint32_t>(at), frames ? frames - 1 : 0), k});
        }
        std::sort(wanted_.begin(), wanted_.end());
    }

    bool begin(const std::string& directory, std::string& error) {
        AtomicOutput::MayReplace may_replace;
        if (options_.force) {
            may_replace = [](const fs::path& place, std::string& why) { return folder_is_quorvex_output(place, kManifest, why); };
        }
        return output_.begin(directory, AtomicOutput::Shape::kFolder, may_replace, error);
    }

    bool take(const Unit& unit, const FrameTime* time, std::string& error) override {
        if (!unit.video) return true;
        const uint32_t ordinal = ordinal_++;
        const bool chosen = !options_.picture_positions.empty();
        if (chosen && (next_wanted_ >= wanted_.size() || ordinal < wanted_[next_wanted_].first)) return true;
        std::string why;
        AVFrame* picture = decoder_.decode(unit.frame, why);
        if (!picture) {
            report_.undecodable_frames.push_back(unit.frame.frame_number);
            if (report_.first_failure.empty()) {
                report_.first_failure = "frame " + std::to_string(unit.frame.frame_number) + ": " + why;
            }
            return true;
        }
        const uint32_t copy = ++seen_[unit.frame.frame_number];
        char name[48];
        if (copy == 1) {
            std::snprintf(name, sizeof name, "frame_%06u.png", unit.frame.frame_number);
        } else {
            std::snprintf(name, sizeof name, "frame_%06u_%u.png", unit.frame.frame_number, copy);
        }
        if (!writers_.write(picture, output_.work() / name, output_.target() + "/" + name, error)) return false;
        Json entry;
        entry["file"] = name;
        entry["frame_number"] = unit.frame.frame_number;
        if (time) entry["time_seconds"] = time->start.seconds();
        if (chosen) {
            entry["positions"] = Json::array();
            for (; next_wanted_ < wanted_.size() && wanted_[next_wanted_].first <= ordinal; ++next_wanted_) {
                entry["positions"].push_back(wanted_[next_wanted_].second);
            }
        }
        manifest_["pictures"].push_back(std::move(entry));
        ++report_.frames_written;
        return true;
    }

    bool finish(std::string& error) override {
        if (!writers_.drain(error)) return false;
        if (report_.frames_written == 0) {
            error = output_.target() + ": none of the stream's " + std::to_string(report_.undecodable_frames.size()) +
                    " frames can be decoded (" + report_.first_failure + ")";
            return false;
        }
        manifest_["undecodable_frames"] = report_.undecodable_frames;
        const std::string text = dump(manifest_);
        errno = 0;
        std::FILE* f = open_file(output_.work() / kManifest, "wb");
        const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if ((f && std::fclose(f) != 0) || !ok) {
            error = output_.target() + "/" + kManifest + ": cannot write: " + (errno ? std::strerror(errno) : "write error");
            return false;
        }
        return true;
    }

    bool commit(std::string& error) override { return output_.commit(error); }
    void undo_commit() override { output_.undo_commit(); }
    const OutputReport& report() const override { return report_; }
    std::string where() const override { return output_.target(); }

private:
    const StreamContext& context_;
    OutputOptions options_;
    AtomicOutput output_;
    Json manifest_;
    OutputReport report_;
    MdecDecoder decoder_;
    std::map<uint32_t, uint32_t> seen_;
    std::vector<std::pair<uint32_t, size_t>> wanted_;  // (frame ordinal, place) of chosen pictures
    size_t next_wanted_ = 0;
    uint32_t ordinal_ = 0;
    PngWriters writers_;
};

}  // namespace

UnitSink* new_picture_sink(const StreamContext& context, const std::string& directory, const OutputOptions& options,
                           std::string& error) {
    auto sink = std::make_unique<PictureSink>(context, options);
    return sink->begin(directory, error) ? sink.release() : nullptr;
}

}  // namespace quorvex
