// The whole Psr interface of walcite.
#pragma once

#include "contract/plugin_assembly.h"
#include "walcite_reader.h"
#include "walcite_scanner.h"

namespace plugins::str {

inline constexpr psr::PluginIdentity kWalciteIdentity{
    "Walcite STR", "Copyright (C) 2026 the Walcite STR plug-in authors", 102, 0, 230, psr::HomeUrl::kLong};

using WalcitePlugin = psr::PluginOf<kWalciteIdentity, WalciteScanner, WalciteReader>;

}  // namespace plugins::str
