// Playing a stream to its end through its plug-in and handing what it delivers to sinks: a folder
// of raw units, a media file, a folder of pictures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "plugin_loader.h"

namespace quorvex {

struct ExtractRequest {
    std::string image;
    const Plugin* plugin;
    uint32_t disc;
    StreamInfo info;
    std::optional<uint32_t> seek_ms;
};

struct ExtractSummary {
    uint32_t frames = 0;
    uint32_t audio_units = 0;
    uint64_t audio_bytes = 0;     // XA payload bytes, or PCM bytes after decoding
    uint32_t skipped_frames = 0;  // frames a media sink could not decode
    double plugin_seconds = 0;    // time spent in the plug-in's PsrRead and PsrDecodeAudio
};

// One unit of a stream as a sink sees it. Archive blocks come with the PCM the plug-in decoded
// them to, once, since its decoder keeps a history from block to block.
struct Unit {
    const FrameBuffer& frame;
    bool video;
    std::span<const int16_t> pcm;
};

class UnitSink {
public:
    virtual ~UnitSink() = default;
    // False with `error` set ends the extraction; `summary` collects what the sink reports.
    virtual bool take(const Unit& unit, ExtractSummary& summary, std::string& error) = 0;
    // The stream is over: make the output whole and put it in place.
    virtual bool finish(ExtractSummary& summary, std::string& error) = 0;
};

// Video frames as frame_NNNNNN.mdec, by frame number; XA audio payloads appended to audio.xa;
// decoded archive audio to audio.wav; extract.json listing every unit. Nothing reaches the
// folder unless the whole stream was read.
std::unique_ptr<UnitSink> make_raw_folder_sink(const ExtractRequest& request, const std::string& directory,
                                               std::string& error);

using Progress = std::function<void(const ExtractSummary&)>;

// Opens the stream, seeks if asked, and hands every unit to every sink until the stream ends.
bool play_stream(const ExtractRequest& request, const std::vector<UnitSink*>& sinks, ExtractSummary& summary,
                 std::string& error, const Progress& progress = {});

}  // namespace quorvex
