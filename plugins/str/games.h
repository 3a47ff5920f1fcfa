// What the STR movie plug-ins still to come report about themselves.
#pragma once

#include "contract/plugin_info.h"
#include "contract/track_table.h"

namespace plugins::str {

struct WalciteIdentity {
    static constexpr psr::PluginIdentity kIdentity{"Walcite STR", "Copyright (C) 2026 the Walcite STR plug-in authors",
                                                   102, 0, 230, psr::HomeUrl::kLong};
    static constexpr psr::TrackTableRule kTrackRule = psr::TrackTableRule::kStep12;
};
struct CorvaneIdentity {
    static constexpr psr::PluginIdentity kIdentity{"Corvane STR", "Copyright (C) 2026 the Corvane STR plug-in authors",
                                                   122, 0, 230, psr::HomeUrl::kLong};
    static constexpr psr::TrackTableRule kTrackRule = psr::TrackTableRule::kSingleEntry;
};

}  // namespace plugins::str
