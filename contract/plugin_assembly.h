// A plug-in's Psr interface assembled from its family's parts: the identity PsrQueryPlugin
// copies, a scanner (begin, sector, result, end) and a reader (describe, open, read, seek,
// close). Also what every family's scanner and reader do alike: create and free a ScanContext
// with its stream list, and open and close a StreamHandle over its SectorReader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap.h"
#include "plugin_info.h"
#include "plugin_records.h"
#include "sector_library.h"
#include "track_table.h"

namespace psr {

template <const PluginIdentity& Identity, class Scanner, class Reader>
struct PluginOf : Reader {
    static void query_plugin(PluginInfo* info) { fill_plugin_info(info, Identity); }
    static ScanContext* scan_begin(int32_t count, const TrackEntry* tracks) { return Scanner::begin(count, tracks); }
    static int32_t scan_sector(ScanContext* context, TrackEntry track, uint32_t lba, const uint8_t* sector) {
        return Scanner::sector(context, track, lba, sector);
    }
    static int32_t scan_result(ScanContext* context, int32_t index, StreamInfo* info) {
        return Scanner::result(context, index, info);
    }
    static void scan_end(ScanContext* context) { Scanner::end(context); }
};

// A new scan of a disc whose track table `rule` accepts: the Scan record with its `entries` list
// ready, or null (and nothing allocated) when the disc is declined or memory is short.
template <class Scan>
ScanContext* create_scan(TrackTableRule rule, int32_t track_count, const TrackEntry* tracks) {
    if (!track_table_has_data_track(rule, track_count, tracks)) return nullptr;
    auto* scan = heap::create<Scan>();
    if (!scan) return nullptr;
    if (!scan->entries.init()) {
        heap::destroy(scan);
        return nullptr;
    }
    return reinterpret_cast<ScanContext*>(scan);
}

template <class Scan>
void destroy_scan(ScanContext* context) {
    auto* scan = reinterpret_cast<Scan*>(context);
    if (!scan) return;
    scan->entries.release();
    heap::destroy(scan);
}

// A reader over the stream's range and a fresh handle whose first field holds it; null, with
// nothing left open, when either cannot be had.
template <class Handle>
Handle* open_handle(uint32_t disc, const StreamInfo* info, int32_t buffer_setting) {
    static_assert(offsetof(Handle, reader) == 0, "a StreamHandle's first field is its SectorReader");
    if (!info) return nullptr;
    SectorReader* reader = CdReadOpen(disc, 0, info->start_sector, info->sector_count, buffer_setting);
    if (!reader) return nullptr;
    auto* handle = heap::create<Handle>();
    if (!handle) {
        CdReadClose(reader);
        return nullptr;
    }
    handle->reader = reader;
    return handle;
}

// Closing the reader releases every sector the handle still holds.
template <class Handle>
int32_t close_handle(StreamHandle* stream) {
    auto* handle = reinterpret_cast<Handle*>(stream);
    if (!handle) return 1;
    if (handle->reader) CdReadClose(handle->reader);
    heap::destroy(handle);
    return 1;
}

}  // namespace psr
