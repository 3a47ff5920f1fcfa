// walcite's playback: one stream of an interleaved run, kept to one channel, its chunks joined
// into whole MDEC frames and its audio held back while a frame is gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "contract/plugin_assembly.h"
#include "contract/mdec_header_search.h"
#include "contract/movie_stream_info.h"
#include "contract/sector_library.h"
#include "contract/str_sector_header.h"
#include "movie_frame_gathering.h"
#include "walcite_scanner.h"

namespace plugins::str {

struct WalciteHandle {
    SectorReader* reader;
    StreamInfo info;
    int32_t channel_known;
    uint8_t channel;
    AudioQueue queue;
};

class WalciteReader {
public:
    // Module-level: the channel of descriptions, fixed by the first sector described after load.
    static inline uint16_t info_channel = 0xFFFF;

    static int32_t describe(uint32_t disc, uint32_t start, uint32_t count, StreamInfo* info) {
        if (!info) return 0;
        SectorReader* reader = CdReadOpen(disc, 0, start, count < 300 ? count : 300, psr::kBufferSettingDefault);
        if (!reader) return 0;
        psr::MovieSample sample{start, count, 0, 0, 0, 0, 0, 0};
        while (uint8_t* bytes = CdReadSector(reader, 0)) {
            const psr::RawSector s(bytes);
            const uint8_t channel = walcite_channel(s, true);
            if (info_channel == 0xFFFF) info_channel = channel;
            if (channel == info_channel) {
                const psr::StrSectorHeader h = psr::StrSectorHeader::parse(s);
                if (s.submode() == 0x64) {
                    sample.audio++;
                    sample.coding = s.coding();
                } else if (h.magic != 0 && h.frame_number > 30) {
                    CdUnlockReadBuffer(reader, bytes);
                    break;
                } else {
                    sample.video++;
                    if (h.magic != 0 && h.chunk_index == 0) {
                        sample.frame_number = h.frame_number;
                        sample.width = round16(h.width);
                        sample.height = round16(h.height);
                    }
                }
            }
            CdUnlockReadBuffer(reader, bytes);
        }
        CdReadClose(reader);
        return psr::movie_info_from_sample(sample, psr::RateRule::kCommon, info) ? 1 : 0;
    }

    static StreamHandle* open(uint32_t disc, const StreamInfo* info) {
        auto* handle = psr::open_handle<WalciteHandle>(disc, info, psr::kBufferSettingMovie);
        if (!handle) return nullptr;
        std::memcpy(&handle->info, info, sizeof(StreamInfo));
        handle->channel = 0xFF;
        return reinterpret_cast<StreamHandle*>(handle);
    }

    static int32_t read(StreamHandle* stream, FrameBuffer* frame) {
        auto* handle = reinterpret_cast<WalciteHandle*>(stream);
        if (!handle || !frame) return 0;
        clear_frame_header(frame);
        if (!handle->queue.empty()) {
            handle->queue.deliver(handle->reader, frame);
            return 1;
        }
        FrameGathering gathering;
        while (uint8_t* bytes = CdReadSector(handle->reader, 0)) {
            const psr::RawSector s(bytes);
            if (!handle->channel_known) {
                handle->channel = walcite_channel(s, true);
                handle->channel_known = 1;
            }
            if (walcite_channel(s, false) != handle->channel) {
                CdUnlockReadBuffer(handle->reader, bytes);
                continue;
            }
            if (psr::is_xa_audio(s.submode())) {
                if (frame->frame_number == 0) {  // no frame begun: the audio goes alone
                    deliver_audio_sector(frame, bytes);
                    CdUnlockReadBuffer(handle->reader, bytes);
                    return 1;
                }
                handle->queue.hold(handle->reader, bytes);
                continue;
            }
            const psr::StrSectorHeader h = psr::StrSectorHeader::parse(s);
            bool complete = false;
            if (walcite_chunk(h)) {
                if (h.chunk_index == 0) {
                    gathering.begin(frame, h.frame_number, round16(h.width), round16(h.height), h.frame_bytes);
                }
                gathering.take_chunk(frame, s, h.chunk_index == 0);
                if (frame->frame_number != 0 && static_cast<int32_t>(h.chunk_index) == h.chunk_count - 1) {
                    complete = true;
                    if (handle->info.kind & psr::kKindVariableRate) {
                        frame->frame_rate = chunk_count_frame_rate(frame, h.chunk_count);
                    }
                }
            }
            CdUnlockReadBuffer(handle->reader, bytes);
            if (complete) return 1;
        }
        return 0;
    }

    // The frame reached by then, mapped in proportion onto the sectors.
    static int32_t seek(StreamHandle* stream, uint32_t position_ms) {
        auto* handle = reinterpret_cast<WalciteHandle*>(stream);
        if (!handle) return 0;
        handle->queue.release(handle->reader);
        const StreamInfo& info = handle->info;
        if (info.frame_count == 0) return 0;
        uint32_t target = info.sector_count * (position_ms * info.frame_rate / 10000u) / info.frame_count;
        if (target >= info.sector_count) target = info.sector_count;
        return CdSetReadPointer(handle->reader, target, 0) != -1 ? 1 : 0;
    }

    static int32_t close(StreamHandle* stream) { return psr::close_handle<WalciteHandle>(stream); }
};

}  // namespace plugins::str
