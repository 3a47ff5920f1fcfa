// The sector classes of a movie stream: XA audio, STR video chunk, or other.
#pragma once

#include <cstdint>

namespace psr {

enum class SectorClass : uint8_t { kAudio, kVideo, kOther };

// Real-time, Form 2 and audio all set.
constexpr bool is_xa_audio(uint8_t submode) { return (submode & 0x64) == 0x64; }

// The chunk marker test that every STR movie plug-in makes: high nibble of user-data byte 0 is 6.
constexpr bool has_str_magic(uint8_t user_byte0) { return (user_byte0 & 0xF0) == 0x60; }

}  // namespace psr
