// The playback of the XA music plug-ins: a range described by the interleave of its first sector's
// channel, then read as the 2304-byte payloads of one channel's audio sectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "contract/plugin_assembly.h"
#include "contract/plugin_records.h"
#include "contract/raw_sector.h"
#include "contract/sector_library.h"
#include "contract/xa_timing.h"
#include "xa_scan_frame.h"

namespace plugins::xa {

struct XaStreamHandle {
    SectorReader* reader;
    uint32_t start_sector;
    uint32_t sector_count;  // the range, and the most sectors one PsrRead examines
    uint32_t sample_rate;
    uint16_t channels;
    uint8_t channel;      // the channel delivered, fixed by the first audio sector read
    uint16_t interleave;  // disc sectors per audio sector, assumed by the seek by samples
    uint32_t channel_known;
    uint32_t duration_ms;  // ostrand: the base of its seek
};

inline constexpr uint32_t kInterleaveSearchSectors = 256;
inline constexpr int kReadAttempts = 4;

template <class Game>
class XaReader {
public:
    static int32_t describe(uint32_t disc, uint32_t start, uint32_t count, StreamInfo* info) {
        if (!info) return 0;
        SectorReader* reader = CdReadOpen(disc, 0, start, count < kInterleaveSearchSectors ? count : kInterleaveSearchSectors,
                                          psr::kBufferSettingDefault);
        if (!reader) return 0;
        uint8_t* first = CdReadSector(reader, 0);
        if (!first) {
            CdReadClose(reader);
            return 0;
        }
        // Whatever the first sector is serves as the model: the next sector of its channel and
        // exactly its class word gives the interleave.
        const RawSector model(first);
        const uint8_t channel = model.channel();
        const uint16_t word = model.class_word();
        const uint8_t coding = model.coding();
        CdUnlockReadBuffer(reader, first);
        uint32_t interleave = 1;
        if (count > 1) {
            for (;;) {
                uint8_t* next = CdReadSector(reader, 0);
                if (!next) {
                    CdReadClose(reader);
                    return 0;
                }
                const RawSector s(next);
                if (s.channel() == channel && s.class_word() == word) break;  // left to CdReadClose
                CdUnlockReadBuffer(reader, next);
                ++interleave;
            }
        }
        CdReadClose(reader);

        const psr::XaFormat format = psr::XaFormat::from_coding(coding);
        std::memset(info, 0, psr::kStreamInfoSize220);
        info->kind = psr::kKindAudio;
        info->start_sector = start;
        info->sector_count = count;
        info->has_audio = 1;
        info->bits_per_sample = psr::kBitsPerSample;
        info->channels = format.channels;
        info->sample_rate = format.sample_rate;
        info->duration_ms = format.duration_ms((count + interleave - 1) / interleave);
        return 1;
    }

    static StreamHandle* open(uint32_t disc, const StreamInfo* info) {
        auto* handle = psr::open_handle<XaStreamHandle>(disc, info, psr::kBufferSettingDefault);
        if (!handle) return nullptr;
        handle->start_sector = info->start_sector;
        handle->sector_count = info->sector_count;
        handle->sample_rate = info->sample_rate;
        handle->channels = info->channels;
        handle->interleave = 4;
        if constexpr (Game::kSeekByDuration) handle->duration_ms = info->duration_ms;
        return reinterpret_cast<StreamHandle*>(handle);
    }

    // The next audio sector of the stream's channel; a failed read is tried again, three times.
    static int32_t read(StreamHandle* stream, FrameBuffer* frame) {
        auto* handle = reinterpret_cast<XaStreamHandle*>(stream);
        if (!handle || !frame) return 0;
        std::memset(frame, 0, psr::kFrameHeaderSize);
        for (uint32_t examined = 0; examined < handle->sector_count; ++examined) {
            uint8_t* bytes = nullptr;
            for (int failures = 0; !(bytes = CdReadSector(handle->reader, 0));) {
                if (++failures == kReadAttempts) return 0;
            }
            const RawSector s(bytes);
            if (s.class_word() == kAudioClass) {
                if (!handle->channel_known) {
                    handle->channel = s.channel();
                    handle->channel_known = 1;
                }
                if (s.channel() == handle->channel) {
                    std::memcpy(frame->payload, s.audio(), psr::kXaAudioBytes);
                    frame->payload_size = psr::kXaAudioBytes;
                    CdUnlockReadBuffer(handle->reader, bytes);
                    return 1;
                }
            }
            CdUnlockReadBuffer(handle->reader, bytes);
        }
        return 0;
    }

    static int32_t seek(StreamHandle* stream, uint32_t position_ms) {
        auto* handle = reinterpret_cast<XaStreamHandle*>(stream);
        if (!handle) return 0;
        uint32_t offset;
        if constexpr (Game::kSeekByDuration) {
            // In proportion to the duration, the product in 64 bits and no upper limit: the sector
            // library refuses an offset past the range.
            if (handle->duration_ms == 0) return 0;
            const uint64_t target = uint64_t{position_ms} * handle->sector_count / handle->duration_ms;
            offset = target > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(target);
        } else {
            // Samples played by then, over the samples of one audio sector per channel, times the
            // sectors of the disc per audio sector.
            const uint32_t per_sector = handle->channels ? 4032u / handle->channels : 0;
            if (per_sector == 0) return 0;
            offset = position_ms / 10 * (handle->sample_rate / 100) / per_sector * handle->interleave;
            if (offset > handle->sector_count) offset = handle->sector_count;
        }
        return CdSetReadPointer(handle->reader, offset, 0) != -1 ? 1 : 0;
    }

    static int32_t close(StreamHandle* stream) { return psr::close_handle<XaStreamHandle>(stream); }
};

}  // namespace plugins::xa
