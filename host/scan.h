// A scan: every plug-in that takes part sees every sector of the data track once, in order.
#pragma once

#include <string>
#include <vector>

#include "../discwell/discwell.h"
#include "plugin_loader.h"

namespace quorvex {

struct FoundStream {
    const Plugin* plugin;
    int32_t index;
    StreamInfo info;
};

struct ScanReport {
    std::vector<FoundStream> streams;
    std::vector<const Plugin*> took_part;
    uint32_t sectors_fed = 0;
};

// The host's track table: 12-byte entries, data track first.
std::vector<TrackEntry> track_table(uint32_t disc);
// The data track the scan reads; false when the disc has none.
bool data_track(uint32_t disc, DwTrack& track);

// Scans `disc` with `plugins`. On a read error returns false with `error` set; no results then.
bool scan_disc(uint32_t disc, const std::vector<const Plugin*>& plugins, ScanReport& report, std::string& error);

}  // namespace quorvex
