#include "replace_plan.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

#include "../json_out.h"
#include "../paths.h"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kMaxPlanBytes = 1 << 20;  // a plan is a few lines a stream
constexpr size_t kMaxPlanStreams = 1000;

// A path of the plan's, from the plan's folder unless absolute.
std::string from_plan(const std::string& plan, const std::string& path) {
    const fs::path given = native_path(path);
    return given.is_absolute() ? path : utf8_path(native_path(plan).parent_path() / given);
}

// One entry into `part`; false with `why`.
bool read_entry(const std::string& plan, const Json& entry, ReplaceRequest& part, std::string& why) {
    if (!entry.is_object()) return why = "is not an object", false;
    for (const auto& [key, value] : entry.items()) {
        if (key == "stream" && (value.is_string() || value.is_number_unsigned())) {
            part.stream.stream = value.is_string() ? value.get<std::string>() : std::to_string(value.get<uint64_t>());
        } else if ((key == "video" || key == "subtitles" || key == "sound") && value.is_string() && !value.get<std::string>().empty()) {
            std::string& path = key == "video" ? part.video : key == "subtitles" ? part.subtitles : part.sound;
            path = from_plan(plan, value.get<std::string>());
        } else if (key == "fit" && value.is_boolean()) {
            part.fit = value.get<bool>();
        } else if (key == "size_limit" && (value.is_string() || value.is_number_unsigned())) {
            part.size_limit = value.is_string() ? value.get<std::string>() : std::to_string(value.get<uint64_t>());
        } else {
            return why = "\"" + key + "\" is not something a plan entry takes (stream, video, subtitles, sound, fit, size_limit)", false;
        }
    }
    if (part.stream.stream.empty()) return why = "names no stream", false;
    if (part.video.empty() && part.subtitles.empty() && part.sound.empty()) return why = "changes nothing (no video, subtitles or sound)", false;
    return true;
}

}  // namespace

Outcome read_plan(const ReplaceRequest& base, std::vector<ReplaceRequest>& parts) {
    const std::string& plan = base.plan;
    std::error_code ec;
    const auto size = fs::file_size(native_path(plan), ec);
    if (ec || !fs::is_regular_file(native_path(plan), ec)) return failure(plan, "cannot be read as a plan");
    if (size > kMaxPlanBytes) return failure(plan, "is larger than a plan can be (1 MiB)");
    std::ifstream in(native_path(plan), std::ios::binary);
    const Json doc = Json::parse(std::istreambuf_iterator<char>(in), {}, nullptr, false);
    if (!doc.is_object() || !doc.contains("streams") || !doc["streams"].is_array() || doc["streams"].empty()) {
        return failure(plan, "is not a plan: a JSON object whose \"streams\" lists the streams to change");
    }
    if (doc["streams"].size() > kMaxPlanStreams) return failure(plan, "names more streams than a disc holds");
    parts.clear();
    std::set<std::string> named;
    for (size_t i = 0; i < doc["streams"].size(); ++i) {
        ReplaceRequest part = base;
        part.plan.clear();
        std::string why;
        if (!read_entry(plan, doc["streams"][i], part, why)) return failure(plan, "streams[" + std::to_string(i) + "] " + why);
        if (!named.insert(part.stream.stream).second) return failure(plan, "names stream " + part.stream.stream + " twice");
        parts.push_back(std::move(part));
    }
    return std::nullopt;
}

}  // namespace quorvex
