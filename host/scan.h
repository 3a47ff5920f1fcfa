// A scan: every plug-in that takes part sees every sector of the data track once, in order, each
// through a fresh instance of its own. Each stream it reports is then judged against the disc.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "../discwell/discwell.h"
#include "plugins.h"
#include "stream_state.h"

namespace quorvex {

struct FoundStream {
    const PluginFile* plugin = nullptr;
    int32_t index = 0;
    StreamInfo info{};
    StreamState state = StreamState::kWhole;
    std::string note;  // what is wrong with a cut or unreadable stream
};

// A sector's channel: the subheader's channel number of a Mode 2 sector of sound, pictures or
// real-time data; kNoChannel for any other sector.
inline constexpr uint8_t kNoChannel = 0xFF;
uint8_t sector_channel(const uint8_t* sector);
bool sector_has_sound(const uint8_t* sector);

struct ScanReport {
    std::vector<FoundStream> streams;
    std::vector<const PluginFile*> took_part;
    uint32_t sectors_fed = 0;
    bool interrupted = false;  // the scan stopped at a signal: the run's end says so, once
    // The channel of every sector fed, from the data track's first sector on, and whether it
    // carries sound: an XA audio sector that is not blank (its first 32 bytes of sound all zero,
    // as the music layouts end a song).
    uint32_t first_lba = 0;
    std::vector<uint8_t> channels;
    std::vector<bool> sound;

    // The channel of `lba`, kNoChannel beyond what was fed.
    uint8_t channel_at(uint32_t lba) const {
        return lba >= first_lba && lba - first_lba < channels.size() ? channels[lba - first_lba] : kNoChannel;
    }
    bool sound_at(uint32_t lba) const { return lba >= first_lba && lba - first_lba < sound.size() && sound[lba - first_lba]; }
};

// The host's track table: 12-byte entries, data track first.
std::vector<TrackEntry> track_table(uint32_t disc);
// The data track the scan reads; false when the disc has none.
bool data_track(uint32_t disc, DwTrack& track);

// Judges a reported stream by where it lies on the disc.
void judge_stream(uint32_t disc, FoundStream& stream);

using Warn = std::function<void(const std::string&)>;
// Sectors scanned so far, of how many.
using ScanProgress = std::function<void(uint32_t done, uint32_t total)>;

// Scans `disc` with `plugins`. False with `error` set on a read error or an interruption (no
// results then); a plug-in that cannot be loaded is reported through `warn` and left out.
bool scan_disc(uint32_t disc, const std::vector<const PluginFile*>& plugins, ScanReport& report, std::string& error,
               const Warn& warn = {}, const ScanProgress& progress = {});

}  // namespace quorvex
