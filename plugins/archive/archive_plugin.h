// The whole Psr interface of one archive plug-in, PsrDecodeAudio included.
#pragma once

#include "archive_adpcm.h"
#include "archive_catalogue.h"
#include "archive_reader.h"
#include "contract/plugin_info.h"

namespace plugins::archive {

template <class Game>
struct ArchivePlugin : ArchiveReader<Game>, ArchiveDecoder<Game> {
    static void query_plugin(PluginInfo* info) { psr::fill_plugin_info(info, Game::kIdentity); }
    static ScanContext* scan_begin(int32_t count, const TrackEntry* tracks) {
        return ArchiveCatalogue<Game>::begin(count, tracks);
    }
    static int32_t scan_sector(ScanContext* c, TrackEntry track, uint32_t lba, const uint8_t* sector) {
        return ArchiveCatalogue<Game>::sector(c, track, lba, sector);
    }
    static int32_t scan_result(ScanContext* c, int32_t index, StreamInfo* info) {
        return ArchiveCatalogue<Game>::result(c, index, info);
    }
    static void scan_end(ScanContext* c) { ArchiveCatalogue<Game>::end(c); }
};

}  // namespace plugins::archive
