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
        const size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

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

}  // namespace discwell
