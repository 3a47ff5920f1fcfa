// Reading numbers back out of quorvex's JSON output, field by field.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

// The flat objects that carry "plugin": "<plugin>", each as its numeric fields.
inline std::vector<JsonObject> json_streams_of(const std::string& text, const std::string& plugin) {
    std::vector<JsonObject> out;
    const std::string tag = "\"plugin\": \"" + plugin + "\"";
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
        const std::string body = text.substr(at, text.find('}', at) - at);
        JsonObject object;
        for (size_t q = body.find('"'); q != std::string::npos; q = body.find('"', q + 1)) {
            const size_t end = body.find('"', q + 1);
            const std::string key = body.substr(q + 1, end - q - 1);
            size_t v = end + 1;
            while (v < body.size() && (body[v] == ':' || body[v] == ' ')) ++v;
            if (v < body.size() && (std::isdigit(static_cast<unsigned char>(body[v])) || body[v] == '-')) {
                object[key] = std::stoll(body.substr(v, 24));
            }
            q = body.find_first_of(",\n", end);
            if (q == std::string::npos) break;
        }
        out.push_back(object);
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
