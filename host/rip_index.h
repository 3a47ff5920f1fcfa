// rip.json: what a disc's rip folder holds. It records the disc's identity, so that a folder
// holding another disc's rip is refused, and every stream as it finishes, with its output's size
// and checksum and the checksum of the sectors it was ripped from, so that a rip that stopped
// resumes where it stopped and a stream whose sectors changed since (a better dump) is ripped
// again.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "json_out.h"

namespace quorvex {

struct FoundStream;

// How rip.json knows a stream: its plug-in, index and range ("selvane:0:32:320").
std::string stream_key(const FoundStream& stream);

// The file a rip folder's rip.json records as the finished output of the stream `key`, when the
// record is sound and the file is there with the size recorded: a plain name in `folder`.
std::optional<std::filesystem::path> ripped_file(const std::filesystem::path& folder, const std::string& key,
                                                 Json* record = nullptr);

struct RipCounts {
    int done = 0, already = 0, failed = 0, cut = 0, unreadable = 0;
    bool interrupted = false;
};

// What is wrong with a stream's record in a rip.json, or with a whole rip.json: a field of the
// wrong type or missing ("stream 3: \"sha256\" is not a text"); empty when nothing is.
std::string rip_record_problem(const Json& stream);
std::string rip_document_problem(const Json& document);

class RipIndex {
public:
    // Reads an earlier rip.json; false with `error` set when it belongs to another disc or is not
    // quorvex's. One with a damaged record is taken as holding no finished stream: `damage()`
    // then says what was wrong, and every stream is ripped again.
    bool load(const std::filesystem::path& folder, const std::string& image, const Json& identity, std::string& error);
    const std::string& damage() const { return damage_; }

    // The earlier record of a stream, if it finished and its output is still whole and the disc
    // still holds the sectors it was ripped from (`range_digest` reads them now). An earlier record
    // without that checksum gets it here. With no record kept, `why_not` may say why.
    using RangeDigest = std::function<bool(std::string& digest, std::string& error)>;
    std::optional<Json> finished(const std::string& key, const std::filesystem::path& output,
                                 const RangeDigest& range_digest, std::string& why_not) const;

    // Whether the earlier rip recorded `file` as the output of `key`.
    bool recorded(const std::string& key, const std::string& file) const;
    // The file an earlier rip finished `key` into, when it is another than `file` (a rip in
    // another format): empty when there is none.
    std::string finished_elsewhere(const std::string& key, const std::string& file) const;

    // Keeps the earlier record of `key` in place `order` until the stream is recorded anew, so that
    // a run stopped before it reached the stream loses nothing of what an earlier run did.
    void carry_over(size_t order, const std::string& key);

    // Records a stream (replacing an earlier record of it); `order` places it in the file.
    void record(size_t order, Json stream);

    // The streams a rip of the disc takes now (their keys), whatever one run's filters leave out:
    // an earlier record of one of them that this run does not touch stays as it was; one of a
    // stream no longer taken (the split chosen has changed) is kept under "superseded", its file
    // left in place.
    void set_streams_on_disc(std::set<std::string> keys);

    // Whether there is anything to save: a stream recorded, or an earlier rip.json.
    bool has_records() const;

    // Saves at most every two seconds while a rip goes on (a disc of thousands of streams would
    // otherwise rewrite its index thousands of times); a stream finished since the last save and
    // lost to a crash is ripped again by the next run.
    bool save_soon(const RipCounts& counts, std::string& error);
    bool save(const RipCounts& counts, std::string& error);

private:
    mutable std::mutex mutex_;
    std::filesystem::path path_;
    Json doc_;
    bool existed_ = false;
    std::string damage_;
    std::map<std::string, Json> earlier_;
    Json earlier_superseded_ = Json::array();
    std::set<std::string> on_disc_;
    std::map<size_t, Json> streams_;
    std::chrono::steady_clock::time_point saved_{};
};

}  // namespace quorvex
