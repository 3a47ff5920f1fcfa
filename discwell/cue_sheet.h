// CUE sheets: the FILE, TRACK, INDEX and PREGAP commands that place raw tracks on a disc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace discwell {

enum class TrackMode : uint8_t { kAudio, kMode1, kMode2 };

struct CueIndex {
    int number;
    uint32_t frame;  // position inside the track's file, in sectors
};

struct CueTrack {
    int number;
    TrackMode mode;
    uint8_t flags;         // control bits from FLAGS (DCP, 4CH, PRE)
    uint32_t pregap;       // PREGAP sectors, not stored in the file
    std::vector<CueIndex> indexes;
    int line;              // where the TRACK command stands
};

struct CueFile {
    std::string name;  // as written in the sheet
    int line;
    std::vector<CueTrack> tracks;
};

struct CueSheet {
    std::vector<CueFile> files;
};

// A CUE sheet is a few lines per track; anything larger is not one.
inline constexpr size_t kMaxCueBytes = 1u << 20;

// The text of a sheet as stored: UTF-8 (with or without its byte-order mark) or UTF-16 in either
// byte order (with or without one), turned into UTF-8. Other 8-bit text passes unchanged (file
// names are the system's bytes). False with `error` set for data that is not text.
bool decode_cue_text(std::string_view stored, std::string& text, std::string& error);

// Parses a sheet; lines may end in CR LF, LF or CR alone. On failure returns false with `error`
// saying "line N: problem".
bool parse_cue_sheet(std::string_view text, CueSheet& sheet, std::string& error);

// "mm:ss:ff" in sectors (75 a second).
bool parse_msf(std::string_view text, uint32_t& frames);

// Where a sheet's FILE points, beside the sheet at `sheet_path`: as written, then (a sheet written
// on Windows) with its backslashes as slashes.
std::vector<std::string> track_file_paths(const std::string& sheet_path, const std::string& name);

// A track placed on the disc: its file's sectors [begin, end) after its PREGAP, which no file
// holds. Absolute sectors count from the first file's first sector; LBA 0 is the first track's
// INDEX 01.
struct PlacedTrack {
    const CueTrack* track = nullptr;
    size_t file = 0;         // in the sheet's files
    uint32_t start = 0;      // first absolute sector, PREGAP included
    uint32_t begin = 0, end = 0;
    uint32_t index01 = 0;    // absolute sector of INDEX 01
    uint32_t data() const { return start + track->pregap; }  // absolute sector of `begin`
};

// Places every track of `sheet` (at `path`, named in messages), whose files hold `file_sectors`
// sectors each; the tracks' sectors add up to `total`. False with `error` (a malformed sheet).
bool place_cue_tracks(const std::string& path, const CueSheet& sheet, const std::vector<uint32_t>& file_sectors,
                      std::vector<PlacedTrack>& placed, uint32_t& total, std::string& error);

}  // namespace discwell
