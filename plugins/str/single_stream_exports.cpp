// One single-stream STR plug-in: built once per game with PSR_GAME naming its settings.
#include "contract/psr_exports.h"
#include "single_stream_plugin.h"

PSR_DEFINE_ENTRY_POINTS(plugins::str::SingleStreamPlugin<plugins::str::PSR_GAME>)
