// One archive plug-in: built once per game with PSR_GAME naming its settings.
#include "archive_plugin.h"
#include "contract/psr_exports.h"

PSR_DEFINE_ENTRY_POINTS(plugins::archive::ArchivePlugin<plugins::archive::PSR_GAME>)
PSR_DEFINE_DECODE_ENTRY_POINT(plugins::archive::ArchivePlugin<plugins::archive::PSR_GAME>)
