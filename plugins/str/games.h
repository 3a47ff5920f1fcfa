// What each STR movie plug-in reports about itself.
#pragma once

#include "contract/plugin_info.h"
#include "contract/track_table.h"

namespace plugins::str {

using psr::HomeUrl;
using psr::PluginIdentity;
using psr::TrackTableRule;

struct WalciteIdentity {
    static constexpr PluginIdentity kIdentity{"Walcite STR", "Copyright (C) 2026 the Walcite STR plug-in authors", 102,
                                              0, 230, HomeUrl::kLong};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kStep12;
};
struct SelvaneIdentity {
    static constexpr PluginIdentity kIdentity{"Selvane STR", "Copyright (C) 2026 the Selvane STR plug-in authors", 101,
                                              0, 230, HomeUrl::kShort};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kStep12;
};
struct GrivetIdentity {
    static constexpr PluginIdentity kIdentity{"Grivet STR", "Copyright (C) 2026 the Grivet STR plug-in authors", 100,
                                              100, 230, HomeUrl::kLong};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kStep12;
};
struct TamselIdentity {
    static constexpr PluginIdentity kIdentity{"Tamsel Vireland", "Copyright (C) 2026 the Tamsel Vireland plug-in authors",
                                              110, 0, 230, HomeUrl::kShort};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kStep12;
};
struct CorvaneIdentity {
    static constexpr PluginIdentity kIdentity{"Corvane STR", "Copyright (C) 2026 the Corvane STR plug-in authors", 122,
                                              0, 230, HomeUrl::kLong};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kSingleEntry;
};

}  // namespace plugins::str
