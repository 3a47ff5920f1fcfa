// Reading numbers back out of quorvex's JSON output, field by field.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "contract/plugin_records.h"

namespace testing_support {

// Every number that follows "key": in the text, in order.
inline std::vector<int64_t> json_numbers(const std::string& text, const std::string& key) {
    std::vector<int64_t> out;
    const std::string pattern = "\"" + key + "\": ";
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        out.push_back(std::stoll(text.substr(at + pattern.size(), 24)));
    }
    return out;
}

using JsonObject = std::map<std::string, int64_t>;

// The raw fields a plug-in reports, and the stream's index.
inline const char* const kRawStreamFields[] = {"index",       "kind",         "start_sector", "sector_count",
                                                "duration_ms", "frame_count",  "width",        "height",
                                                "frame_rate",  "has_audio",    "channels",     "bits_per_sample",
                                                "sample_rate", "payload_bytes"};

// The streams of `plugin` in a `scan --json` document, each as its raw numeric fields.
inline std::vector<JsonObject> json_streams_of(const std::string& text, const std::string& plugin) {
    std::vector<JsonObject> out;
    const auto doc = nlohmann::json::parse(text);
    for (const auto& disc : doc.at("discs")) {
        for (const auto& stream : disc.value("streams", nlohmann::json::array())) {
            if (stream.at("plugin") != plugin) continue;
            JsonObject object;
            for (const char* key : kRawStreamFields) {
                if (stream.contains(key)) object[key] = stream[key].get<int64_t>();
            }
            out.push_back(object);
        }
    }
    return out;
}

// The same fields of a StreamInfo, for comparing with the output.
inline JsonObject json_of(const StreamInfo& i, int32_t index, bool with_payload) {
    JsonObject o{{"index", index},
                 {"kind", i.kind},
                 {"start_sector", i.start_sector},
                 {"sector_count", i.sector_count},
                 {"duration_ms", i.duration_ms},
                 {"frame_count", i.frame_count},
                 {"width", i.width},
                 {"height", i.height},
                 {"frame_rate", i.frame_rate},
                 {"has_audio", i.has_audio},
                 {"channels", i.channels},
                 {"bits_per_sample", i.bits_per_sample},
                 {"sample_rate", i.sample_rate}};
    if (with_payload) o["payload_bytes"] = i.payload_bytes;
    return o;
}

}  // namespace testing_support
