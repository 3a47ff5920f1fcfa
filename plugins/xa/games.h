// What each XA music plug-in reports about itself.
#pragma once

#include "contract/plugin_info.h"
#include "contract/track_table.h"

namespace plugins::xa {

using psr::HomeUrl;
using psr::PluginIdentity;
using psr::TrackTableRule;

struct OstrandIdentity {
    static constexpr PluginIdentity kIdentity{"Ostrand", "Copyright (C) 2026 the Ostrand plug-in authors", 100, 100,
                                              220, HomeUrl::kNone};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kSingleEntry;
};
struct DrumvaleIdentity {
    static constexpr PluginIdentity kIdentity{"Drumvale", "Copyright (C) 2026 the Drumvale plug-in authors", 101, 100,
                                              220, HomeUrl::kNone};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kSingleEntry;
};
struct VelocetIdentity {
    static constexpr PluginIdentity kIdentity{"V9", "Copyright (C) 2026 the V9 plug-in authors", 100, 100, 220,
                                              HomeUrl::kNone};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kSingleEntry;
};

}  // namespace plugins::xa
