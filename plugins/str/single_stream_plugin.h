// The whole Psr interface of one single-stream STR game.
#pragma once

#include "contract/plugin_assembly.h"
#include "single_stream_reader.h"
#include "single_stream_scanner.h"

namespace plugins::str {

template <class Game>
using SingleStreamPlugin = psr::PluginOf<Game::kIdentity, SingleStreamScanner<Game>, SingleStreamReader<Game>>;

}  // namespace plugins::str
