// The whole Psr interface of corvane.
#pragma once

#include "contract/plugin_assembly.h"
#include "corvane_reader.h"
#include "corvane_scanner.h"

namespace plugins::str {

inline constexpr psr::PluginIdentity kCorvaneIdentity{
    "Corvane STR", "Copyright (C) 2026 the Corvane STR plug-in authors", 122, 0, 230, psr::HomeUrl::kLong};

using CorvanePlugin = psr::PluginOf<kCorvaneIdentity, CorvaneScanner, CorvaneReader>;

}  // namespace plugins::str
