// The playback of selvane, grivet and tamsel: a movie described from a sample of its sectors,
// then delivered as whole MDEC frames and the XA audio met between them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "contract/plugin_assembly.h"
#include "contract/movie_stream_info.h"
#include "contract/sector_library.h"
#include "movie_frame_gathering.h"
#include "single_stream_games.h"

namespace plugins::str {

struct SingleStreamHandle {
    SectorReader* reader;
    StreamInfo info;
    uint32_t audio_spacing;  // sectors from the first to the second audio sector of the range
    AudioQueue queue;
};

inline constexpr uint32_t kSampleSectors = 300;

template <class Game>
class SingleStreamReader {
public:
    static int32_t describe(uint32_t disc, uint32_t start, uint32_t count, StreamInfo* info) {
        if (!info) return 0;
        SectorReader* reader =
            CdReadOpen(disc, 0, start, count < kSampleSectors ? count : kSampleSectors, psr::kBufferSettingDefault);
        if (!reader) return 0;
        psr::MovieSample sample{start, count, 0, 0, 0, 0, 0, 0};
        while (uint8_t* bytes = CdReadSector(reader, 0)) {
            const RawSector s(bytes);
            const StrSectorHeader h = StrSectorHeader::parse(s);
            const bool audio = Game::kDescribeAudioExact ? s.submode() == 0x64 : psr::is_xa_audio(s.submode());
            if (audio) {
                sample.audio++;
                sample.coding = s.coding();
            } else if (Game::kDescribeStopsAfterFrame30 && !first_word_zero(s) && h.frame_number > 30) {
                CdUnlockReadBuffer(reader, bytes);
                break;
            } else if (!Game::kDescribeCountsVideoChunksOnly || Game::video(s, h)) {
                sample.video++;
                if (!first_word_zero(s) && h.chunk_index == 0) {
                    sample.frame_number = h.frame_number;
                    sample.width = stored_width<Game>(h);
                    sample.height = stored_height<Game>(h);
                }
            }
            CdUnlockReadBuffer(reader, bytes);
        }
        CdReadClose(reader);
        return psr::movie_info_from_sample(sample, Game::kRateRule, info) ? 1 : 0;
    }

    static StreamHandle* open(uint32_t disc, const StreamInfo* info) {
        auto* handle = psr::open_handle<SingleStreamHandle>(disc, info, Game::kBufferSetting);
        if (!handle) return nullptr;
        std::memcpy(&handle->info, info, sizeof(StreamInfo));
        if (info->kind & psr::kKindAudio) handle->audio_spacing = measure_audio_spacing(handle->reader);
        return reinterpret_cast<StreamHandle*>(handle);
    }

    static int32_t read(StreamHandle* stream, FrameBuffer* frame) {
        auto* handle = reinterpret_cast<SingleStreamHandle*>(stream);
        if (!handle || !frame) return 0;
        clear_frame_header(frame);
        if (!handle->queue.empty()) {
            handle->queue.deliver(handle->reader, frame);
            return 1;
        }
        FrameGathering gathering;
        while (uint8_t* bytes = CdReadSector(handle->reader, 0)) {
            const RawSector s(bytes);
            if (psr::is_xa_audio(s.submode())) {
                if (Game::kSilenceEndOfFileAudio && (s.submode() & 0x80)) {
                    std::memset(bytes + psr::kUserDataOffset, 0, psr::kXaAudioBytes);
                }
                if (frame->frame_number == 0) {
                    deliver_audio_sector(frame, bytes);
                    CdUnlockReadBuffer(handle->reader, bytes);
                    return 1;
                }
                handle->queue.hold(handle->reader, bytes);
                continue;
            }
            const StrSectorHeader h = StrSectorHeader::parse(s);
            bool complete = false;
            if (Game::read_video(s, h)) {
                if (h.chunk_index == 0) {
                    gathering.begin(frame, h.frame_number & Game::kFrameNumberMask, stored_width<Game>(h),
                                    stored_height<Game>(h), h.frame_bytes);
                }
                gathering.take_chunk(frame, s, h.chunk_index == 0);
                if (static_cast<int32_t>(h.chunk_index) == h.chunk_count - 1 && frame->frame_number != 0) {
                    complete = true;
                    if (handle->info.kind & psr::kKindVariableRate) {
                        frame->frame_rate = chunk_count_frame_rate(frame, h.chunk_count, Game::kRateRule);
                    }
                }
            }
            CdUnlockReadBuffer(handle->reader, bytes);
            if (complete) return 1;
        }
        return 0;
    }

    static int32_t seek(StreamHandle* stream, uint32_t position_ms) {
        auto* handle = reinterpret_cast<SingleStreamHandle*>(stream);
        if (!handle) return 0;
        handle->queue.release(handle->reader);
        const StreamInfo& info = handle->info;
        uint32_t offset;
        if (!(info.kind & psr::kKindAudio)) {
            // Frames reached by that time, mapped in proportion onto the sectors.
            if (info.frame_count == 0) return 0;
            offset = info.frame_rate * position_ms / 10000u * info.sector_count / info.frame_count;
        } else {
            // Audio sectors played by that time, times their spacing.
            if (info.channels == 0 || info.channels > 40320) return 0;
            const uint32_t spaced = handle->audio_spacing * position_ms;
            const double sectors = static_cast<double>(spaced) * static_cast<double>(info.sample_rate / 100) /
                                   static_cast<double>(40320u / info.channels);
            offset = sectors >= info.sector_count ? info.sector_count : static_cast<uint32_t>(sectors);
        }
        if (offset > info.sector_count) offset = info.sector_count;
        return CdSetReadPointer(handle->reader, offset, 0) != -1 ? 1 : 0;
    }

    static int32_t close(StreamHandle* stream) { return psr::close_handle<SingleStreamHandle>(stream); }

private:
    // The spacing of audio sectors at the start of the range: read up to the second audio sector,
    // then rewind. Sectors count from 1, so with one audio sector the spacing is its number.
    static uint32_t measure_audio_spacing(SectorReader* reader) {
        uint32_t number = 0, first = 0, second = 0;
        while (second == 0) {
            uint8_t* bytes = CdReadSector(reader, 0);
            if (!bytes) break;
            ++number;
            if (psr::is_xa_audio(RawSector(bytes).submode())) (first == 0 ? first : second) = number;
            CdUnlockReadBuffer(reader, bytes);
        }
        CdSetReadPointer(reader, 0, 0);
        return second ? second - first : first;
    }
};

}  // namespace plugins::str
