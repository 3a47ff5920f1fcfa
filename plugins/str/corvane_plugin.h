// The whole Psr interface of corvane.
#pragma once

#include "contract/plugin_assembly.h"
#include "corvane_reader.h"
#include "corvane_scanner.h"

namespace plugins::str {

using CorvanePlugin = psr::PluginOf<kCorvaneIdentity, CorvaneScanner, CorvaneReader>;

}  // namespace plugins::str
