// quorvex's JSON documents: every one is valid UTF-8 and carries a format version.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "../contract/plugin_records.h"

namespace quorvex {

using Json = nlohmann::ordered_json;

// The version of every JSON document quorvex writes; raised when a field changes meaning.
inline constexpr int kJsonFormatVersion = 1;

// A text field, such as a file name, that may hold bytes that are not UTF-8: those are replaced
// by U+FFFD, and the exact bytes follow in "<key>_base64".
void put_text(Json& object, const std::string& key, const std::string& bytes);
bool is_utf8(const std::string& bytes);
// Each byte that is not part of a UTF-8 sequence becomes U+FFFD.
std::string valid_utf8(const std::string& bytes);
std::string base64(const std::string& bytes);

// A StreamInfo as the plug-in filled it (its raw fields), with plain fields beside them: the
// kind in words and as flags, frames per second, seconds.
Json stream_info_json(const StreamInfo& info, bool with_payload_bytes);

// Two-space indented, ending with a newline.
std::string dump(const Json& document);

}  // namespace quorvex
