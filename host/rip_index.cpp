#include "rip_index.h"

#include <fstream>

#include "atomic_output.h"
#include "checksum.h"
#include "media_output.h"
#include "paths.h"

namespace fs = std::filesystem;

namespace quorvex {

namespace {
constexpr char kIndex[] = "rip.json";
}

bool RipIndex::load(const fs::path& folder, const std::string& image, const Json& identity, std::string& error) {
    std::lock_guard lock(mutex_);
    path_ = folder / kIndex;
    Json earlier = Json::object();
    std::ifstream in(path_, std::ios::binary);
    if (in) {
        try {
            earlier = Json::parse(in);
        } catch (const std::exception&) {
            error = utf8_path(path_) + ": not a rip.json of quorvex's; rip into another folder";
            return false;
        }
        if (!earlier.is_object() || !earlier.contains("disc") || earlier["disc"] != identity) {
            error = utf8_path(folder) + ": holds the rip of another disc (" +
                    (earlier.is_object() ? earlier.value("image", std::string("unknown")) : std::string("unknown")) +
                    "); rip into another folder";
            return false;
        }
        for (const auto& s : earlier.value("streams", Json::array())) {
            if (s.is_object() && s.contains("key") && s["key"].is_string()) earlier_[s["key"].get<std::string>()] = s;
        }
    }
    doc_ = Json::object();
    doc_["format_version"] = kJsonFormatVersion;
    put_text(doc_, "image", image);
    doc_["disc"] = identity;
    doc_["media"] = media_output_available();
    return true;
}

std::optional<Json> RipIndex::finished(const std::string& key, const fs::path& output) const {
    Json s;
    {
        std::lock_guard lock(mutex_);
        auto found = earlier_.find(key);
        if (found == earlier_.end()) return std::nullopt;
        s = found->second;
    }
    if (s.value("status", "") != "done" && s.value("status", "") != "cut") return std::nullopt;
    std::string digest, error;
    uint64_t bytes = 0;
    std::error_code ec;
    if (!fs::exists(output, ec) || !sha256_of(output, digest, bytes, error)) return std::nullopt;
    if (s.value("sha256", "") != digest || s.value("bytes", uint64_t{0}) != bytes) return std::nullopt;
    return s;
}

bool RipIndex::recorded(const std::string& key, const std::string& file) const {
    std::lock_guard lock(mutex_);
    auto found = earlier_.find(key);
    return found != earlier_.end() && found->second.value("file", "") == file &&
           (found->second.value("status", "") == "done" || found->second.value("status", "") == "cut");
}

void RipIndex::carry_over(size_t order, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (auto found = earlier_.find(key); found != earlier_.end()) streams_[order] = found->second;
}

void RipIndex::record(size_t order, Json stream) {
    std::lock_guard lock(mutex_);
    streams_[order] = std::move(stream);
}

bool RipIndex::save_soon(const RipCounts& counts, std::string& error) {
    {
        std::lock_guard lock(mutex_);
        if (std::chrono::steady_clock::now() - saved_ < std::chrono::seconds(2)) return true;
    }
    return save(counts, error);
}

bool RipIndex::save(const RipCounts& counts, std::string& error) {
    std::lock_guard lock(mutex_);
    saved_ = std::chrono::steady_clock::now();
    Json summary;
    summary["ripped"] = counts.done;
    summary["already_done"] = counts.already;
    summary["cut"] = counts.cut;
    summary["failed"] = counts.failed;
    summary["unreadable"] = counts.unreadable;
    summary["complete"] = !counts.interrupted;
    doc_["summary"] = summary;
    doc_["streams"] = Json::array();
    for (const auto& [order, stream] : streams_) doc_["streams"].push_back(stream);
    return replace_file_contents(path_, dump(doc_), error);
}

}  // namespace quorvex
