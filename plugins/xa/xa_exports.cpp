// One XA music plug-in: built once per game with PSR_GAME naming its rules.
#include "contract/psr_exports.h"
#include "xa_plugin.h"

PSR_DEFINE_ENTRY_POINTS(plugins::xa::XaPlugin<plugins::xa::PSR_GAME>)
