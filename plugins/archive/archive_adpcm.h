// The archive ADPCM decoder: 16-byte groups of 28 four-bit samples with a shift and one of five
// prediction filters, predicted in double precision from a history that lives from load to
// unload. nimbrel_music decodes stereo halves, with the right channel 20 lower and wrapping in 16
// bits; nimbrel_voice decodes one channel and stops a block at the end marker 7.
#pragma once

#include <cstdint>

#include "archive_games.h"
#include "codecs/archive_adpcm.h"
#include "contract/plugin_records.h"

namespace plugins::archive {

inline constexpr uint32_t kGroupBytes = 16;
inline constexpr uint32_t kGroupSamples = 28;
inline constexpr uint8_t kEndMarker = 7;

struct AdpcmHistory {
    double s1;  // the last clamped value, before rounding
    double s2;  // the one before it
};

// One group of one channel into `out`, 28 samples rounded half up (towards zero below -0.5).
inline void decode_group(const uint8_t* group, AdpcmHistory& h, int16_t* out) {
    const int shift = group[0] & 0x0F;
    const int filter = (group[0] >> 4) >= 4 ? 4 : group[0] >> 4;
    const double f0 = codecs::kArchiveFilters[filter][0], f1 = codecs::kArchiveFilters[filter][1];
    for (uint32_t i = 0; i < kGroupSamples; ++i) {
        const uint8_t byte = group[2 + i / 2];
        const auto nibble = static_cast<int8_t>(static_cast<uint8_t>((i % 2 ? byte >> 4 : byte) << 4)) >> 4;
        const int32_t x = (nibble * 4096) >> shift;
        double v = h.s1 * f0 + h.s2 * f1 + x;
        v = v < -32768.0 ? -32768.0 : v > 32767.0 ? 32767.0 : v;
        h.s2 = h.s1;
        h.s1 = v;
        out[i] = static_cast<int16_t>(static_cast<int32_t>(v + 0.5));
    }
}

template <class Game>
struct ArchiveDecoder {
    // Module-level, never reset: the history runs on across calls, tracks and streams.
    static inline AdpcmHistory history[2] = {};
    static inline int16_t scratch[2][kGroupSamples] = {};

    // One 1024-byte block; returns the bytes written.
    static uint32_t decode_block(const uint8_t* block, int16_t* out) {
        if constexpr (Game::kChannels == 2) {
            for (uint32_t g = 0; g < 32; ++g) {
                decode_group(block + kGroupBytes * g, history[0], scratch[0]);
                decode_group(block + 512 + kGroupBytes * g, history[1], scratch[1]);
                for (uint32_t i = 0; i < kGroupSamples; ++i) {
                    *out++ = scratch[0][i];
                    *out++ = static_cast<int16_t>(static_cast<uint16_t>(scratch[1][i] - 20));
                }
            }
            return kPcmBytesPerBlock;
        } else {
            for (uint32_t g = 0; g < 64; ++g) {
                const uint8_t* group = block + kGroupBytes * g;
                if (group[1] == kEndMarker) return g * kGroupSamples * 2;
                decode_group(group, history[0], out);
                out += kGroupSamples;
            }
            return kPcmBytesPerBlock;
        }
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
