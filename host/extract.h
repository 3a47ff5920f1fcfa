// Playing a stream to its end through its plug-in and writing what it delivers to files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "plugin_loader.h"

namespace quorvex {

struct ExtractRequest {
    std::string image;
    const Plugin* plugin;
    uint32_t disc;
    StreamInfo info;
    std::optional<uint32_t> seek_ms;
    std::string output_directory;
};

struct ExtractSummary {
    uint32_t frames = 0;
    uint32_t audio_units = 0;
    uint64_t audio_bytes = 0;  // as written: XA payload bytes, or PCM bytes after decoding
};

// Video frames become one file each (frame_NNNNNN.mdec, by frame number); XA audio payloads are
// appended to audio.xa; archive blocks are decoded by the plug-in into audio.wav. extract.json lists
// every unit. Nothing reaches the folder unless the whole stream was read.
bool extract_stream(const ExtractRequest& request, ExtractSummary& summary, std::string& error);

}  // namespace quorvex
