// What the viewer serves: the discs found under its folders, known by ids (never by paths), their
// scans, the previews made of their streams, and the scans and rips running in the background.
// An image is looked at again whenever it is asked for: one that is gone answers 410, one that
// reaches outside the served folders (a CUE sheet naming a BIN elsewhere) is refused, and one that
// changed is scanned again, its previews made anew.
#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../commands.h"
#include "../disc_survey.h"
#include "../json_out.h"
#include "preview_cache.h"

namespace quorvex::viewer {

// The rips of one disc, one at a time in the order they were asked for: each takes a ticket when
// its job is made, and runs when its turn comes.
class RipTurns {
public:
    uint64_t take() { return next_++; }  // called under the shelf's lock, in the order of the jobs
    void wait_for(uint64_t ticket) {
        std::unique_lock lock(mutex_);
        turn_.wait(lock, [&] { return serving_ == ticket; });
    }
    void done() {
        {
            std::lock_guard lock(mutex_);
            ++serving_;
        }
        turn_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable turn_;
    uint64_t next_ = 0, serving_ = 0;
};

// An HTTP status with a one-line reason.
// Why the shelf cannot give what was asked, by kind; the server answers each kind with its HTTP
// status from one table (server.cpp).
enum class Refusal {
    kNotFound,     // no such disc, stream, picture, job or ripped file
    kGone,         // the image was moved or removed since the shelf was read
    kOutside,      // the image names a file outside the served folders
    kUnreadable,   // the image cannot be opened or scanned
    kNotBuilt,     // this build writes no media files
    kBusy,         // the server's workers are all taken: ask again
    kBadRequest,   // the request itself is wrong
};
struct Failure {
    Refusal kind = Refusal::kNotFound;
    std::string reason;
};

// The files of an image as they are now: whether they are there, under the served folders, and
// their sizes, times and identities (a changed one is another image).
struct ImageStamp {
    bool present = false;
    std::string outside;  // a file of the image outside the served folders, if any
    uint64_t bytes = 0;
    std::vector<std::array<int64_t, 4>> files;  // size, modification time, device, inode
    bool operator==(const ImageStamp&) const = default;
};

struct ShelfDisc {
    std::string id;
    CollectionImage image;
    std::string format;  // "CUE sheet", "CHD", ...
};

// A scan of one disc, kept while the image stays as it was. Its streams are listed and numbered
// as quorvex scan lists them.
struct ScannedDisc {
    DiscSurvey survey;
    // The stream numbered `number` in the listing, or null.
    const FoundStream* numbered(size_t number, size_t* index = nullptr) const;
};

struct Job {
    enum class State { kQueued, kRunning, kDone, kCut, kFailed };
    std::string id, kind, disc;  // kind: "scan" or "rip"
    std::atomic<uint64_t> done{0}, total{0};
    std::atomic<State> state{State::kQueued};
    std::mutex mutex;
    std::string message;
    std::vector<std::string> files;       // a rip's, under the output folder
    std::map<std::string, size_t> numbers;  // a rip's streams by name: their places in the disc's list
    std::vector<RippedStream> streams;    // what became of each, once through
    std::string folder;                   // where a rip's files are, on the server
    std::string format;                   // a rip's movies: mkv or mp4
    RipProgress progress;                 // a rip's stream in hand
    // Its state; a rip's streams link their files with `token`.
    Json json(const std::string& token = {});
};

// A preview ready to be served: its file, held in the cache while the pin lives.
struct Preview {
    std::filesystem::path file;
    std::string content_type;
    PreviewCache::Pin pin;
};

class Shelf {
public:
    Shelf(const Options& options, const std::vector<std::string>& folders, std::filesystem::path out,
          std::filesystem::path cache, uint64_t cache_bytes);
    ~Shelf();

    Outcome load_plugins();  // the plug-in folder, once
    size_t size() const { return discs_.size(); }
    Json discs_json();
    // The disc of `id`, still there and as it was (or scanned again when it changed); or a failure.
    const ShelfDisc* disc(const std::string& id, Failure& failure);

    // The disc's scan, made now (with `job` hearing its progress) when there is none yet.
    std::shared_ptr<const ScannedDisc> scan(const ShelfDisc& disc, Failure& failure, Job* job = nullptr);
    Json streams_json(const ShelfDisc& disc, const ScannedDisc& scan, const std::string& token);

    // The preview of the stream numbered `number`: "media" (MP4 for movies, FLAC for sound),
    // "thumb" (the picture a third of the way in) or "frameK" (K from 0 to 5: a filmstrip), made
    // on first request.
    bool preview(const ShelfDisc& disc, size_t number, const std::string& what, Preview& preview, Failure& failure);

    // The file a rip wrote for the stream numbered `number`, as its rip.json records it under the
    // output folder; or a failure.
    bool ripped(const ShelfDisc& disc, size_t number, Preview& file, Failure& failure);

    // Background work: a scan, or a rip of some of a disc's streams (by their numbers) into the
    // output folder. Rips of one disc run one after the other, the later ones queued.
    std::shared_ptr<Job> start_scan(const ShelfDisc& disc, Failure& failure);
    // `movie_format`: "mkv" or "mp4", as rip --format takes it.
    std::shared_ptr<Job> start_rip(const ShelfDisc& disc, std::vector<size_t> streams, const std::string& movie_format, Failure& failure);
    std::shared_ptr<Job> job(const std::string& id);
    Json jobs_json(const std::string& token);

private:
    struct DiscState {
        ImageStamp stamp;
        uint64_t generation = 0;  // previews are named by it: a changed image gets new ones
        std::shared_ptr<const ScannedDisc> scan;
        std::string scan_failure;   // why the last scan of the image as it is (`failed_stamp`) failed
        ImageStamp failed_stamp;
        std::map<size_t, double> measured;  // seconds, by stream number, once a preview has played it through
        std::map<size_t, std::vector<double>> filmstrip;  // the times of a movie's filmstrip pictures, by number
        std::shared_ptr<std::mutex> making_scan = std::make_shared<std::mutex>();
        std::shared_ptr<RipTurns> ripping = std::make_shared<RipTurns>();
    };
    ImageStamp stamp_of(const CollectionImage& image) const;
    // A job doing `work` on a thread of its own; refused (503) while too many are unfinished.
    std::shared_ptr<Job> launch(const std::string& kind, const std::string& disc, std::function<void(Job&)> work,
                                Failure& failure, const std::function<void(Job&)>& prepare = {});
    // Makes a stream's media or pictures into the cache; `measured` gets the stream's length as
    // its files play.
    bool make_previews(const ShelfDisc& disc, const FoundStream& stream, const std::string& prefix, bool media,
                       double& measured, std::vector<double>& filmstrip, std::string& error);

    const Options& options_;
    PluginFolder plugin_folder_;
    std::vector<const PluginFile*> plugins_;
    std::vector<std::filesystem::path> roots_;  // the served folders, as the system names them
    std::vector<ShelfDisc> discs_;
    std::filesystem::path out_;
    PreviewCache cache_;

    std::mutex mutex_;
    std::map<std::string, DiscState> state_;
    std::map<std::string, std::shared_ptr<std::mutex>> making_;  // one maker per stream's previews
    std::condition_variable maker_free_;
    unsigned makers_ = 0, waiting_makers_ = 0;
    std::map<std::string, std::shared_ptr<Job>> jobs_;
    uint64_t next_job_ = 1;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Worker> workers_;
};

}  // namespace quorvex::viewer
