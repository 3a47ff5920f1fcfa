// walcite: interleaved STR movies on several channels.
#include "contract/psr_exports.h"
#include "walcite_plugin.h"

PSR_DEFINE_ENTRY_POINTS(plugins::str::WalcitePlugin)
