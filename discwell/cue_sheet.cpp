#include "cue_sheet.h"

#include <algorithm>
#include <cctype>

namespace discwell {
namespace {

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Splits a line into words; a quoted word keeps its spaces.
bool split_words(std::string_view line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                error = "unterminated quoted string";
                return false;
            }
            words.emplace_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        size_t end = i;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
        words.emplace_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

bool parse_number(std::string_view text, int& value) {
    if (text.empty() || text.size() > 4) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

bool parse_msf(std::string_view text, uint32_t& frames) {
    int parts[3];
    for (int k = 0; k < 3; ++k) {
        const size_t colon = k < 2 ? text.find(':') : text.size();
        if (colon == std::string_view::npos || !parse_number(text.substr(0, colon), parts[k])) return false;
        text = k < 2 ? text.substr(colon + 1) : std::string_view{};
    }
    if (parts[1] > 59 || parts[2] > 74) return false;
    frames = static_cast<uint32_t>((parts[0] * 60 + parts[1]) * 75 + parts[2]);
    return true;
}

namespace {

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string from_utf16(std::string_view bytes, bool big_endian) {
    std::string out;
    auto unit = [&](size_t i) {
        const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
        return static_cast<uint32_t>(big_endian ? a << 8 | b : b << 8 | a);
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        append_utf8(out, c);
    }
    return out;
}

// Text in UTF-16 without a byte-order mark: ASCII characters leave every other byte zero.
bool looks_utf16(std::string_view bytes, bool& big_endian) {
    if (bytes.size() < 4 || bytes.size() % 2) return false;
    size_t zero_even = 0, zero_odd = 0;
    for (size_t i = 0; i < bytes.size(); ++i) (i % 2 ? zero_odd : zero_even) += bytes[i] == '\0';
    const size_t half = bytes.size() / 2;
    if (zero_odd * 10 >= half * 9 && zero_even == 0) {
        big_endian = false;
        return true;
    }
    if (zero_even * 10 >= half * 9 && zero_odd == 0) {
        big_endian = true;
        return true;
    }
    return false;
}

}  // namespace

bool decode_cue_text(std::string_view stored, std::string& text, std::string& error) {
    bool big_endian = false;
    if (stored.substr(0, 3) == "\xEF\xBB\xBF") {
        text.assign(stored.substr(3));
    } else if (stored.substr(0, 2) == "\xFF\xFE" || stored.substr(0, 2) == "\xFE\xFF") {
        text = from_utf16(stored.substr(2), stored[0] == '\xFE');
    } else if (looks_utf16(stored, big_endian)) {
        text = from_utf16(stored, big_endian);
    } else {
        text.assign(stored);
    }
    if (text.find('\0') != std::string::npos) {
        error = "not a CUE sheet (binary data)";
        return false;
    }
    return true;
}

bool parse_cue_sheet(std::string_view text, CueSheet& sheet, std::string& error) {
    sheet.files.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    std::vector<std::string> words;
    int line_number = 0;
    auto fail = [&](const std::string& problem) {
        error = "line " + std::to_string(line_number) + ": " + problem;
        return false;
    };
    int last_track_number = 0;

    while (!text.empty()) {
        ++line_number;
        const size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
            text.remove_prefix(end + (crlf ? 2 : 1));
        }

        std::string problem;
        if (!split_words(line, words, problem)) return fail(problem);
        if (words.empty()) continue;
        const std::string command = upper(words[0]);
        CueTrack* track = sheet.files.empty() || sheet.files.back().tracks.empty() ? nullptr
                                                                                 : &sheet.files.back().tracks.back();

        if (command == "REM" || command == "CATALOG" || command == "CDTEXTFILE" || command == "TITLE" ||
            command == "PERFORMER" || command == "SONGWRITER" || command == "ISRC" || command == "POSTGAP") {
            continue;
        }
        if (command == "FILE") {
            if (words.size() != 3) return fail("FILE needs a file name and a type");
            const std::string type = upper(words[2]);
            if (type != "BINARY") return fail("file type " + words[2] + " is not supported (only BINARY)");
            sheet.files.push_back(CueFile{words[1], line_number, {}});
        } else if (command == "TRACK") {
            if (sheet.files.empty()) return fail("TRACK before any FILE");
            int number = 0;
            if (words.size() != 3 || !parse_number(words[1], number) || number < 1 || number > 99) {
                return fail("TRACK needs a number from 1 to 99 and a mode");
            }
            if (number <= last_track_number) return fail("track numbers must increase");
            last_track_number = number;
            const std::string mode = upper(words[2]);
            TrackMode parsed;
            if (mode == "MODE2/2352") {
                parsed = TrackMode::kMode2;
            } else if (mode == "MODE1/2352") {
                parsed = TrackMode::kMode1;
            } else if (mode == "AUDIO") {
                parsed = TrackMode::kAudio;
            } else {
                return fail("track mode " + words[2] + " is not supported: raw 2352-byte sectors are needed");
            }
            sheet.files.back().tracks.push_back(CueTrack{number, parsed, 0, 0, {}, line_number});
        } else if (command == "INDEX") {
            if (!track) return fail("INDEX outside a TRACK");
            int number = 0;
            uint32_t frame = 0;
            if (words.size() != 3 || !parse_number(words[1], number) || number > 99) {
                return fail("INDEX needs a number and a time mm:ss:ff");
            }
            if (!parse_msf(words[2], frame)) return fail("bad time '" + words[2] + "' (expected mm:ss:ff)");
            if (!track->indexes.empty() &&
                (number <= track->indexes.back().number || frame < track->indexes.back().frame)) {
                return fail("INDEX numbers and times must increase");
            }
            track->indexes.push_back(CueIndex{number, frame});
        } else if (command == "PREGAP") {
            if (!track) return fail("PREGAP outside a TRACK");
            if (!track->indexes.empty()) return fail("PREGAP must come before the track's INDEX lines");
            if (words.size() != 2 || !parse_msf(words[1], track->pregap)) {
                return fail("PREGAP needs a time mm:ss:ff");
            }
        } else if (command == "FLAGS") {
            if (!track) return fail("FLAGS outside a TRACK");
            for (size_t k = 1; k < words.size(); ++k) {
                const std::string flag = upper(words[k]);
                if (flag == "DCP") {
                    track->flags |= 0x02;
                } else if (flag == "4CH") {
                    track->flags |= 0x08;
                } else if (flag == "PRE") {
                    track->flags |= 0x01;
                } else if (flag != "SCMS") {
                    return fail("unknown flag " + words[k]);
                }
            }
        } else {
            return fail("unknown command " + words[0]);
        }
    }

    if (sheet.files.empty()) {
        error = "no FILE command";
        return false;
    }
    for (const CueFile& file : sheet.files) {
        if (file.tracks.empty()) {
            line_number = file.line;
            return fail("FILE without a TRACK");
        }
        for (const CueTrack& track : file.tracks) {
            const bool has_index1 = std::any_of(track.indexes.begin(), track.indexes.end(),
                                                [](const CueIndex& index) { return index.number == 1; });
            if (!has_index1) {
                line_number = track.line;
                return fail("track " + std::to_string(track.number) + " has no INDEX 01");
            }
        }
    }
    return true;
}

std::vector<std::string> track_file_paths(const std::string& sheet_path, const std::string& name) {
    const size_t slash = sheet_path.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? std::string() : sheet_path.substr(0, slash + 1);
    const bool absolute = (!name.empty() && (name[0] == '/' || name[0] == '\\')) || (name.size() > 1 && name[1] == ':');
    std::vector<std::string> paths{absolute ? name : dir + name};
#if !defined(_WIN32)
    if (name.find('\\') != std::string::npos) {
        std::string forward = name;
        std::replace(forward.begin(), forward.end(), '\\', '/');
        paths.push_back(absolute ? forward : dir + forward);
    }
#endif
    return paths;
}

bool place_cue_tracks(const std::string& path, const CueSheet& sheet, const std::vector<uint32_t>& file_sectors,
                      std::vector<PlacedTrack>& placed, uint32_t& total, std::string& error) {
    placed.clear();
    uint64_t position = 0;
    for (size_t f = 0; f < sheet.files.size(); ++f) {
        const CueFile& cue_file = sheet.files[f];
        const uint32_t frames = file_sectors[f];
        for (size_t t = 0; t < cue_file.tracks.size(); ++t) {
            const CueTrack& track = cue_file.tracks[t];
            const uint32_t begin = t == 0 ? 0 : track.indexes.front().frame;
            const uint32_t end = t + 1 < cue_file.tracks.size() ? cue_file.tracks[t + 1].indexes.front().frame : frames;
            uint32_t index01 = 0;
            for (const CueIndex& index : track.indexes) {
                if (index.number == 1) index01 = index.frame;
            }
            const std::string where = path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number);
            if (end < begin || index01 > end || track.indexes.back().frame > frames) {
                error = where + " lies beyond the end of \"" + cue_file.name + "\" or overlaps the next track";
                return false;
            }
            if (index01 == end) {
                error = where + " has no sectors (the next track, or the end of \"" + cue_file.name + "\", comes at its INDEX 01)";
                return false;
            }
            const auto start = static_cast<uint32_t>(position);
            position += track.pregap;
            const uint64_t index01_abs = position + (index01 - begin);
            position += end - begin;
            if (position > 0xFFFFFFF0u) {
                error = path + ": the tracks add up to more sectors than a disc can hold";
                return false;
            }
            placed.push_back(PlacedTrack{&track, f, start, begin, end, static_cast<uint32_t>(index01_abs)});
        }
    }
    total = static_cast<uint32_t>(position);
    return true;
}

}  // namespace discwell
