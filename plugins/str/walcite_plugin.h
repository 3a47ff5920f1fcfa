// The whole Psr interface of walcite.
#pragma once

#include "contract/plugin_assembly.h"
#include "walcite_reader.h"
#include "walcite_scanner.h"

namespace plugins::str {

using WalcitePlugin = psr::PluginOf<kWalciteIdentity, WalciteScanner, WalciteReader>;

}  // namespace plugins::str
