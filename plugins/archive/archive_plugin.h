// The whole Psr interface of one archive plug-in, PsrDecodeAudio included.
#pragma once

#include "archive_adpcm.h"
#include "archive_catalogue.h"
#include "archive_reader.h"
#include "contract/plugin_assembly.h"

namespace plugins::archive {

template <class Game>
struct ArchivePlugin : psr::PluginOf<Game::kIdentity, ArchiveCatalogue<Game>, ArchiveReader<Game>>,
                       ArchiveDecoder<Game> {};

}  // namespace plugins::archive
