// One copy of each stream: streams that several plug-ins report on the same channel over
// overlapping sectors are one group, shown and ripped once, by the split of one plug-in. The split
// people expect wins: of the splits that hold all the group's sound, one that separates the songs
// at their gaps (no stream with sectors of its channel without sound between its sound) over one
// that joins them; then the one whose streams hold most of the group's own sectors (those on its
// channel); then the first by name.
#pragma once

#include <string>
#include <vector>

#include "scan.h"
#include "stream_names.h"

namespace quorvex {

struct StreamGroup {
    int channel = -1;
    std::vector<size_t> members;  // every stream of the group, as indexes into the scan's streams
    const PluginFile* chosen = nullptr;
    std::vector<size_t> chosen_streams;         // the chosen plug-in's members, in its order
    std::vector<const PluginFile*> also_found;  // the other plug-ins with members, by name
    uint64_t own_sectors = 0;                   // the group's sectors on its channel
};

// The groups of a scan, ordered by their first sector.
std::vector<StreamGroup> group_streams(const ScanReport& report, const std::vector<StreamPlace>& places);

}  // namespace quorvex
