// How quorvex shows a StreamInfo: as a table row for people and as JSON for programs.
#pragma once

#include <string>
#include <vector>

#include "../contract/plugin_records.h"
#include "json_writer.h"

namespace quorvex {

std::string format_duration(uint32_t ms);  // "1:02.345"
std::string format_kind(uint16_t kind);     // "video+audio"
std::string format_audio(const StreamInfo& info);
std::string format_rate(uint16_t tenths);   // "15.0"

struct TableRow {
    std::string plugin;
    int32_t index;
    StreamInfo info;
    std::string file;  // the disc file the stream lies in ("" for none)
    int channel = -1;
    std::string also_found_by;  // other plug-ins that found the same stream
};
// A table with a heading line and one aligned line per row; the FILE and CH columns when a row
// has a file, ALSO FOUND BY when a row has other plug-ins.
std::string format_stream_table(const std::vector<TableRow>& rows);

void write_stream_info(JsonWriter& json, const StreamInfo& info, bool with_payload_bytes);

}  // namespace quorvex
