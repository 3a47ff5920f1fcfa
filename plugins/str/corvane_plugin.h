// The whole Psr interface of corvane.
#pragma once

#include "contract/plugin_info.h"
#include "corvane_reader.h"
#include "corvane_scanner.h"

namespace plugins::str {

struct CorvanePlugin : CorvaneReader {
    static constexpr psr::PluginIdentity kIdentity{"Corvane STR", "Copyright (C) 2026 the Corvane STR plug-in authors",
                                                   122, 0, 230, psr::HomeUrl::kLong};

    static void query_plugin(PluginInfo* info) { psr::fill_plugin_info(info, kIdentity); }
    static ScanContext* scan_begin(int32_t count, const TrackEntry* tracks) { return CorvaneScanner::begin(count, tracks); }
    static int32_t scan_sector(ScanContext* c, TrackEntry track, uint32_t lba, const uint8_t* sector) {
        return CorvaneScanner::sector(c, track, lba, sector);
    }
    static int32_t scan_result(ScanContext* c, int32_t index, StreamInfo* info) {
        return CorvaneScanner::result(c, index, info);
    }
    static void scan_end(ScanContext* c) { CorvaneScanner::end(c); }
};

}  // namespace plugins::str
