// Seeking by the host's clock. A time asked for is a time on the timeline the files are timed by
// (media_clock.h), not on the plug-in's own clock, which for some layouts runs at the rate the
// stream describes rather than the one it plays at (walcite's movies describe 30 fps and play at
// 10). The host finds the unit that time falls in, then the position on the plug-in's clock whose
// seek lands there, or just before it: the units between are dropped.
#pragma once

#include <cstdint>
#include <string>

#include "media_clock.h"
#include "playback.h"

namespace quorvex {

struct SeekPlan {
    size_t unit = 0;          // the first unit written, in the whole stream's delivery order
    uint32_t plugin_ms = 0;   // the seek the plug-in is asked for
    uint32_t skip_units = 0;  // units delivered after it before that unit
};

// The unit that `ms` falls in on `timeline`: the frame shown then (a stream with pictures), or
// the sound playing then.
size_t unit_at(const StreamDelivery& whole, const Timeline& timeline, uint32_t ms);

// The plan for a seek to `ms` on the timeline of `whole`, the survey of the stream from its start.
bool plan_seek(const PlaybackRequest& request, const StreamDelivery& whole, const Timeline& timeline, uint32_t ms,
               SeekPlan& plan, std::string& error);

}  // namespace quorvex
