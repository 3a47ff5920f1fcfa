// Every frame of a stream as a PNG picture, frame_NNNNNN.png by frame number, with frames.json
// naming each picture, its time on the stream's timeline, and the frames that cannot be decoded.
// Decoding, conversion to RGB and compression, nearly all the work, run on every core; the
// pictures come back in the order the frames were given and are named and written in that order.
// The console's decoder and the PNG writer are quorvex's own, so every build writes pictures.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "media_output.h"
#include "paths.h"
#include "png_writer.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

constexpr char kManifest[] = "frames.json";

struct PictureJob {
    std::vector<uint8_t> mdec;
    uint32_t width = 0, height = 0;
};

struct PictureResult {
    std::string why;  // empty when the frame decoded
    std::vector<uint8_t> png;
};

// A worker per core, each with its own decoder; results are handed back in the order the jobs
// were given.
class PictureWorkers {
public:
    bool start(unsigned threads, const PictureDecoding& how, std::string& error) {
        if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < threads; ++i) {
            auto decoder = make_frame_pictures(how, error);
            if (!decoder) return false;
            threads_.emplace_back([this, d = std::move(decoder)] { run(*d); });
        }
        return true;
    }
    ~PictureWorkers() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    size_t size() const { return threads_.size(); }
    size_t pending() const { return submitted_ - taken_; }

    void submit(PictureJob job) {
        std::lock_guard lock(mutex_);
        queue_.push_back({submitted_++, std::move(job)});
        wake_.notify_one();
    }

    // The result of the oldest job not yet taken: waiting for it, or none if it is not done.
    std::optional<PictureResult> next(bool wait) {
        std::unique_lock lock(mutex_);
        if (taken_ == submitted_) return std::nullopt;
        if (wait) done_cv_.wait(lock, [&] { return done_.count(taken_) != 0; });
        const auto it = done_.find(taken_);
        if (it == done_.end()) return std::nullopt;
        PictureResult result = std::move(it->second);
        done_.erase(it);
        ++taken_;
        return result;
    }

private:
    void run(FramePictures& decoder) {
        codecs::Picture planes;
        std::vector<uint8_t> rgb;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto [sequence, job] = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            PictureResult result;
            if (decoder.decode(job.mdec, job.width, job.height, planes, result.why)) {
                decoder.rgb(planes, rgb);
                result.png = encode_png(rgb, planes.width, planes.height);
            } else if (result.why.empty()) {
                result.why = "cannot be decoded";
            }
            lock.lock();
            done_.emplace(sequence, std::move(result));
            done_cv_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_cv_;
    std::deque<std::pair<size_t, PictureJob>> queue_;
    std::map<size_t, PictureResult> done_;
    size_t submitted_ = 0, taken_ = 0;
    std::vector<std::thread> threads_;
    bool closing_ = false;
};

class PictureSink : public UnitSink {
public:
    PictureSink(const StreamContext& context, const OutputOptions& options)
        : options_(options), manifest_(stream_manifest(context)) {
        manifest_["pictures"] = Json::array();
        // The frame each place asks for, in order; an undecodable one gives way to the next.
        const uint32_t frames = context.delivery ? context.delivery->counts.frames : 0;
        for (size_t k = 0; k < options.picture_positions.size(); ++k) {
            const double at = std::clamp(options.picture_positions[k], 0.0, 1.0) * frames;
            wanted_.push_back({std::min<uint32_t>(static_cast<uint32_t>(at), frames ? frames - 1 : 0), k});
        }
        std::sort(wanted_.begin(), wanted_.end());
    }

    bool begin(const std::string& directory, std::string& error) {
        if (!workers_.start(static_cast<unsigned>(options_.encoder_threads), options_.decoding, error)) {
            error = directory + ": " + error;
            return false;
        }
        const auto own = [](const fs::path& place, std::string& why) { return folder_is_quorvex_output(place, kManifest, why); };
        return output_.begin(directory, AtomicOutput::Shape::kFolder, replaceable(options_, own), error);
    }

    bool take(const Unit& unit, const FrameTime* time, std::string& error) override {
        if (!unit.video) return true;
        const uint32_t ordinal = ordinal_++;
        const bool chosen = !options_.picture_positions.empty();
        if (chosen && (next_wanted_ >= wanted_.size() || ordinal < wanted_[next_wanted_].first)) return true;
        const FrameBuffer& f = unit.frame;
        const size_t size = std::min<size_t>(f.payload_size, sizeof f.payload);
        workers_.submit({{f.payload, f.payload + size}, f.width, f.height});
        waiting_.push_back({f.frame_number, ordinal, time ? std::optional(time->start.seconds()) : std::nullopt});
        // Chosen pictures are few, and whether one decodes says which frame the next place takes.
        return collect(chosen ? 0 : 2 * workers_.size(), error);
    }

    bool finish(std::string& error) override {
        if (!collect(0, error)) return false;
        if (report_.frames_written == 0 && report_.undecodable_frames.empty()) {
            error = output_.target() + ": the stream holds no pictures (it is sound alone)";
            return false;
        }
        if (report_.frames_written == 0) {
            error = output_.target() + ": none of the stream's " + std::to_string(report_.undecodable_frames.size()) +
                    " frames can be decoded (" + report_.first_failure + ")";
            return false;
        }
        manifest_["undecodable_frames"] = report_.undecodable_frames;
        const std::string text = dump(manifest_);
        return write_file(kManifest, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, error);
    }

    bool commit(std::string& error) override { return output_.commit(error); }
    void undo_commit() override { output_.undo_commit(); }
    const OutputReport& report() const override { return report_; }
    std::string where() const override { return output_.target(); }

private:
    struct Waiting {
        uint32_t frame_number, ordinal;
        std::optional<double> seconds;
    };

    // Takes the pictures that are done, in order, until at most `in_flight` remain.
    bool collect(size_t in_flight, std::string& error) {
        while (!waiting_.empty()) {
            std::optional<PictureResult> result = workers_.next(workers_.pending() > in_flight);
            if (!result) return true;
            const Waiting w = waiting_.front();
            waiting_.pop_front();
            if (!result->why.empty()) {
                report_.undecodable_frames.push_back(w.frame_number);
                if (report_.first_failure.empty()) report_.first_failure = "frame " + std::to_string(w.frame_number) + ": " + result->why;
                continue;
            }
            if (!place(w, result->png, error)) return false;
        }
        return true;
    }

    bool place(const Waiting& w, const std::vector<uint8_t>& png, std::string& error) {
        const std::string name = frame_file_name(w.frame_number, seen_, ".png");
        if (!write_file(name, png, error)) return false;
        Json entry;
        entry["file"] = name;
        entry["frame_number"] = w.frame_number;
        if (w.seconds) entry["time_seconds"] = *w.seconds;
        if (!options_.picture_positions.empty()) {
            entry["positions"] = Json::array();
            for (; next_wanted_ < wanted_.size() && wanted_[next_wanted_].first <= w.ordinal; ++next_wanted_) {
                entry["positions"].push_back(wanted_[next_wanted_].second);
            }
        }
        manifest_["pictures"].push_back(std::move(entry));
        ++report_.frames_written;
        return true;
    }

    bool write_file(const std::string& name, std::span<const uint8_t> bytes, std::string& error) {
        errno = 0;
        std::FILE* f = open_file(output_.work() / name, "wb");
        bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f && std::fclose(f) != 0) ok = false;
        if (!ok) error = output_.target() + "/" + name + ": cannot write: " + (errno ? std::strerror(errno) : "write error");
        return ok;
    }

    OutputOptions options_;
    AtomicOutput output_;
    Json manifest_;
    OutputReport report_;
    PictureWorkers workers_;
    std::deque<Waiting> waiting_;
    std::map<uint32_t, uint32_t> seen_;
    std::vector<std::pair<uint32_t, size_t>> wanted_;  // (frame ordinal, place) of chosen pictures
    size_t next_wanted_ = 0;
    uint32_t ordinal_ = 0;
};

}  // namespace

std::unique_ptr<UnitSink> make_picture_sink(const StreamContext& context, const std::string& directory,
                                            const OutputOptions& options, std::string& error) {
    auto sink = std::make_unique<PictureSink>(context, options);
    if (!sink->begin(directory, error)) return nullptr;
    return sink;
}

}  // namespace quorvex
