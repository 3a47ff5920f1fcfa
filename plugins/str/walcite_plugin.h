// The whole Psr interface of walcite.
#pragma once

#include "contract/plugin_info.h"
#include "walcite_reader.h"
#include "walcite_scanner.h"

namespace plugins::str {

struct WalcitePlugin : WalciteReader {
    static constexpr psr::PluginIdentity kIdentity{"Walcite STR", "Copyright (C) 2026 the Walcite STR plug-in authors",
                                                   102, 0, 230, psr::HomeUrl::kLong};

    static void query_plugin(PluginInfo* info) { psr::fill_plugin_info(info, kIdentity); }
    static ScanContext* scan_begin(int32_t count, const TrackEntry* tracks) { return WalciteScanner::begin(count, tracks); }
    static int32_t scan_sector(ScanContext* c, TrackEntry track, uint32_t lba, const uint8_t* sector) {
        return WalciteScanner::sector(c, track, lba, sector);
    }
    static int32_t scan_result(ScanContext* c, int32_t index, StreamInfo* info) {
        return WalciteScanner::result(c, index, info);
    }
    static void scan_end(ScanContext* c) { WalciteScanner::end(c); }
};

}  // namespace plugins::str
