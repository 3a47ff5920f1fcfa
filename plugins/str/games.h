// What the STR movie plug-ins still to come report about themselves.
#pragma once

#include "contract/plugin_info.h"
#include "contract/track_table.h"

namespace plugins::str {

struct CorvaneIdentity {
    static constexpr psr::PluginIdentity kIdentity{"Corvane STR", "Copyright (C) 2026 the Corvane STR plug-in authors",
                                                   122, 0, 230, psr::HomeUrl::kLong};
    static constexpr psr::TrackTableRule kTrackRule = psr::TrackTableRule::kSingleEntry;
};

}  // namespace plugins::str
