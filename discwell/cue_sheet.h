// CUE sheets: the FILE, TRACK, INDEX and PREGAP commands that place raw tracks on a disc.
#pragma once

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

// The text of a sheet as stored: UTF-8 (with or without its byte-order mark) or UTF-16 in either
// byte order (with or without one), turned into UTF-8. Other 8-bit text passes unchanged (file
// names are the system's bytes). False with `error` set for data that is not text.
bool decode_cue_text(std::string_view stored, std::string& text, std::string& error);

// Parses a sheet; lines may end in CR LF, LF or CR alone. On failure returns false with `error`
// saying "line N: problem".
bool parse_cue_sheet(std::string_view text, CueSheet& sheet, std::string& error);

// "mm:ss:ff" in sectors (75 a second).
bool parse_msf(std::string_view text, uint32_t& frames);

}  // namespace discwell
