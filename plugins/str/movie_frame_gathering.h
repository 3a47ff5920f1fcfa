// What the movie readers share: the queue of audio sectors held while a frame is gathered, and the
// copy of chunk data into the host's FrameBuffer, which never writes at or past its capacity.
#pragma once

#include <cstdint>
#include <cstring>

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

inline void clear_frame_header(FrameBuffer* frame) { std::memset(frame, 0, psr::kFrameHeaderSize); }

}  // namespace plugins::str
