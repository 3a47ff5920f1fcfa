// The playback of an archive track: 2048-byte blocks, one a sector, the first read ahead at open;
// positions by samples at the same reckoning as the durations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archive_catalogue.h"
#include "contract/plugin_assembly.h"
#include "contract/sector_library.h"

namespace plugins::archive {

struct ArchiveStreamHandle {
    SectorReader* reader;
    uint32_t sector_count;
    uint32_t sample_rate;
    uint16_t channels;
    uint8_t* pending;  // a sector read ahead and not yet delivered
};

template <class Game>
class ArchiveReader {
public:
    // Nothing is read: a range is described as a track of this plug-in's kind.
    static int32_t describe(uint32_t /*disc*/, uint32_t start, uint32_t count, StreamInfo* info) {
        if (!info) return 0;
        ArchiveCatalogue<Game>::describe_track(start, count, info);
        return 1;
    }

    static StreamHandle* open(uint32_t disc, const StreamInfo* info) {
        auto* handle = psr::open_handle<ArchiveStreamHandle>(disc, info, psr::kBufferSettingDefault);
        if (!handle) return nullptr;
        handle->sector_count = info->sector_count;
        handle->sample_rate = info->sample_rate;
        handle->channels = info->channels;
        handle->pending = CdReadSector(handle->reader, 0);
        if (!handle->pending) {
            psr::close_handle<ArchiveStreamHandle>(reinterpret_cast<StreamHandle*>(handle));
            return nullptr;
        }
        return reinterpret_cast<StreamHandle*>(handle);
    }

    static int32_t read(StreamHandle* stream, FrameBuffer* frame) {
        auto* handle = reinterpret_cast<ArchiveStreamHandle*>(stream);
        if (!handle || !frame) return 0;
        std::memset(frame, 0, psr::kFrameHeaderSize);
        uint8_t* sector = handle->pending;
        handle->pending = nullptr;
        if (!sector && !(sector = CdReadSector(handle->reader, 0))) return 0;
        frame->payload_size = kSectorBlockBytes;
        std::memcpy(frame->payload, sector + psr::kUserDataOffset, kSectorBlockBytes);
        CdUnlockReadBuffer(handle->reader, sector);
        return 1;
    }

    // Samples by then over the samples of a sector per channel: 81.45 ms a sector in stereo.
    static int32_t seek(StreamHandle* stream, uint32_t position_ms) {
        auto* handle = reinterpret_cast<ArchiveStreamHandle*>(stream);
        if (!handle) return 0;
        if (handle->pending) {
            CdUnlockReadBuffer(handle->reader, handle->pending);
            handle->pending = nullptr;
        }
        const uint32_t per_sector = handle->channels ? 3584u / handle->channels : 0;
        if (per_sector == 0) return 0;
        uint32_t index = position_ms / 10 * (handle->sample_rate / 100) / per_sector;
        if (index > handle->sector_count) index = handle->sector_count;
        return CdSetReadPointer(handle->reader, index, 0) != -1 ? 1 : 0;
    }

    static int32_t close(StreamHandle* stream) { return psr::close_handle<ArchiveStreamHandle>(stream); }
};

}  // namespace plugins::archive
