// What each archive plug-in reports about itself.
#pragma once

#include "contract/plugin_info.h"
#include "contract/track_table.h"

namespace plugins::archive {

using psr::HomeUrl;
using psr::PluginIdentity;
using psr::TrackTableRule;

struct MusicIdentity {
    static constexpr PluginIdentity kIdentity{"Nimbrel BGM", "Copyright (C) 2026 the Nimbrel BGM plug-in authors", 100,
                                              0, 230, HomeUrl::kShort};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kStep10;
};
struct VoiceIdentity {
    static constexpr PluginIdentity kIdentity{"Nimbrel Voice", "Copyright (C) 2026 the Nimbrel Voice plug-in authors",
                                              100, 0, 230, HomeUrl::kShort};
    static constexpr TrackTableRule kTrackRule = TrackTableRule::kStep10;
};

}  // namespace plugins::archive
