// A family whose scan and playback are still to come: it answers PsrQueryPlugin, takes part in a
// scan by its track-table rule, reports no stream and opens nothing.
#pragma once

#include "contract/heap.h"
#include "contract/plugin_info.h"
#include "contract/track_table.h"

namespace plugins {

template <class Game>
struct FamilyStub {
    struct Scan {
        int32_t count;
    };
    static void query_plugin(PluginInfo* info) { psr::fill_plugin_info(info, Game::kIdentity); }
    static ScanContext* scan_begin(int32_t track_count, const TrackEntry* tracks) {
        if (!psr::track_table_has_data_track(Game::kTrackRule, track_count, tracks)) return nullptr;
        return reinterpret_cast<ScanContext*>(psr::heap::create<Scan>());
    }
    static int32_t scan_sector(ScanContext* context, TrackEntry track, uint32_t, const uint8_t* sector) {
        return context && psr::is_data_track(track) && sector ? 1 : 0;
    }
    static int32_t scan_result(ScanContext* context, int32_t, StreamInfo*) { return context ? -1 : 0; }
    static void scan_end(ScanContext* context) { psr::heap::release(context); }
    static int32_t describe(uint32_t, uint32_t, uint32_t, StreamInfo*) { return 0; }
    static StreamHandle* open(uint32_t, const StreamInfo*) { return nullptr; }
    static int32_t read(StreamHandle*, FrameBuffer* frame) {
        if (frame) std::memset(frame, 0, psr::kFrameHeaderSize);
        return 0;
    }
    static int32_t seek(StreamHandle*, uint32_t) { return 0; }
    static int32_t close(StreamHandle*) { return 1; }
    static uint32_t decode_audio(const FrameBuffer*, int16_t*, uint32_t) { return 7168; }
};

}  // namespace plugins
