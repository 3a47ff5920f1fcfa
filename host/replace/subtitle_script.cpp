#include "subtitle_script.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "../paths.h"

namespace quorvex {
namespace {

// Larger than any subtitle file of a movie; more is refused before it is read.
constexpr uintmax_t kMaxBytes = 16u << 20;

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

bool valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | (c >> 6 & 0x3F)), out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18), out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F)), out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Windows-1252's 0x80-0x9F (the rest of its upper half is Latin-1).
constexpr uint16_t kCp1252[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                  0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                  0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

// The file's text as UTF-8.
std::string text_of(const std::string& bytes, const std::string& path, std::vector<std::string>& warnings) {
    const auto starts = [&](std::initializer_list<unsigned char> bom) {
        return bytes.size() >= bom.size() && std::equal(bom.begin(), bom.end(), bytes.begin(), [](unsigned char a, char b) {
                   return a == static_cast<unsigned char>(b);
               });
    };
    if (starts({0xEF, 0xBB, 0xBF})) return bytes.substr(3);
    if (starts({0xFF, 0xFE}) || starts({0xFE, 0xFF})) {
        const bool little = static_cast<unsigned char>(bytes[0]) == 0xFF;
        std::string out;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            uint32_t c = little ? uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8 : uint8_t(bytes[i]) << 8 | uint8_t(bytes[i + 1]);
            if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
                const uint32_t low = little ? uint8_t(bytes[i + 2]) | uint8_t(bytes[i + 3]) << 8 : uint8_t(bytes[i + 2]) << 8 | uint8_t(bytes[i + 3]);
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
            put_utf8(out, c);
        }
        return out;
    }
    if (valid_utf8(bytes)) return bytes;
    warnings.push_back(path + " is not UTF-8: read as Windows-1252; if its letters come out wrong, save it as UTF-8");
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        put_utf8(out, c >= 0x80 && c < 0xA0 ? kCp1252[c - 0x80] : c);
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(line);
            line.clear();
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += text[i];
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::string lower(std::string s) { return lower_ascii(std::move(s)); }

// A time as HOURS:MM:SS followed by a fraction after `,` or `.` (milliseconds in SRT, hundredths
// in ASS), with an optional minus sign.
std::optional<double> time_of(const std::string& text) {
    std::string t = trimmed(text);
    double sign = 1;
    if (!t.empty() && t[0] == '-') sign = -1, t.erase(0, 1);
    unsigned h = 0, m = 0, s = 0;
    char frac[8] = {};
    int used = 0;
    if (std::sscanf(t.c_str(), "%u:%2u:%2u%n", &h, &m, &s, &used) != 3 || m > 59 || s > 59) return std::nullopt;
    double fraction = 0;
    if (size_t(used) < t.size()) {
        if ((t[size_t(used)] != ',' && t[size_t(used)] != '.') || std::sscanf(t.c_str() + used + 1, "%7[0-9]", frac) != 1 ||
            std::strlen(frac) != t.size() - size_t(used) - 1) {
            return std::nullopt;
        }
        fraction = std::stod(frac) / std::pow(10.0, double(std::strlen(frac)));
    }
    return sign * (h * 3600.0 + m * 60.0 + s + fraction);
}

std::string ass_time(double seconds) {
    const long cs = std::lround(seconds * 100);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%02ld", cs / 360000, cs / 6000 % 60, cs / 100 % 60, cs % 100);
    return text;
}

std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The bounds of every size a script can give, for its play resolution.
class Limits {
public:
    Limits(double res_x, double res_y) : x_(res_x), y_(res_y) {}
    // The range of a style column or override tag that sizes something; none for the others.
    std::optional<std::pair<double, double>> of(const std::string& name) const {
        static const std::map<std::string, int> kinds = {
            {"fontsize", 0}, {"fs", 0},      {"scalex", 1}, {"scaley", 1}, {"fscx", 1},   {"fscy", 1},   {"spacing", 2},
            {"fsp", 2},      {"outline", 3}, {"bord", 3},   {"xbord", 3},  {"ybord", 3},  {"shadow", 4}, {"shad", 4},
            {"xshad", 4},    {"yshad", 4},   {"blur", 5},   {"be", 5},     {"marginl", 6}, {"marginr", 6}, {"marginv", 7},
            {"fax", 8},      {"fay", 8}};
        const auto k = kinds.find(name);
        if (k == kinds.end()) return std::nullopt;
        switch (k->second) {
            case 0: return std::pair{0.0, y_};             // no letter taller than the picture
            case 1: return std::pair{0.0, 400.0};          // percent
            case 2: return std::pair{-x_, x_};
            case 3: return std::pair{0.0, y_ / 8};
            case 4: return std::pair{-y_ / 8, y_ / 8};
            case 5: return std::pair{0.0, 20.0};
            case 6: return std::pair{0.0, x_};
            case 7: return std::pair{0.0, y_};
            default: return std::pair{-2.0, 2.0};         // shearing
        }
    }

private:
    double x_, y_;
};

// Clamps a number to `range`; its text unchanged when it lies within.
std::string clamped(const std::string& text, std::pair<double, double> range, bool& changed) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return text;
    if (!std::isfinite(v) || v < range.first || v > range.second) {
        changed = true;
        return number_text(std::isfinite(v) ? std::clamp(v, range.first, range.second) : range.first);
    }
    return text;
}

// A line's text with the numbers of its sizing override tags ({\fs100000}, inside \t too)
// clamped.
std::string clamp_tags(const std::string& text, const Limits& limits, bool& changed) {
    std::string out;
    int depth = 0;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '{') ++depth;
        if (c == '}' && depth) --depth;
        if (c != '\\' || !depth) {
            out += c;
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < text.size() && std::isalpha(static_cast<unsigned char>(text[j]))) ++j;
        const std::string name = lower(text.substr(i + 1, j - i - 1));
        size_t k = j;
        while (k < text.size() && (std::isdigit(static_cast<unsigned char>(text[k])) || text[k] == '.' || (k == j && text[k] == '-'))) ++k;
        out += text.substr(i, j - i);
        const auto range = limits.of(name);
        out += range && k > j ? clamped(text.substr(j, k - j), *range, changed) : text.substr(j, k - j);
        i = k;
    }
    return out;
}

// A line of the file with its times, for the checks.
struct Timed {
    size_t line;  // in the file, from 1
    double start, end;
};

// --- SRT ---

// SRT's tags as ASS override tags; other tags left out.
std::string srt_text(const std::vector<std::string>& lines, const Limits& limits, bool& changed) {
    std::string joined;
    for (const std::string& l : lines) joined += (joined.empty() ? "" : "\\N") + l;
    std::string out;
    for (size_t i = 0; i < joined.size();) {
        if (joined[i] != '<') {
            out += joined[i++];
            continue;
        }
        const size_t close = joined.find('>', i);
        if (close == std::string::npos) {
            out += joined.substr(i);
            break;
        }
        const std::string tag = lower(joined.substr(i + 1, close - i - 1));
        i = close + 1;
        static const std::map<std::string, std::string> simple = {{"i", "\\i1"}, {"/i", "\\i0"}, {"b", "\\b1"}, {"/b", "\\b0"},
                                                                  {"u", "\\u1"}, {"/u", "\\u0"}, {"s", "\\s1"}, {"/s", "\\s0"},
                                                                  {"/font", "\\r"}};
        if (const auto s = simple.find(tag); s != simple.end()) {
            out += "{" + s->second + "}";
            continue;
        }
        if (tag.rfind("font", 0) != 0) continue;
        const auto attribute = [&](const std::string& key) -> std::string {
            const size_t at = tag.find(key + "=");
            if (at == std::string::npos) return {};
            size_t from = at + key.size() + 1;
            const bool quoted = from < tag.size() && tag[from] == '"';
            if (quoted) ++from;
            const size_t to = tag.find_first_of(quoted ? "\"" : " ", from);
            return tag.substr(from, to == std::string::npos ? std::string::npos : to - from);
        };
        std::string tags;
        if (const std::string size = attribute("size"); !size.empty()) tags += "\\fs" + clamped(size, *limits.of("fs"), changed);
        if (const std::string color = attribute("color"); color.size() == 7 && color[0] == '#') {
            tags += "\\c&H" + color.substr(5, 2) + color.substr(3, 2) + color.substr(1, 2) + "&";
        }
        if (!tags.empty()) out += "{" + tags + "}";
    }
    return out;
}

// An SRT file as a script of FFmpeg's default style for it.
bool from_srt(const std::vector<std::string>& lines, const std::string& path, SubtitleScript& script, std::vector<Timed>& timed,
              bool& changed, std::string& error) {
    const Limits limits(384, 288);
    script.ass =
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\nScaledBorderAndShadow: yes\nYCbCr Matrix: None\n\n"
        "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
        "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, "
        "Encoding\nStyle: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\n\n"
        "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    for (size_t i = 0; i < lines.size();) {
        if (trimmed(lines[i]).empty()) {
            ++i;
            continue;
        }
        // A cue: an optional number, its times, its text up to a blank line.
        size_t at = i;
        if (lines[at].find("-->") == std::string::npos && at + 1 < lines.size()) ++at;
        const size_t arrow = lines[at].find("-->");
        const auto start = arrow == std::string::npos ? std::nullopt : time_of(lines[at].substr(0, arrow));
        std::string after = arrow == std::string::npos ? std::string() : lines[at].substr(arrow + 3);
        after = trimmed(after).substr(0, trimmed(after).find(' '));  // positions after the time are ignored
        const auto end = arrow == std::string::npos ? std::nullopt : time_of(after);
        if (!start || !end) {
            error = path + ": line " + std::to_string(at + 1) + " is no subtitle's times (HH:MM:SS,mmm --> HH:MM:SS,mmm): \"" + lines[at] + "\"";
            return false;
        }
        std::vector<std::string> text;
        for (i = at + 1; i < lines.size() && !trimmed(lines[i]).empty(); ++i) text.push_back(lines[i]);
        timed.push_back({at + 1, *start, *end});
        script.ass += "Dialogue: 0," + ass_time(std::max(*start, 0.0)) + "," + ass_time(std::max(*end, 0.0)) + ",Default,,0,0,0,," +
                      srt_text(text, limits, changed) + "\n";
    }
    return true;
}

// --- ASS ---

std::vector<std::string> fields(const std::string& text, size_t count) {
    std::vector<std::string> out;
    size_t from = 0;
    while (out.size() + 1 < count) {
        const size_t comma = text.find(',', from);
        if (comma == std::string::npos) break;
        out.push_back(text.substr(from, comma - from));
        from = comma + 1;
    }
    out.push_back(text.substr(from));
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "," : "") + parts[i];
    return out;
}

bool from_ass(const std::vector<std::string>& lines, const std::string& path, SubtitleScript& script, std::vector<Timed>& timed,
              bool& changed, std::string& error) {
    double res_x = 0, res_y = 0;
    for (const std::string& l : lines) {
        const std::string t = lower(trimmed(l));
        if (t.rfind("playresx:", 0) == 0) res_x = std::atof(t.c_str() + 9);
        if (t.rfind("playresy:", 0) == 0) res_y = std::atof(t.c_str() + 9);
    }
    if (!(res_y > 0)) res_y = res_x > 0 ? res_x * 3 / 4 : 288;
    if (!(res_x > 0)) res_x = res_y * 4 / 3;
    const Limits limits(res_x, res_y);
    std::string section;
    std::vector<std::string> format;  // the column names of the section's Format line
    for (size_t n = 0; n < lines.size(); ++n) {
        std::string line = lines[n];
        const std::string t = trimmed(line);
        if (!t.empty() && t[0] == '[') {
            section = lower(t);
            format.clear();
        }
        const size_t colon = t.find(':');
        const std::string key = colon == std::string::npos ? std::string() : lower(trimmed(t.substr(0, colon)));
        const std::string value = colon == std::string::npos ? std::string() : t.substr(colon + 1);
        if (key == "format") {
            format.clear();
            for (const std::string& f : fields(value, 64)) format.push_back(lower(trimmed(f)));
        } else if ((key == "style" && section.find("styles") != std::string::npos) || key == "dialogue") {
            std::vector<std::string> parts = fields(value, std::max<size_t>(format.size(), 1));
            parts[0] = trimmed(parts[0]);
            for (size_t c = 0; c < parts.size() && c < format.size(); ++c) {
                const std::string& column = format[c];
                if (column == "text") {
                    parts[c] = clamp_tags(parts[c], limits, changed);
                } else if (const auto range = limits.of(column); range && key == "style") {
                    const std::string before = trimmed(parts[c]);
                    parts[c] = clamped(before, *range, changed);
                }
            }
            if (key == "dialogue") {
                const auto column = [&](const char* name) -> std::optional<double> {
                    const auto at = std::find(format.begin(), format.end(), name);
                    if (at == format.end() || size_t(at - format.begin()) >= parts.size()) return std::nullopt;
                    return time_of(parts[size_t(at - format.begin())]);
                };
                const auto start = column("start"), end = column("end");
                if (!start || !end) {
                    error = path + ": line " + std::to_string(n + 1) + " is a dialogue line without readable Start and End times";
                    return false;
                }
                timed.push_back({n + 1, *start, *end});
            }
            line = line.substr(0, line.find(':') + 1) + " " + joined(parts);
        }
        script.ass += line + "\n";
    }
    return true;
}

// Every line's times: none may start before 0 or end before it starts; those that lie outside the
// stream, or last no time, are named in a warning.
bool check_times(const std::vector<Timed>& timed, double stream_seconds, const std::string& path, SubtitleScript& script,
                 std::string& error) {
    std::vector<size_t> outside, empty;
    for (const Timed& t : timed) {
        if (t.start < 0) {
            error = path + ": line " + std::to_string(t.line) + " starts at " + seconds_text(t.start) + ", before the stream does";
            return false;
        }
        if (t.end < t.start) {
            error = path + ": line " + std::to_string(t.line) + " ends at " + seconds_text(t.end) + ", before it starts at " +
                    seconds_text(t.start) + " (a typo in its times?)";
            return false;
        }
        if (t.end == t.start) {
            empty.push_back(t.line);
        } else if (t.start >= stream_seconds) {
            outside.push_back(t.line);
        } else {
            ++script.lines;
        }
    }
    const auto listed = [](const std::vector<size_t>& v) {
        std::string s;
        for (size_t i = 0; i < v.size() && i < 8; ++i) s += (i ? ", " : "") + std::to_string(v[i]);
        return v.size() > 8 ? s + " and " + std::to_string(v.size() - 8) + " more" : s;
    };
    if (!empty.empty()) script.warnings.push_back(path + ": lines " + listed(empty) + " last no time and are shown on no frame");
    if (script.lines == 0) {
        error = path + ": no line is shown within the stream's " + seconds_text(stream_seconds);
        if (timed.empty()) error += " (the file holds no subtitle)";
        if (!outside.empty()) error += " (lines " + listed(outside) + " start after it ends)";
        if (!empty.empty()) error += " (lines " + listed(empty) + " last no time)";
        return false;
    }
    if (!outside.empty()) {
        script.warnings.push_back(path + ": lines " + listed(outside) + " start after the stream's " + seconds_text(stream_seconds) +
                                  " and are shown on no frame");
    }
    return true;
}

}  // namespace

bool read_subtitles(const std::string& path, double stream_seconds, SubtitleScript& script, std::string& error) {
    script = SubtitleScript{};
    if (const std::string problem = input_problem(path); !problem.empty()) {
        error = path + ": " + problem;
        return false;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(native_path(path), ec);
    if (ec || size > kMaxBytes) {
        error = path + (ec ? ": cannot be read" : ": is larger than any subtitle file (" + std::to_string(size) + " bytes)");
        return false;
    }
    std::ifstream in(native_path(path), std::ios::binary);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), std::streamsize(size))) {
        error = path + ": cannot be read";
        return false;
    }
    const std::vector<std::string> lines = lines_of(text_of(bytes, path, script.warnings));
    const bool ass = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        const std::string t = lower(trimmed(l));
        return t == "[script info]" || t == "[events]";
    });
    std::vector<Timed> timed;
    bool changed = false;
    if (!(ass ? from_ass(lines, path, script, timed, changed, error) : from_srt(lines, path, script, timed, changed, error))) return false;
    if (changed) script.warnings.push_back(path + ": sizes larger than the picture (fonts, scales, outlines, margins) were clamped to it");
    return check_times(timed, stream_seconds, path, script, error);
}

}  // namespace quorvex
