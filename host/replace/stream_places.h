// Where each unit of a stream lies on the disc: the sectors and bytes of every frame as its
// plug-in gathered them, and the sector of every sound sector it delivered. Found by playing the
// stream once and watching the sectors its plug-in reads, then checked: a frame's spans must hold
// exactly the bytes the plug-in delivered, and each sound sector its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../playback.h"
#include "movie_chunks.h"

namespace quorvex {

struct FramePlace {
    uint32_t frame_number = 0;  // as the plug-in numbered it
    uint16_t width = 0, height = 0;
    uint16_t version = 0;  // the MDEC bitstream version of the frame on the disc
    uint32_t delivered = 0;  // the bytes the plug-in delivers of it
    std::vector<ChunkSpan> spans;
    uint32_t room() const {
        uint32_t n = 0;
        for (const ChunkSpan& s : spans) n += s.length;
        return n;
    }
};

struct SoundPlace {
    uint32_t lba = 0;
    uint8_t coding = 0;  // the subheader's coding byte
};

struct StreamPlaces {
    const MovieLayout* layout = nullptr;  // none for music
    std::vector<FramePlace> frames;       // in delivery order
    std::vector<SoundPlace> sound;        // XA sound sectors, in delivery order
    std::vector<uint32_t> blocks;         // archive sound: the sector of each block, in delivery order
};

// Plays `request` once and places its units. False with `error` naming the unit that could not
// be placed.
bool find_stream_places(const PlaybackRequest& request, StreamPlaces& places, std::string& error);

}  // namespace quorvex
