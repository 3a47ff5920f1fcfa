// How quorvex shows a StreamInfo: as a table row for people and as JSON for programs.
#pragma once

#include <string>
#include <vector>

#include "../contract/plugin_records.h"

namespace quorvex {

std::string format_duration(uint32_t ms);  // "1:02.345"
std::string format_kind(uint16_t kind);     // "video+audio"
std::string format_audio(const StreamInfo& info);

// The rate a movie plays at: its described rate, or where the rate varies or the described rate
// disagrees with its frames over its length (walcite describes 30 fps for movies that play at 10),
// its frames over its length, to the thousandth.
double playing_frames_per_second(const StreamInfo& info);

struct TableRow {
    uint32_t number = 0;  // in the disc's listing; 0 for none
    std::string name;
    std::string plugin;
    int32_t index = 0;  // in the plug-in's own list
    StreamInfo info{};
    std::string also_found_by;  // other plug-ins that found the same stream
};
// A table with a heading line and one aligned line per row: the stream's number and name, the
// plug-in and its own index (P#), its description with the rate it plays at, and ALSO FOUND BY
// when a row has other plug-ins.
std::string format_stream_table(const std::vector<TableRow>& rows);

}  // namespace quorvex
