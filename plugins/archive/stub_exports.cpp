#include "contract/psr_exports.h"
#include "games.h"
#include "plugins/common/family_stub.h"

PSR_DEFINE_ENTRY_POINTS(plugins::FamilyStub<plugins::archive::PSR_GAME>)
PSR_DEFINE_DECODE_ENTRY_POINT(plugins::FamilyStub<plugins::archive::PSR_GAME>)
