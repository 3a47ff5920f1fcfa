#include "rip_index.h"

#include <fstream>

#include "atomic_output.h"
#include "checksum.h"
#include "media_output.h"
#include "paths.h"
#include "scan.h"

namespace fs = std::filesystem;

namespace quorvex {

namespace {

constexpr char kIndex[] = "rip.json";

bool finished_status(const Json& s) {
    const Json& status = s["status"];
    return status == "done" || status == "cut";
}

}  // namespace

std::string stream_key(const FoundStream& s) {
    return s.plugin->stem + ":" + std::to_string(s.index) + ":" + std::to_string(s.info.start_sector) + ":" +
           std::to_string(s.info.sector_count);
}

std::optional<fs::path> ripped_file(const fs::path& folder, const std::string& key, Json* record) {
    std::error_code ec;
    const fs::path index = folder / kIndex;
    // A disc folder that is a link leads out of the folder it lies in.
    if (fs::is_symlink(fs::symlink_status(folder, ec))) return std::nullopt;
    if (!fs::is_regular_file(index, ec) || fs::file_size(index, ec) > (64u << 20)) return std::nullopt;
    std::ifstream in(index, std::ios::binary);
    const Json doc = Json::parse(in, nullptr, false);
    if (doc.is_discarded() || !rip_document_problem(doc).empty()) return std::nullopt;
    for (const Json& s : doc["streams"]) {
        if (s["key"] != key || !finished_status(s)) continue;
        const std::string name = s["file"].get<std::string>();
        // A name of the folder's own, never a path that leads elsewhere.
        if (name.empty() || name[0] == '.' || name.find_first_of("/\\") != std::string::npos) return std::nullopt;
        const fs::path file = folder / native_path(name);
        const auto status = fs::symlink_status(file, ec);
        if (!fs::is_regular_file(status) || fs::file_size(file, ec) != s["bytes"].get<uint64_t>()) return std::nullopt;
        if (record) *record = s;
        return file;
    }
    return std::nullopt;
}

std::string rip_record_problem(const Json& s) {
    if (!s.is_object()) return "is not an object";
    const auto need = [&](const char* field, bool (Json::*is)() const noexcept, const char* what) -> std::string {
        if (!s.contains(field)) return std::string("has no \"") + field + "\"";
        if (!(s[field].*is)()) return std::string("\"") + field + "\" is not " + what;
        return {};
    };
    for (const auto& [field, is, what] : {std::tuple{"key", &Json::is_string, "a text"},
                                          std::tuple{"status", &Json::is_string, "a text"},
                                          std::tuple{"file", &Json::is_string, "a text"}}) {
        if (std::string problem = need(field, is, what); !problem.empty()) return problem;
    }
    if (finished_status(s)) {
        if (std::string problem = need("bytes", &Json::is_number_unsigned, "a whole number"); !problem.empty()) return problem;
        if (std::string problem = need("sha256", &Json::is_string, "a text"); !problem.empty()) return problem;
    }
    if (s.contains("sectors_sha256") && !s["sectors_sha256"].is_string()) return "\"sectors_sha256\" is not a text";
    return {};
}

std::string rip_document_problem(const Json& doc) {
    if (!doc.is_object()) return "is not a JSON object";
    if (!doc.contains("disc") || !doc["disc"].is_object()) return "has no \"disc\" object";
    if (!doc.contains("streams") || !doc["streams"].is_array()) return "has no \"streams\" list";
    if (doc.contains("summary") && !doc["summary"].is_object()) return "\"summary\" is not an object";
    if (doc.contains("superseded") && !doc["superseded"].is_array()) return "\"superseded\" is not a list";
    const Json& streams = doc["streams"];
    for (size_t i = 0; i < streams.size(); ++i) {
        if (std::string problem = rip_record_problem(streams[i]); !problem.empty()) {
            return "stream " + std::to_string(i + 1) + " " + problem;
        }
    }
    return {};
}

bool RipIndex::load(const fs::path& folder, const std::string& image, const Json& identity, std::string& error) {
    std::lock_guard lock(mutex_);
    path_ = folder / kIndex;
    std::error_code ec;
    const auto status = fs::symlink_status(path_, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        error = utf8_path(path_) + ": not a regular file; rip into another folder";
        return false;
    }
    std::ifstream in(path_, std::ios::binary);
    existed_ = static_cast<bool>(in);
    if (existed_) {
        Json earlier;
        try {
            earlier = Json::parse(in);
        } catch (const std::exception&) {
            error = utf8_path(path_) + ": not a rip.json of quorvex's; rip into another folder";
            return false;
        }
        // The same identity whatever order a tool that rewrote the file left its keys in.
        const auto unordered = [](const Json& j) { return nlohmann::json::parse(j.dump()); };
        if (!earlier.is_object() || !earlier.contains("disc") || unordered(earlier["disc"]) != unordered(identity)) {
            const Json* named = earlier.is_object() && earlier.contains("image") ? &earlier["image"] : nullptr;
            error = utf8_path(folder) + ": holds the rip of another disc (" +
                    (named && named->is_string() ? named->get<std::string>() : std::string("unknown")) +
                    "); rip into another folder";
            return false;
        }
        if (std::string problem = rip_document_problem(earlier); !problem.empty()) {
            damage_ = utf8_path(path_) + ": " + problem;
        } else {
            for (const Json& s : earlier["streams"]) earlier_[s["key"].get<std::string>()] = s;
            if (earlier.contains("superseded")) earlier_superseded_ = earlier["superseded"];
        }
    }
    doc_ = Json::object();
    doc_["format_version"] = kJsonFormatVersion;
    put_text(doc_, "image", image);
    doc_["disc"] = identity;
    doc_["media"] = media_output_available();
    return true;
}

std::optional<Json> RipIndex::finished(const std::string& key, const fs::path& output, const RangeDigest& range_digest,
                                       std::string& why_not) const {
    Json s;
    {
        std::lock_guard lock(mutex_);
        auto found = earlier_.find(key);
        if (found == earlier_.end()) return std::nullopt;
        s = found->second;
    }
    if (!finished_status(s)) return std::nullopt;
    std::string digest, error;
    uint64_t bytes = 0;
    std::error_code ec;
    if (!fs::exists(output, ec) || !sha256_of(output, digest, bytes, error)) return std::nullopt;
    if (s["sha256"] != digest || s["bytes"] != bytes) return std::nullopt;
    std::string sectors;
    if (!range_digest(sectors, error)) {
        why_not = error;
        return std::nullopt;
    }
    if (s.contains("sectors_sha256") && s["sectors_sha256"] != sectors) {
        why_not = "the image holds other sectors there than those it was ripped from";
        return std::nullopt;
    }
    s["sectors_sha256"] = sectors;
    return s;
}

bool RipIndex::recorded(const std::string& key, const std::string& file) const {
    std::lock_guard lock(mutex_);
    auto found = earlier_.find(key);
    return found != earlier_.end() && found->second["file"] == file && finished_status(found->second);
}

std::string RipIndex::finished_elsewhere(const std::string& key, const std::string& file) const {
    std::lock_guard lock(mutex_);
    auto found = earlier_.find(key);
    if (found == earlier_.end() || !finished_status(found->second) || !found->second["file"].is_string()) return {};
    const std::string earlier = found->second["file"].get<std::string>();
    return earlier == file ? std::string() : earlier;
}

void RipIndex::carry_over(size_t order, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (auto found = earlier_.find(key); found != earlier_.end()) streams_[order] = found->second;
}

void RipIndex::record(size_t order, Json stream) {
    std::lock_guard lock(mutex_);
    streams_[order] = std::move(stream);
}

void RipIndex::set_streams_on_disc(std::set<std::string> keys) {
    std::lock_guard lock(mutex_);
    on_disc_ = std::move(keys);
}

bool RipIndex::has_records() const {
    std::lock_guard lock(mutex_);
    return existed_ || !streams_.empty();
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
    std::set<std::string> recorded;
    for (const auto& [order, stream] : streams_) {
        doc_["streams"].push_back(stream);
        recorded.insert(stream["key"].get<std::string>());
    }
    // What an earlier run recorded and this one did not touch: kept, or kept aside.
    Json superseded = earlier_superseded_;
    for (const auto& [key, stream] : earlier_) {
        if (recorded.count(key)) continue;
        if (on_disc_.count(key)) {
            doc_["streams"].push_back(stream);
        } else if (finished_status(stream)) {
            superseded.push_back(stream);
        }
    }
    if (superseded.empty()) {
        doc_.erase("superseded");
    } else {
        doc_["superseded"] = std::move(superseded);
    }
    return replace_file_contents(path_, dump(doc_), error);
}

}  // namespace quorvex
