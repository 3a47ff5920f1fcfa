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

bool read_sheet(const std::string& path, CueSheet& sheet, Problem& problem) {
    std::string stored, reason;
    if (const DwError code = read_small_file(path, kMaxCueBytes, stored, reason); code != DW_OK) {
        return fail(problem, code, path + (code == DW_ERROR_TOO_LARGE ? ": " + reason + " for a CUE sheet" : ": cannot open: " + reason));
    }
    std::string text;
    if (!decode_cue_text(stored, text, reason)) return fail(problem, DW_ERROR_MALFORMED, path + ": " + reason);
    if (!parse_cue_sheet(text, sheet, reason)) return fail(problem, DW_ERROR_MALFORMED, path + ": " + reason);
    return true;
}

// The track file a sheet names, tried as written, then (a sheet written on Windows) with its
// backslashes as slashes. One that cannot be opened is said where the sheet names it; a problem
// of the file's own is said of the file.
std::shared_ptr<const SectorSource> track_file(const std::string& sheet, const CueFile& named, bool map, Problem& problem) {
    const auto paths = track_file_paths(directory_of(sheet), named.name);
    std::string reason;
    for (const std::string& path : paths) {
        std::string other;
        auto file = ImageFile::open(path, map, reason.empty() ? reason : other);
        if (file) return track_file_sectors(std::move(file), path, problem);
    }
    fail(problem, DW_ERROR_CANNOT_OPEN, sheet + ": line " + std::to_string(named.line) + ": cannot open " + quoted(named.name) + ": " + reason);
    return nullptr;
}

bool open_cue_image(const std::string& path, bool map, Disc& disc, Problem& problem) {
    CueSheet sheet;
    if (!read_sheet(path, sheet, problem)) return false;

    struct Placed {
        const CueTrack* track;
        uint32_t start;    // first absolute sector of the track, pregap included
        uint32_t index01;  // absolute sector of INDEX 01
    };
    std::vector<Placed> placed;
    uint64_t position = 0;
    for (const CueFile& cue_file : sheet.files) {
        auto source = track_file(path, cue_file, map, problem);
        if (!source) return false;
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
                return fail(problem, DW_ERROR_MALFORMED, path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number) +
                        " lies beyond the end of " + quoted(cue_file.name) + " or overlaps the next track");
            }
            if (index01 == end) {
                return fail(problem, DW_ERROR_MALFORMED, path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number) +
                        " has no sectors (the next track, or the end of " + quoted(cue_file.name) + ", comes at its INDEX 01)");
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
                return fail(problem, DW_ERROR_MALFORMED, path + ": the tracks add up to more sectors than a disc can hold");
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

bool open(const ImageHead& head, bool map, Disc& disc, Problem& problem) { return open_cue_image(head.path, map, disc, problem); }

// The track files the sheet names, as paths that exist: a sheet naming a missing one is unreadable.
ImageProbe files(const ImageHead& head) {
    ImageProbe probe{DW_PROBE_UNREADABLE, {}, nullptr};
    CueSheet sheet;
    Problem problem;
    if (!read_sheet(head.path, sheet, problem)) return probe;
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
const ImageFormat kCueFormat{DW_FORMAT_CUE, "CUE sheet", probe, open, files};

}  // namespace discwell
