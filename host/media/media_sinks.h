// The sinks of the media module, made by its entry points.
#pragma once

#include <string>

#include "../outputs.h"

namespace quorvex {

UnitSink* new_media_file_sink(const StreamContext& context, const std::string& path, const OutputOptions& options,
                              std::string& error);
bool file_carries_quorvex_comment(const std::filesystem::path& path, std::string& why);

}  // namespace quorvex
