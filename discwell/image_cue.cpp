// CUE sheets: FILE, TRACK, INDEX and PREGAP place the tracks of one or more track files on a
// disc. A track file holds raw sectors (2352 or 2448 bytes each) or is an ECM file of them.
#include <algorithm>
#include <vector>

#include "cue_sheet.h"
#include "image_formats.h"

namespace discwell {
namespace {

// A CUE sheet is a few lines per track; anything larger is not one.
constexpr size_t kMaxCueBytes = 1u << 20;

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string directory_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool is_absolute(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

// Where a sheet's FILE points: as written, or (a sheet written on Windows) with its backslashes as
// slashes.
std::vector<std::string> track_file_paths(const std::string& dir, const std::string& name) {
    std::vector<std::string> paths{is_absolute(name) ? name : dir + name};
#if !defined(_WIN32)
    if (name.find('\\') != std::string::npos) {
        std::string forward = name;
        std::replace(forward.begin(), forward.end(), '\\', '/');
        paths.push_back(is_absolute(name) ? forward : dir + forward);
    }
#endif
    return paths;
}

bool read_sheet(const std::string& path, CueSheet& sheet, std::string& error) {
    std::string stored, reason;
    if (!read_small_file(path, kMaxCueBytes, stored, reason)) {
        error = path + (reason.rfind("too large", 0) == 0 ? ": " + reason + " for a CUE sheet" : ": cannot open: " + reason);
        return false;
    }
    std::string text;
    if (!decode_cue_text(stored, text, reason)) {
        error = path + ": " + reason;
        return false;
    }
    std::string problem;
    if (!parse_cue_sheet(text, sheet, problem)) {
        error = path + ": " + problem;
        return false;
    }
    return true;
}

// The track file a sheet names, tried as written, then (a sheet written on Windows) with its
// backslashes as slashes.
std::shared_ptr<const SectorSource> track_file(const std::string& dir, const std::string& name, bool map,
                                               std::string& error) {
    const auto paths = track_file_paths(dir, name);
    auto source = open_track_file(paths[0], map, error);
    for (size_t i = 1; i < paths.size() && !source; ++i) {
        std::string second;
        if ((source = open_track_file(paths[i], map, second))) error.clear();
    }
    return source;
}

bool open_cue_image(const std::string& path, bool map, Disc& disc, std::string& error) {
    CueSheet sheet;
    if (!read_sheet(path, sheet, error)) return false;

    struct Placed {
        const CueTrack* track;
        uint32_t start;    // first absolute sector of the track, pregap included
        uint32_t index01;  // absolute sector of INDEX 01
    };
    std::vector<Placed> placed;
    uint64_t position = 0;
    const std::string dir = directory_of(path);
    for (const CueFile& cue_file : sheet.files) {
        std::string why;
        auto source = track_file(dir, cue_file.name, map, why);
        if (!source) {
            // The file's own problem, or that it cannot be opened, said where the sheet names it.
            const std::string file_path = is_absolute(cue_file.name) ? cue_file.name : dir + cue_file.name;
            const std::string prefix = file_path + ": cannot open: ";
            error = why.rfind(prefix, 0) == 0 ? path + ": line " + std::to_string(cue_file.line) + ": cannot open " +
                                                    quoted(cue_file.name) + ": " + why.substr(prefix.size())
                                              : why;
            return false;
        }
        const uint32_t frames = source->sector_count();
        for (size_t t = 0; t < cue_file.tracks.size(); ++t) {
            const CueTrack& track = cue_file.tracks[t];
            const uint32_t begin = t == 0 ? 0 : track.indexes.front().frame;
            const uint32_t end = t + 1 < cue_file.tracks.size() ? cue_file.tracks[t + 1].indexes.front().frame : frames;
            uint32_t index01 = 0;
            for (const CueIndex& index : track.indexes) {
                if (index.number == 1) index01 = index.frame;
            }
            if (end < begin || index01 > end || track.indexes.back().frame > frames) {
                error = path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number) +
                        " lies beyond the end of " + quoted(cue_file.name) + " or overlaps the next track";
                return false;
            }
            if (index01 == end) {
                error = path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number) +
                        " has no sectors (the next track, or the end of " + quoted(cue_file.name) + ", comes at its INDEX 01)";
                return false;
            }
            const auto start = static_cast<uint32_t>(position);
            if (track.pregap) {
                disc.append(track.pregap, nullptr, 0);
                position += track.pregap;
            }
            const uint64_t index01_abs = position + (index01 - begin);
            disc.append(end - begin, source, begin);
            position += end - begin;
            if (position > 0xFFFFFFF0u) {
                error = path + ": the tracks add up to more sectors than a disc can hold";
                return false;
            }
            placed.push_back(Placed{&track, start, static_cast<uint32_t>(index01_abs)});
        }
    }

    for (size_t i = 0; i < placed.size(); ++i) {
        const CueTrack& track = *placed[i].track;
        const uint32_t next = i + 1 < placed.size() ? placed[i + 1].start : static_cast<uint32_t>(position);
        const uint8_t mode = track.mode == TrackMode::kAudio   ? DW_TRACK_AUDIO
                             : track.mode == TrackMode::kMode1 ? DW_TRACK_MODE1
                                                               : DW_TRACK_MODE2;
        const auto control = static_cast<uint8_t>(track.flags | (track.mode == TrackMode::kAudio ? 0 : 0x04));
        disc.add_track(DwTrack{static_cast<uint8_t>(track.number), control, mode, 0, placed[i].index01,
                               next > placed[i].index01 ? next - placed[i].index01 : 0});
    }
    // LBA 0 is INDEX 01 of the first track; anything before it is not addressable.
    disc.drop_front(placed.front().index01);
    return true;
}

// A CUE sheet by its name, or by its first command (after a byte-order mark and blank space).
bool probe(const ImageHead& head) {
    if (head.named(".cue")) return true;
    size_t i = head.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (i < head.size && std::isspace(head.bytes[i])) ++i;
    std::string word;
    while (i < head.size && std::isalpha(head.bytes[i])) word += static_cast<char>(std::toupper(head.bytes[i++]));
    return word == "FILE" || word == "REM" || word == "CATALOG" || word == "TITLE" || word == "PERFORMER" ||
           word == "CDTEXTFILE";
}

bool open(const ImageHead& head, bool map, Disc& disc, std::string& error) { return open_cue_image(head.path, map, disc, error); }

// The track files the sheet names, as paths that exist: a sheet naming a missing one is unreadable.
ImageProbe files(const ImageHead& head) {
    ImageProbe probe{DW_PROBE_UNREADABLE, {}, nullptr};
    CueSheet sheet;
    std::string error;
    if (!read_sheet(head.path, sheet, error)) return probe;
    for (const CueFile& file : sheet.files) {
        for (const std::string& candidate : track_file_paths(directory_of(head.path), file.name)) {
            if (file_exists(candidate)) {
                probe.parts.push_back(candidate);
                break;
            }
        }
    }
    if (probe.parts.size() == sheet.files.size()) probe.verdict = DW_PROBE_IMAGE;
    return probe;
}

}  // namespace

extern const ImageFormat kCueFormat;
const ImageFormat kCueFormat{"CUE sheet", probe, open, files};

}  // namespace discwell
