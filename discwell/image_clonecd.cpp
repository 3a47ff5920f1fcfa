// CloneCD sets: a control file (.ccd, an INI-style table of contents), the sectors (.img, 2352
// bytes each from LBA 0 on, later tracks' pregaps included) and the subchannel (.sub, not needed
// to read the disc). Tracks come from the TOC entries: points 1-99 start tracks, point 0xA2 is
// the lead-out, where the last track ends.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "image_formats.h"

namespace discwell {
namespace {

constexpr size_t kMaxControlBytes = 1u << 20;

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A value as CloneCD writes numbers: decimal, or hexadecimal after 0x; negative LBAs occur.
bool number(const std::string& text, long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0' && value > -1000000 && value < 100000000;
}

// Sections of key=value lines, names and keys lowercased.
using Sections = std::map<std::string, std::map<std::string, std::string>>;

Sections parse_ini(const std::string& text) {
    Sections sections;
    std::string current;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        const std::string line = trimmed(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            current = lower(trimmed(line.substr(1, line.size() - 2)));
            sections[current];
        } else if (const size_t eq = line.find('='); eq != std::string::npos && !current.empty()) {
            sections[current][lower(trimmed(line.substr(0, eq)))] = trimmed(line.substr(eq + 1));
        }
    }
    return sections;
}

bool open_clonecd_image(const std::string& path, bool map, Disc& disc, Problem& problem) {
    std::string text, reason;
    if (const DwError code = read_small_file(path, kMaxControlBytes, text, reason); code != DW_OK) {
        return fail(problem, code, path + (code == DW_ERROR_TOO_LARGE ? ": " + reason + " for a CloneCD control file" : ": cannot open: " + reason));
    }
    const Sections sections = parse_ini(text);
    if (!sections.count("clonecd")) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": not a CloneCD control file (no [CloneCD] section)");
    }

    struct Start {
        long point, lba;
        uint8_t control;
    };
    std::vector<Start> starts;
    long lead_out = -1;
    for (const auto& section : sections) {
        const std::string& name = section.first;
        const auto& keys = section.second;
        if (name.rfind("entry ", 0) != 0) continue;
        long point = 0, plba = 0, control = 0x04, session = 1;
        auto get = [&](const char* key, long& out) {
            auto it = keys.find(key);
            return it != keys.end() && number(it->second, out);
        };
        if (!get("point", point) || !get("plba", plba)) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": [" + name + "] lacks a Point or PLBA");
        }
        get("control", control);
        get("session", session);
        if (session != 1) continue;  // a PlayStation disc has one session; later ones are not read
        if (point == 0xA2) lead_out = plba;
        if (point >= 1 && point <= 99) starts.push_back(Start{point, plba, static_cast<uint8_t>(control & 0x0F)});
    }
    if (starts.empty()) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": the control file lists no tracks");
    }
    std::sort(starts.begin(), starts.end(), [](const Start& a, const Start& b) { return a.lba < b.lba; });

    const std::string img = (path.size() > 4 ? path.substr(0, path.size() - 4) : path) + ".img";
    Problem sectors_problem;
    auto source = open_track_file(img, map, sectors_problem);
    if (!source) return fail(problem, sectors_problem.code, path + ": its sectors: " + sectors_problem.text);
    const uint32_t sectors = source->sector_count();
    if (lead_out < 0 || lead_out > static_cast<long>(sectors)) lead_out = sectors;
    for (size_t i = 0; i < starts.size(); ++i) {
        const long first = starts[i].lba;
        const long end = i + 1 < starts.size() ? starts[i + 1].lba : lead_out;
        if (first < 0 || end < first || end > static_cast<long>(sectors)) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": track " + std::to_string(starts[i].point) + " lies outside " + img);
        }
        // A track's length runs to the next track's pregap where the control file gives it.
        long next = end;
        if (i + 1 < starts.size()) {
            const auto section = sections.find("track " + std::to_string(starts[i + 1].point));
            long index0 = -1;
            if (section != sections.end()) {
                auto it = section->second.find("index 0");
                if (it != section->second.end() && number(it->second, index0) && index0 >= first && index0 <= end) {
                    next = index0;
                }
            }
        }
        uint8_t mode = (starts[i].control & 0x04) ? DW_TRACK_MODE2 : DW_TRACK_AUDIO;
        const auto section = sections.find("track " + std::to_string(starts[i].point));
        if (section != sections.end()) {
            long m = -1;
            auto it = section->second.find("mode");
            if (it != section->second.end() && number(it->second, m) && m >= 0 && m <= 2) mode = static_cast<uint8_t>(m);
        }
        disc.add_track(DwTrack{static_cast<uint8_t>(starts[i].point), starts[i].control, mode, 0,
                               static_cast<uint32_t>(first), static_cast<uint32_t>(next - first)});
    }
    disc.append(static_cast<uint32_t>(lead_out), std::move(source), 0);
    return true;
}

// A control file by its first line or its name; a sector file by its name, beside its control file.
bool is_control_file(const ImageHead& head) { return head.starts_with("[CloneCD]") || head.named(".ccd"); }

bool probe(const ImageHead& head) {
    return is_control_file(head) || (head.named(".img") && file_exists(without_extension(head.path) + ".ccd"));
}

bool open(const ImageHead& head, bool map, Disc& disc, Problem& problem) {
    return open_clonecd_image(is_control_file(head) ? head.path : without_extension(head.path) + ".ccd", map, disc, problem);
}

ImageProbe files(const ImageHead& head) {
    ImageProbe probe{DW_PROBE_IMAGE, {}, nullptr};
    if (!is_control_file(head)) return probe;  // the sector file: its control file is the disc
    for (const char* ext : {".img", ".sub"}) {
        const std::string part = without_extension(head.path) + ext;
        if (file_exists(part)) {
            probe.parts.push_back(part);
        } else if (std::string_view(ext) == ".img") {
            probe.verdict = DW_PROBE_UNREADABLE;  // its sectors are missing
        }
    }
    return probe;
}

}  // namespace

extern const ImageFormat kCloneCdFormat;
const ImageFormat kCloneCdFormat{DW_FORMAT_CLONECD, "CloneCD", probe, open, files};

}  // namespace discwell
