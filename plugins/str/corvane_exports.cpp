// corvane: marker-keyed STR movies with countdown headers.
#include "contract/psr_exports.h"
#include "corvane_plugin.h"

PSR_DEFINE_ENTRY_POINTS(plugins::str::CorvanePlugin)
