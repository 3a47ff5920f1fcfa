// The archive plug-ins' decoding: the codec's blocks, decoded with a history that lives from load
// to unload. nimbrel_music decodes stereo blocks; nimbrel_voice one channel, each block stopping
// at its clip's end marker.
#pragma once

#include <cstdint>

#include "archive_games.h"
#include "codecs/archive_adpcm.h"
#include "contract/plugin_records.h"

namespace plugins::archive {

template <class Game>
struct ArchiveDecoder {
    // Module-level, never reset: the history runs on across calls, tracks and streams.
    static inline codecs::ArchiveHistory history[2] = {};

    // One 1024-byte block; returns the bytes written.
    static uint32_t decode_block(const uint8_t* block, int16_t* out) {
        return 2 * codecs::decode_archive_block(block, Game::kChannels == 2, history, out);
    }

    // A FrameBuffer's blocks into PCM. With no buffer, or one below 7168 bytes, it writes nothing
    // and answers the room one sector needs. Only whole blocks that fit the buffer are decoded,
    // and never more than the FrameBuffer holds.
    static uint32_t decode_audio(const FrameBuffer* frame, int16_t* pcm, uint32_t capacity) {
        if (!pcm || capacity < kPcmBytesPerSector) return kPcmBytesPerSector;
        if (!frame) return 0;
        const uint32_t payload = frame->payload_size < kFrameBufferCapacity ? frame->payload_size : kFrameBufferCapacity;
        const auto blocks = static_cast<uint16_t>(payload / kBlockBytes);
        uint32_t written = 0;
        for (uint16_t i = 0; i < blocks && written + kPcmBytesPerBlock <= capacity; ++i) {
            written += decode_block(frame->payload + kBlockBytes * i, pcm + written / 2);
        }
        return written;
    }
};

}  // namespace plugins::archive
