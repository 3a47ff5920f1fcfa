// The whole Psr interface of one single-stream STR game.
#pragma once

#include "contract/plugin_info.h"
#include "single_stream_reader.h"
#include "single_stream_scanner.h"

namespace plugins::str {

template <class Game>
struct SingleStreamPlugin : SingleStreamReader<Game> {
    static void query_plugin(PluginInfo* info) { psr::fill_plugin_info(info, Game::kIdentity); }
    static ScanContext* scan_begin(int32_t count, const TrackEntry* tracks) {
        return SingleStreamScanner<Game>::begin(count, tracks);
    }
    static int32_t scan_sector(ScanContext* c, TrackEntry track, uint32_t lba, const uint8_t* sector) {
        return SingleStreamScanner<Game>::sector(c, track, lba, sector);
    }
    static int32_t scan_result(ScanContext* c, int32_t index, StreamInfo* info) {
        return SingleStreamScanner<Game>::result(c, index, info);
    }
    static void scan_end(ScanContext* c) { SingleStreamScanner<Game>::end(c); }
};

}  // namespace plugins::str
