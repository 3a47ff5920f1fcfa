// CUE sheets: FILE, TRACK, INDEX and PREGAP place the tracks of one or more track files on a
// disc. A track file holds raw sectors (2352 or 2448 bytes each) or is an ECM file of them.
#include <algorithm>
#include <vector>

#include "cue_sheet.h"
#include "image_formats.h"

namespace discwell {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

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
    const auto paths = track_file_paths(sheet, named.name);
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

    std::vector<std::shared_ptr<const SectorSource>> sources;
    std::vector<uint32_t> file_sectors;
    for (const CueFile& cue_file : sheet.files) {
        auto source = track_file(path, cue_file, map, problem);
        if (!source) return false;
        file_sectors.push_back(source->sector_count());
        sources.push_back(std::move(source));
    }
    std::vector<PlacedTrack> placed;
    uint32_t total = 0;
    std::string reason;
    if (!place_cue_tracks(path, sheet, file_sectors, placed, total, reason)) return fail(problem, DW_ERROR_MALFORMED, reason);
    for (const PlacedTrack& p : placed) {
        if (p.track->pregap) disc.append(p.track->pregap, nullptr, 0);
        disc.append(p.end - p.begin, sources[p.file], p.begin);
    }
    for (size_t i = 0; i < placed.size(); ++i) {
        const CueTrack& track = *placed[i].track;
        const uint32_t next = i + 1 < placed.size() ? placed[i + 1].start : total;
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
        for (const std::string& candidate : track_file_paths(head.path, file.name)) {
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
