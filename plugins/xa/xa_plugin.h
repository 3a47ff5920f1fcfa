// The whole Psr interface of one XA music game.
#pragma once

#include "contract/plugin_info.h"
#include "xa_games.h"
#include "xa_reader.h"

namespace plugins::xa {

template <class Game>
struct XaPlugin : XaReader<Game> {
    static void query_plugin(PluginInfo* info) { psr::fill_plugin_info(info, Game::kIdentity); }
    static ScanContext* scan_begin(int32_t count, const TrackEntry* tracks) { return XaScanner<Game>::begin(count, tracks); }
    static int32_t scan_sector(ScanContext* c, TrackEntry track, uint32_t lba, const uint8_t* sector) {
        return XaScanner<Game>::sector(c, track, lba, sector);
    }
    static int32_t scan_result(ScanContext* c, int32_t index, StreamInfo* info) {
        return XaScanner<Game>::result(c, index, info);
    }
    static void scan_end(ScanContext* c) { XaScanner<Game>::end(c); }
};

}  // namespace plugins::xa
