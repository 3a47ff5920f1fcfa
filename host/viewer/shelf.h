// What the viewer serves: the discs found under its folders, known by ids (never by paths), their
// scans, the previews made of their streams (kept in a cache of bounded size, oldest out first),
// and the scans and rips running in the background.
#pragma once

#include <atomic>
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

namespace quorvex::viewer {

// An HTTP status with a one-line reason.
struct Failure {
    int status;
    std::string reason;
};

struct ShelfDisc {
    std::string id;
    CollectionImage image;
    std::string format;  // "CUE sheet", "CHD", ...
};

// A scan of one disc, kept while the server runs.
struct ScannedDisc {
    DiscSurvey survey;
    std::vector<size_t> shown;  // the streams listed: each group once, by its chosen split
    Json streams;               // their descriptions, in the order of `shown`
};

struct Job {
    std::string id, kind, disc;  // kind: "scan" or "rip"
    std::atomic<uint64_t> done{0}, total{0};
    std::atomic<int> state{0};  // 0 running, 1 done, 2 failed
    std::mutex mutex;
    std::string message;
    std::vector<std::string> files;
    Json json();
};

class Shelf {
public:
    Shelf(const Options& options, const std::vector<std::string>& folders, std::filesystem::path out,
          std::filesystem::path cache, uint64_t cache_bytes);
    ~Shelf();

    bool load_plugins(std::string& error);
    Json discs_json();
    // The disc of `id`, still there; or a failure.
    const ShelfDisc* disc(const std::string& id, Failure& failure) const;

    // The disc's scan, made now (with `job` hearing its progress) when there is none yet.
    std::shared_ptr<const ScannedDisc> scan(const ShelfDisc& disc, Failure& failure, Job* job = nullptr);
    std::shared_ptr<const ScannedDisc> scanned(const std::string& id);
    Json streams_json(const ShelfDisc& disc, const ScannedDisc& scan, const std::string& token);

    // A stream's preview file: "media" (MP4 for movies, FLAC for sound), "thumb" (the picture a
    // third of the way in) or "frameK" (K from 0 to 5: a filmstrip), made on first request.
    bool preview(const ShelfDisc& disc, size_t stream, const std::string& what, std::filesystem::path& file,
                 std::string& content_type, Failure& failure);

    // Background work: a scan, or a rip of some of a disc's streams into the output folder.
    std::shared_ptr<Job> start_scan(const ShelfDisc& disc);
    std::shared_ptr<Job> start_rip(const ShelfDisc& disc, const std::vector<size_t>& streams, Failure& failure);
    std::shared_ptr<Job> job(const std::string& id);
    Json jobs_json();

private:
    std::shared_ptr<Job> new_job(const std::string& kind, const std::string& disc);
    void run_in_background(std::function<void()> work);
    void keep_in_cache(const std::filesystem::path& file);

    const Options& options_;
    PluginFolder plugin_folder_;
    std::vector<const PluginFile*> plugins_;
    std::vector<ShelfDisc> discs_;
    std::filesystem::path out_, cache_;
    uint64_t cache_bytes_;

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const ScannedDisc>> scans_;
    std::map<std::string, std::shared_ptr<std::mutex>> making_;  // one maker per disc or preview
    std::vector<std::pair<std::filesystem::path, uint64_t>> cached_;  // oldest first
    uint64_t cached_bytes_ = 0;
    std::map<std::string, std::shared_ptr<Job>> jobs_;
    uint64_t next_job_ = 1;
    std::vector<std::thread> workers_;
};

}  // namespace quorvex::viewer
