// What the movie readers share: the queue of audio sectors held while a frame is gathered, and the
// copy of chunk data into the host's FrameBuffer, which never writes at or past its capacity.
#pragma once

#include <cstdint>
#include <cstring>

#include "contract/frame_rate.h"
#include "contract/mdec_header_search.h"
#include "contract/plugin_records.h"
#include "contract/raw_sector.h"
#include "contract/sector_library.h"

namespace plugins::str {

inline constexpr int kAudioQueueSlots = 8;

// Audio sectors held locked, filled from slot 0 upward; empty slots are null.
struct AudioQueue {
    uint8_t* slots[kAudioQueueSlots];

    bool empty() const { return slots[0] == nullptr; }
    // Holds a sector; when all slots are taken the sector is given back and lost.
    void hold(SectorReader* reader, uint8_t* sector) {
        for (uint8_t*& slot : slots) {
            if (!slot) {
                slot = sector;
                return;
            }
        }
        CdUnlockReadBuffer(reader, sector);
    }
    // Appends every held sector's audio to the payload in slot order and gives them back.
    void deliver(SectorReader* reader, FrameBuffer* frame) {
        for (uint8_t*& slot : slots) {
            if (!slot) break;
            std::memcpy(frame->payload + frame->payload_size, slot + psr::kUserDataOffset, psr::kXaAudioBytes);
            frame->payload_size += psr::kXaAudioBytes;
            CdUnlockReadBuffer(reader, slot);
            slot = nullptr;
        }
    }
    void release(SectorReader* reader) {
        for (uint8_t*& slot : slots) {
            if (slot) CdUnlockReadBuffer(reader, slot);
            slot = nullptr;
        }
    }
};

// Delivers one audio sector's 2304 bytes alone.
inline void deliver_audio_sector(FrameBuffer* frame, const uint8_t* sector) {
    std::memcpy(frame->payload, sector + psr::kUserDataOffset, psr::kXaAudioBytes);
    frame->payload_size = psr::kXaAudioBytes;
}

// Copies up to `length` bytes to `position` in the payload, cut at the FrameBuffer's capacity.
// Returns the bytes copied.
inline uint32_t copy_into_frame(FrameBuffer* frame, uint32_t& position, const uint8_t* from, uint32_t length) {
    const uint32_t room = kFrameBufferCapacity - position;
    if (length > room) length = room;
    std::memcpy(frame->payload + position, from, length);
    position += length;
    return length;
}

// A frame gathered from STR chunks. The first chunk sets the frame's header and starts its payload
// afresh, also over an unfinished frame, so the payload holds the new frame alone; every chunk then
// adds its data from the MDEC search offset, no more than the frame's byte count and never past the
// FrameBuffer's capacity.
struct FrameGathering {
    uint32_t wanted = 0;    // frame bytes still to copy
    uint32_t position = 0;  // where the next chunk's data goes

    void begin(FrameBuffer* frame, uint32_t number, uint32_t width, uint32_t height, uint32_t frame_bytes) {
        frame->frame_number = number;
        frame->width = width;
        frame->height = height;
        frame->payload_size = 0;
        wanted = frame_bytes;
        position = 0;
    }

    void take_chunk(FrameBuffer* frame, const psr::RawSector& s, bool first_chunk) {
        if (wanted == 0) return;
        const uint32_t search = first_chunk ? psr::mdec_search_index(s) : 0;
        const uint32_t limit = psr::mdec_copy_limit(search);
        const uint32_t copied =
            copy_into_frame(frame, position, s.user() + psr::mdec_copy_offset(search), wanted < limit ? wanted : limit);
        frame->payload_size += copied;
        wanted = position == kFrameBufferCapacity ? 0 : wanted - copied;
    }
};

// The rate of a variable-rate movie's frame, from the chunk count of its last sector.
inline uint16_t chunk_count_frame_rate(const FrameBuffer* frame, int32_t chunk_count,
                                       psr::RateRule rule = psr::RateRule::kCommon) {
    return static_cast<uint16_t>(psr::estimate_frame_rate(static_cast<int32_t>(frame->width),
                                                          static_cast<int32_t>(frame->height), chunk_count - 1,
                                                          chunk_count, rule));
}

inline void clear_frame_header(FrameBuffer* frame) { std::memset(frame, 0, psr::kFrameHeaderSize); }

}  // namespace plugins::str
