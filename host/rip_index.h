// rip.json: what a disc's rip folder holds. It records the disc's identity, so that a folder
// holding another disc's rip is refused, and every stream as it finishes, with its output's size
// and checksum, so that a rip that stopped resumes where it stopped.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "json_out.h"

namespace quorvex {

struct RipCounts {
    int done = 0, already = 0, failed = 0, cut = 0, unreadable = 0;
    bool interrupted = false;
};

class RipIndex {
public:
    // Reads an earlier rip.json; false with `error` set when it belongs to another disc or is not
    // quorvex's.
    bool load(const std::filesystem::path& folder, const std::string& image, const Json& identity, std::string& error);

    // The earlier record of a stream, if it finished and its output is still whole.
    std::optional<Json> finished(const std::string& key, const std::filesystem::path& output) const;

    // Whether the earlier rip recorded `file` as the output of `key`.
    bool recorded(const std::string& key, const std::string& file) const;

    // Keeps the earlier record of `key` in place `order` until the stream is recorded anew, so that
    // a run stopped before it reached the stream loses nothing of what an earlier run did.
    void carry_over(size_t order, const std::string& key);

    // Records a stream (replacing an earlier record of it); `order` places it in the file.
    void record(size_t order, Json stream);

    // Saves at most every two seconds while a rip goes on (a disc of thousands of streams would
    // otherwise rewrite its index thousands of times); a stream finished since the last save and
    // lost to a crash is ripped again by the next run.
    bool save_soon(const RipCounts& counts, std::string& error);
    bool save(const RipCounts& counts, std::string& error);

private:
    mutable std::mutex mutex_;
    std::filesystem::path path_;
    Json doc_;
    std::map<std::string, Json> earlier_;
    std::map<size_t, Json> streams_;
    std::chrono::steady_clock::time_point saved_{};
};

}  // namespace quorvex
