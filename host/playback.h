// Playing a stream through its plug-in: one pass from the start (or a sought position) to the end,
// each pass through a fresh instance, every unit handed to a handler. Reads the sector library
// could not make are errors, never the end of the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../contract/xa_timing.h"
#include "plugins.h"

namespace quorvex {

struct PlaybackRequest {
    std::string image;  // for messages
    const PluginFile* plugin = nullptr;
    uint32_t disc = 0;
    StreamInfo info{};
    std::optional<uint32_t> seek_ms;  // the plug-in's own clock (see seek.h for the host's)
    uint32_t skip_units = 0;          // units dropped after the seek, before any is handed over
};

using psr::XaFormat;

inline constexpr uint32_t kNoSector = UINT32_MAX;

// One unit as the plug-in delivered it.
struct Unit {
    const FrameBuffer& frame;
    bool video;
    // Archive audio, decoded by the plug-in itself (its decoder keeps a history across blocks).
    std::span<const int16_t> pcm;
    // XA audio: the format of each 2304-byte sector of the payload, as its subheader on the disc says.
    std::span<const XaFormat> sectors;
};

using UnitHandler = std::function<bool(const Unit& unit, std::string& error)>;

struct PlaybackCounts {
    uint32_t frames = 0;
    uint32_t audio_units = 0;
    uint64_t audio_sectors = 0;  // XA sectors delivered
    uint64_t pcm_samples = 0;    // archive audio samples (all channels) decoded
    double plugin_seconds = 0;   // time spent inside the plug-in
    bool interrupted = false;    // stopped by a signal: the run's end says so, once
};

// Plays `request` once through a fresh instance of its plug-in. Before a seek it reads one unit
// and drops it (the interleaved readers take the channel of the first sector they read, and a
// seek must stay on the stream); after it, it drops `skip_units` units. It reads until the plug-in has nothing left to hand over: a
// reader may hold sound met while gathering a frame and deliver it after a first empty answer.
// False with `error` set on a read error, an interruption, or an answer no plug-in may give.
bool play_stream(const PlaybackRequest& request, const UnitHandler& handle, PlaybackCounts& counts, std::string& error);

// The stream as a first pass sees it, before anything is written.
struct SurveyUnit {
    bool video = false;
    uint32_t frame_number = 0;
    uint16_t frame_rate = 0;  // a frame's own rate, for streams whose rate varies
    uint32_t payload_size = 0;
    uint32_t pcm_samples = 0;  // per channel, archive audio
    uint32_t first_sector = 0;  // XA audio: index of its first sector in `sector_formats`
    uint32_t sector_count = 0;  // XA audio sectors in the unit
    uint64_t print = 0;         // a fingerprint of its payload: which unit a seek landed on
    uint32_t lba = kNoSector;   // a frame: the disc sector that completed it, the last one read for it
};
struct StreamDelivery {
    std::vector<SurveyUnit> units;
    std::vector<XaFormat> sector_formats;  // every XA audio sector delivered, in order
    std::vector<uint32_t> sector_lbas;     // where each of them lies on the disc (kNoSector: not found)
    PlaybackCounts counts;
    bool has_audio() const { return counts.audio_sectors > 0 || counts.pcm_samples > 0; }
};

// A first pass through the stream: what it delivers, and the format of every XA sound sector,
// read from the sectors' own subheaders on the disc (a description may lack it, and a coding
// change mid-stream changes a sector's duration).
bool measure_delivery(const PlaybackRequest& request, StreamDelivery& survey, std::string& error);

// A fingerprint of a unit's payload (its bytes alone: readers may number frames afresh).
uint64_t payload_print(const FrameBuffer& frame);

// The same formats for a second pass, unit by unit, in the order the survey met them.
class SectorFormats {
public:
    explicit SectorFormats(const StreamDelivery& survey) : survey_(survey) {}
    std::span<const XaFormat> next(uint32_t sectors);

private:
    const StreamDelivery& survey_;
    size_t at_ = 0;
};

}  // namespace quorvex
