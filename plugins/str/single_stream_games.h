// selvane, grivet and tamsel: one movie at a time, each game with its own chunk tests. Everything
// in which the three differ is here; the scanner and the reader hold the logic they share.
#pragma once

#include <cstdint>

#include "contract/frame_rate.h"
#include "contract/mdec_header_search.h"
#include "contract/plugin_info.h"
#include "contract/raw_sector.h"
#include "contract/sector_class.h"
#include "contract/str_sector_header.h"
#include "contract/track_table.h"

namespace plugins::str {

using psr::RawSector;
using psr::StrSectorHeader;

// When a gap of more than 32 sectors after the stream's last sector closes it.
enum class GapRule : uint8_t {
    kEverySector,       // any sector after the gap closes the stream
    kOtherSectorsOnly,  // video and audio are taken whatever the gap; other sectors close only after
                        // the gap and are ignored within it
};

// Which picture size a game stores and reports.
enum class PictureSize : uint8_t {
    kHeader,        // the chunk header's width and height
    kHeaderMasked,  // the same, each AND 0xFFF0
    kFixed,         // none in the header: always 320 x 224
};

inline constexpr uint16_t kFixedWidth = 320;
inline constexpr uint16_t kFixedHeight = 224;

constexpr bool first_word_zero(const RawSector& s) { return s.user16<0>() == 0; }

struct Selvane {
    static constexpr psr::PluginIdentity kIdentity{"Selvane STR", "Copyright (C) 2026 the Selvane STR plug-in authors",
                                                   101, 0, 230, psr::HomeUrl::kShort};
    static constexpr psr::RateRule kRateRule = psr::RateRule::kCommon;

    // Scan.
    static constexpr bool audio(const RawSector& s) { return psr::is_xa_audio(s.submode()); }
    static constexpr bool video(const RawSector& s, const StrSectorHeader& h) {
        return psr::has_str_magic(h.magic_low()) && h.type_flag() && h.chunk_count >= 1 && h.chunk_count <= 20 &&
               s.user32<28>() == 0;
    }
    static constexpr bool start(const RawSector& s, const StrSectorHeader& h) {
        return psr::mdec_start_accepted(s, h, false);
    }
    static constexpr bool ignored(bool /*is_video*/, const RawSector&, const StrSectorHeader&) { return false; }
    static constexpr bool kPlayMarkers = true;  // "Play" sectors must come while a movie is open
    static constexpr bool kAudioSubheaderFixed = true;
    static constexpr GapRule kGapRule = GapRule::kEverySector;
    static constexpr bool kCloseOnEndOfRecord = true;  // submode 0x89
    static constexpr bool kTypeWordFixed = false;
    static constexpr PictureSize kPictureSize = PictureSize::kHeader;
    static constexpr uint32_t kFrameNumberMask = 0xFFFFFFFF;

    // Playback.
    static constexpr bool kDescribeAudioExact = true;  // submode exactly 0x64
    static constexpr bool kDescribeCountsVideoChunksOnly = false;
    static constexpr bool kDescribeStopsAfterFrame30 = true;
    static constexpr int32_t kBufferSetting = 8;
    static constexpr bool read_video(const RawSector& s, const StrSectorHeader&) {
        return (s.submode() & 0x48) == 0x48;
    }
    static constexpr bool kSilenceEndOfFileAudio = false;
};

struct Grivet {
    static constexpr psr::PluginIdentity kIdentity{"Grivet STR", "Copyright (C) 2026 the Grivet STR plug-in authors",
                                                   100, 100, 230, psr::HomeUrl::kLong};
    static constexpr psr::RateRule kRateRule = psr::RateRule::kCommon;

    static constexpr bool audio(const RawSector& s) { return psr::is_xa_audio(s.submode()); }
    static constexpr bool video(const RawSector&, const StrSectorHeader& h) {
        return psr::has_str_magic(h.magic_low()) && h.type_flag() && h.chunk_index < h.chunk_count &&
               h.chunk_count <= 32 && h.frame_number != 0 && h.frame_bytes != 0 && h.width != 0 && h.height != 0;
    }
    // Its movies have an odd width or height, and may carry the picture size after the MDEC marker.
    static constexpr bool start(const RawSector& s, const StrSectorHeader& h) {
        return ((h.width & 1) || (h.height & 1)) && psr::mdec_start_accepted(s, h, true);
    }
    static constexpr bool ignored(bool, const RawSector&, const StrSectorHeader&) { return false; }
    static constexpr bool kPlayMarkers = false;
    static constexpr bool kAudioSubheaderFixed = true;
    static constexpr GapRule kGapRule = GapRule::kOtherSectorsOnly;
    static constexpr bool kCloseOnEndOfRecord = true;
    static constexpr bool kTypeWordFixed = true;  // a chunk of another type withdraws the movie
    static constexpr PictureSize kPictureSize = PictureSize::kHeaderMasked;
    static constexpr uint32_t kFrameNumberMask = 0xFFFFFFFF;

    static constexpr bool kDescribeAudioExact = false;
    static constexpr bool kDescribeCountsVideoChunksOnly = true;
    static constexpr bool kDescribeStopsAfterFrame30 = false;
    static constexpr int32_t kBufferSetting = 8;
    static constexpr bool read_video(const RawSector& s, const StrSectorHeader& h) { return video(s, h); }
    static constexpr bool kSilenceEndOfFileAudio = false;
};

struct Tamsel {
    static constexpr psr::PluginIdentity kIdentity{
        "Tamsel Vireland", "Copyright (C) 2026 the Tamsel Vireland plug-in authors", 110, 0, 230,
        psr::HomeUrl::kShort};
    static constexpr psr::RateRule kRateRule = psr::RateRule::kTamsel;

    // Its audio is stereo at 18900 Hz; the end-of-file bit may be set.
    static constexpr bool audio(const RawSector& s) { return (s.submode() & 0x7F) == 0x64 && s.coding() == 5; }
    // Its headers carry no picture size and a type word of 0.
    static constexpr bool video(const RawSector& s, const StrSectorHeader& h) {
        return psr::has_str_magic(h.magic_low()) && h.chunk_count >= 1 && h.chunk_count <= 20 && h.type == 0 &&
               h.frame_number != 0 && h.frame_bytes != 0 && s.user32<16>() == 0 && h.word20 == 0 && h.word24 == 0 &&
               h.word28 == 0;
    }
    static constexpr bool start(const RawSector& s, const StrSectorHeader& h) {
        return psr::mdec_start_accepted(s, h, false);
    }
    // Chunks numbered 0xFFFF and empty sectors inside a movie pass without effect.
    static constexpr bool ignored(bool is_video, const RawSector& s, const StrSectorHeader& h) {
        return is_video ? h.frame_number == 0xFFFF : first_word_zero(s);
    }
    static constexpr bool kPlayMarkers = false;
    static constexpr bool kAudioSubheaderFixed = false;
    static constexpr GapRule kGapRule = GapRule::kEverySector;
    static constexpr bool kCloseOnEndOfRecord = false;
    static constexpr bool kTypeWordFixed = false;
    static constexpr PictureSize kPictureSize = PictureSize::kFixed;
    static constexpr uint32_t kFrameNumberMask = 0x7FFF;

    static constexpr bool kDescribeAudioExact = false;
    static constexpr bool kDescribeCountsVideoChunksOnly = false;
    static constexpr bool kDescribeStopsAfterFrame30 = true;
    static constexpr int32_t kBufferSetting = -1;
    static constexpr bool read_video(const RawSector& s, const StrSectorHeader& h) {
        return !first_word_zero(s) && h.frame_number < 0xFFFF;
    }
    static constexpr bool kSilenceEndOfFileAudio = true;  // end-of-file audio plays as silence
};

// The picture size a game takes from a chunk header.
template <class Game>
constexpr uint16_t stored_width(const StrSectorHeader& h) {
    if constexpr (Game::kPictureSize == PictureSize::kFixed) return kFixedWidth;
    if constexpr (Game::kPictureSize == PictureSize::kHeaderMasked) return static_cast<uint16_t>(h.width & 0xFFF0);
    return h.width;
}
template <class Game>
constexpr uint16_t stored_height(const StrSectorHeader& h) {
    if constexpr (Game::kPictureSize == PictureSize::kFixed) return kFixedHeight;
    if constexpr (Game::kPictureSize == PictureSize::kHeaderMasked) return static_cast<uint16_t>(h.height & 0xFFF0);
    return h.height;
}

}  // namespace plugins::str
