// corvane's playback: the channel of the first sector read, its Form 1 video sectors joined 2016
// bytes a chunk into frames numbered from the countdown, its audio held while a frame is joined;
// positions in proportion to the duration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "contract/plugin_assembly.h"
#include "contract/sector_library.h"
#include "corvane_scanner.h"
#include "movie_frame_gathering.h"

namespace plugins::str {

struct CorvaneHandle {
    SectorReader* reader;
    uint32_t sector_count;
    uint32_t remaining;  // sectors still to be read before the end
    AudioQueue held_audio;
    int32_t frame_open;
    int32_t channel_known;
    uint32_t first_countdown;  // frames_left + 1 of the first chunk 0 read since the open
    uint8_t channel;
    uint32_t duration_ms;
};

class CorvaneReader {
public:
    static constexpr int kReadAttempts = 4;

    // A movie from its first sectors: video only, counted in the first sector's channel.
    static int32_t describe(uint32_t disc, uint32_t start, uint32_t count, StreamInfo* info) {
        if (!info) return 0;
        SectorReader* reader = CdReadOpen(disc, 0, start, count < 300 ? count : 300, psr::kBufferSettingDefault);
        if (!reader) return 0;
        uint8_t channel = 0xFF;
        uint32_t counted = 0, frames = 0, width = 0, height = 0;
        while (uint8_t* bytes = CdReadSector(reader, 0)) {
            const psr::RawSector s(bytes);
            if (channel == 0xFF) channel = s.channel();
            if (s.channel() == channel && s.submode() == corvane::kVideo) {
                ++counted;
                const CountdownHeader h = CountdownHeader::parse(s);
                if (s.file() != 0 && h.chunk_index == 0) {
                    frames = h.frames_left + 1u;
                    width = h.width;
                    height = h.height;
                }
            }
            CdUnlockReadBuffer(reader, bytes);
        }
        CdReadClose(reader);
        if (counted == 0 || frames == 0) return 0;  // without a first chunk nothing can be counted
        StreamInfo out{};
        out.kind = psr::kKindVideo;
        out.start_sector = start;
        out.sector_count = count;
        out.width = width;
        out.height = height;
        out.frame_count = frames;
        out.frame_rate = count / frames >= 6 ? 150 : 300;
        out.duration_ms = frames * 10000u / out.frame_rate;
        std::memcpy(info, &out, psr::kStreamInfoSize220);
        return 1;
    }

    static StreamHandle* open(uint32_t disc, const StreamInfo* info) {
        auto* handle = psr::open_handle<CorvaneHandle>(disc, info, psr::kBufferSettingDefault);
        if (!handle) return nullptr;
        handle->sector_count = handle->remaining = info->sector_count;
        handle->duration_ms = info->duration_ms;
        return reinterpret_cast<StreamHandle*>(handle);
    }

    static int32_t read(StreamHandle* stream, FrameBuffer* frame) {
        auto* handle = reinterpret_cast<CorvaneHandle*>(stream);
        if (!handle || !frame) return 0;
        clear_frame_header(frame);
        if (!handle->held_audio.empty()) {
            handle->held_audio.deliver(handle->reader, frame);
            return 1;
        }
        handle->frame_open = 0;
        uint32_t position = 0;
        while (handle->remaining != 0) {
            uint8_t* bytes = nullptr;
            for (int attempt = 0; !(bytes = CdReadSector(handle->reader, 0));) {
                if (++attempt == kReadAttempts) return 0;
            }
            handle->remaining--;
            const psr::RawSector s(bytes);
            if (!handle->channel_known) {
                handle->channel = s.channel();
                handle->channel_known = 1;
            }
            bool complete = false;
            if (s.channel() == handle->channel && s.submode() == corvane::kAudio) {
                if (!handle->frame_open) {
                    deliver_audio_sector(frame, bytes);
                    CdUnlockReadBuffer(handle->reader, bytes);
                    return 1;
                }
                handle->held_audio.hold(handle->reader, bytes);
                continue;
            }
            if (s.channel() == handle->channel && s.submode() == corvane::kVideo) {
                const CountdownHeader h = CountdownHeader::parse(s);
                if (h.chunk_index == 0) {
                    // A first chunk begins the frame, afresh if one was open: the payload then
                    // holds the new frame alone.
                    handle->frame_open = 1;
                    frame->width = h.width;
                    frame->height = h.height;
                    frame->payload_size = 0;
                    position = 0;
                    if (handle->first_countdown == 0) handle->first_countdown = h.frames_left + 1u;
                }
                if (handle->frame_open) {
                    frame->payload_size += copy_into_frame(frame, position, s.user() + corvane::kChunkDataAt, corvane::kChunkBytes);
                    frame->frame_number = handle->first_countdown - h.frames_left;
                    if (h.chunk_index + 1u == h.chunk_count) {
                        complete = true;
                        handle->frame_open = 0;
                    }
                }
            }
            CdUnlockReadBuffer(handle->reader, bytes);
            if (complete) return 1;
        }
        return 0;
    }

    // In proportion to the duration; the product in 64 bits, and no limit at the range's end.
    static int32_t seek(StreamHandle* stream, uint32_t position_ms) {
        auto* handle = reinterpret_cast<CorvaneHandle*>(stream);
        if (!handle) return 0;
        handle->held_audio.release(handle->reader);
        if (handle->duration_ms == 0) return 0;
        const uint64_t target = uint64_t{position_ms} * handle->sector_count / handle->duration_ms;
        const uint32_t offset = target > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(target);
        if (CdSetReadPointer(handle->reader, offset, 0) == -1) return 0;
        handle->remaining = offset < handle->sector_count ? handle->sector_count - offset : 0;
        return 1;
    }

    static int32_t close(StreamHandle* stream) { return psr::close_handle<CorvaneHandle>(stream); }
};

}  // namespace plugins::str
