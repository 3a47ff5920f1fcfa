// The whole Psr interface of one XA music game.
#pragma once

#include "contract/plugin_assembly.h"
#include "xa_games.h"
#include "xa_reader.h"

namespace plugins::xa {

template <class Game>
using XaPlugin = psr::PluginOf<Game::kIdentity, XaScanner<Game>, XaReader<Game>>;

}  // namespace plugins::xa
