#include "json_out.h"

#include "stream_format.h"

namespace quorvex {

namespace {

// The length of the UTF-8 sequence at `i`, or 0 when the bytes there are not one.
size_t utf8_sequence(const std::string& s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t n = 0;
    uint32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 1, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 2, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 3, code = c & 0x07;
    } else {
        return 0;
    }
    if (n >= s.size() - i) return 0;
    for (size_t k = 1; k <= n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        code = code << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[n] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) return 0;
    return n + 1;
}

}  // namespace

bool is_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        if (!n) return false;
        i += n;
    }
    return true;
}

std::string valid_utf8(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        if (n) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
        }
    }
    return out;
}

std::string base64(const std::string& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                           static_cast<uint8_t>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kDigits[v >> s & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += i + 1 < bytes.size() ? kDigits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

void put_text(Json& object, const std::string& key, const std::string& bytes) {
    if (is_utf8(bytes)) {
        object[key] = bytes;
        return;
    }
    object[key] = valid_utf8(bytes);
    object[key + "_base64"] = base64(bytes);
}

Json stream_info_json(const StreamInfo& i, bool with_payload_bytes) {
    Json j;
    j["kind"] = i.kind;
    j["start_sector"] = i.start_sector;
    j["sector_count"] = i.sector_count;
    j["duration_ms"] = i.duration_ms;
    j["frame_count"] = i.frame_count;
    j["width"] = i.width;
    j["height"] = i.height;
    j["frame_rate"] = i.frame_rate;
    j["has_audio"] = i.has_audio;
    j["channels"] = i.channels;
    j["bits_per_sample"] = i.bits_per_sample;
    j["sample_rate"] = i.sample_rate;
    if (with_payload_bytes) j["payload_bytes"] = i.payload_bytes;
    // Plain readings of the raw fields.
    j["kind_text"] = format_kind(i.kind);
    j["video"] = psr::is_video(i);
    j["audio"] = i.has_audio != 0;
    j["varying_frame_rate"] = psr::varies_in_rate(i);
    j["frames_per_second"] = i.frame_rate / 10.0;
    j["playing_frames_per_second"] = psr::is_video(i) ? Json(playing_frames_per_second(i)) : Json(nullptr);
    j["duration_seconds"] = i.duration_ms / 1000.0;
    return j;
}

std::string dump(const Json& document) { return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

}  // namespace quorvex
