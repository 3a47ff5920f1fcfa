// How a movie's StreamInfo is filled from what a scan or a sample has counted.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame_rate.h"
#include "plugin_records.h"
#include "xa_timing.h"

namespace psr {

// What a movie scanner has counted for one stream.
struct MovieScanCounters {
    uint32_t first_sector;
    uint32_t last_video;
    uint32_t last_audio;
    uint32_t frames;
    uint32_t width;
    uint32_t height;
    uint32_t payload;
    uint16_t min_spf;
    uint16_t max_spf;
    uint32_t audio_sectors;
    uint8_t coding;  // coding byte of the stream's first audio sector
    uint32_t synced_audio;
    uint32_t synced_frames;
};

constexpr uint32_t round_rate_to_5(uint32_t measured) { return (measured + 2) / 5 * 5; }

constexpr int32_t abs_difference(int32_t a, int32_t b) { return a > b ? a - b : b - a; }

// Fills `info` from scan counters. Returns false, leaving `info` untouched, when the picture holds no
// macroblock (the estimate is 0) and the stream cannot be described.
inline bool movie_info_from_scan(const MovieScanCounters& c, RateRule rule, StreamInfo* info) {
    const auto w = static_cast<int32_t>(c.width);
    const auto h = static_cast<int32_t>(c.height);
    const uint32_t rate = estimate_frame_rate(w, h, c.min_spf, c.max_spf, rule);
    if (rate == 0) return false;

    StreamInfo out{};
    out.kind = kKindVideo;
    out.start_sector = c.first_sector;
    out.sector_count = (c.last_video > c.last_audio ? c.last_video : c.last_audio) - c.first_sector + 1;
    out.frame_count = c.frames;
    out.width = c.width;
    out.height = c.height;
    out.frame_rate = static_cast<uint16_t>(rate);
    out.duration_ms = c.frames * 10000u / rate;
    out.payload_bytes = c.payload;

    if (c.audio_sectors != 0) {
        const XaFormat format = XaFormat::from_coding(c.coding);
        out.kind = kKindVideo | kKindAudio;
        out.has_audio = 1;
        out.bits_per_sample = kBitsPerSample;
        out.channels = format.channels;
        out.sample_rate = format.sample_rate;

        const uint32_t synced_ms = format.duration_ms(c.synced_audio);
        const uint16_t measured = static_cast<uint16_t>(synced_ms != 0 ? c.synced_frames * 10000u / synced_ms : rate);
        // When the audio implies another rate: a steady spread of sectors per frame rounds to the
        // measured rate, an uneven one makes the rate vary per frame. tamsel tests the spread alone.
        uint32_t frame_rate = rate;
        const int32_t spread = static_cast<int32_t>(c.max_spf) - static_cast<int32_t>(c.min_spf);
        const int32_t abs_spread = spread < 0 ? -spread : spread;
        const bool tamsel = rule == RateRule::kTamsel;
        if (tamsel ? abs_spread > 2 : abs_difference(static_cast<int32_t>(rate), measured) > 20) {
            if ((tamsel ? abs_spread : spread) <= 3) {
                frame_rate = round_rate_to_5(measured);
            } else {
                out.kind |= kKindVariableRate;
                frame_rate = estimate_frame_rate(w, h, c.min_spf, c.min_spf, rule);
            }
        }
        if (frame_rate <= 50) frame_rate = 50;
        out.frame_rate = static_cast<uint16_t>(frame_rate);
        const uint32_t audio_ms = format.duration_ms(c.audio_sectors);
        const uint32_t video_ms = c.frames * 10000u / frame_rate;
        out.duration_ms = audio_ms > video_ms ? audio_ms : video_ms;
    }
    std::memcpy(info, &out, sizeof out);
    return true;
}

// What a movie reader has counted in a sample of a range.
struct MovieSample {
    uint32_t start;
    uint32_t count;
    uint32_t audio;         // i
    uint32_t video;         // j
    uint32_t frame_number;  // d: of the latest first chunk
    uint32_t width;
    uint32_t height;
    uint8_t coding;  // of the latest audio sector
};

// Fills the first 40 bytes of `info` from a sample (payload_bytes is not written). Returns false,
// leaving `info` untouched, when no description can be made: no video sector, no first chunk
// (d = 0), a picture without macroblocks, or a rate that rounds to 0.
inline bool movie_info_from_sample(const MovieSample& s, RateRule rule, StreamInfo* info) {
    const uint32_t i = s.audio, j = s.video, d = s.frame_number;
    if (j == 0 || d == 0) return false;
    uint32_t frame_rate = estimate_frame_rate(static_cast<int32_t>(s.width), static_cast<int32_t>(s.height),
                                              static_cast<int32_t>(j / d), static_cast<int32_t>((j + d - 1) / d), rule);
    if (frame_rate == 0) return false;

    StreamInfo out{};
    out.kind = kKindVideo;
    out.start_sector = s.start;
    out.sector_count = s.count;
    out.width = s.width;
    out.height = s.height;
    out.frame_count = d * s.count / (i + j);
    if (i > 0) {
        const XaFormat format = XaFormat::from_coding(s.coding);
        out.has_audio = 1;
        out.bits_per_sample = kBitsPerSample;
        out.channels = format.channels;
        out.sample_rate = format.sample_rate;
        out.kind |= kKindAudio;
        const uint16_t measured = static_cast<uint16_t>(d * 10000u / format.duration_ms(i));
        if (abs_difference(static_cast<int32_t>(frame_rate), measured) > 20) frame_rate = round_rate_to_5(measured);
        if (frame_rate == 0) return false;
    }
    out.frame_rate = static_cast<uint16_t>(frame_rate);
    out.duration_ms = out.frame_count * 10000u / frame_rate;
    std::memcpy(info, &out, kStreamInfoSize220);
    return true;
}

}  // namespace psr
