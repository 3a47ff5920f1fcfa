// What the three XA music scanners share: the ScanContext with its table of stream entries, adding,
// closing and dropping entries, and the audio-only StreamInfo of each stream found.
#pragma once

#include <cstdint>
#include <cstring>

#include "contract/plugin_assembly.h"
#include "contract/plugin_records.h"
#include "contract/raw_sector.h"
#include "contract/stream_list.h"
#include "contract/track_table.h"
#include "contract/xa_timing.h"

namespace plugins::xa {

using psr::RawSector;

inline constexpr uint16_t kAudioClass = 0x0164;   // real-time Form 2 audio, stereo 37800 Hz
inline constexpr uint16_t kMarkerClass = 0x0148;  // real-time data: drumvale's markers, velocet's data
inline constexpr uint16_t kEndOfFileMask = 0xFF7F;

struct XaStreamEntry {
    uint32_t start_sector;
    uint32_t span;             // sectors from start_sector to the stream's last, all channels counted
    uint32_t channel_sectors;  // sectors charged to the stream
    uint8_t channel;
    uint8_t open;
    uint32_t last_sector;  // ostrand and velocet
};

struct XaScan {
    uint32_t in_run;
    psr::StreamList<XaStreamEntry> entries;
    uint32_t last_marker;  // velocet: the first word of the latest data sector
    // For each channel, the first open entry in table order, or -1: found without a walk.
    int32_t first_open[256];
    int32_t run_first;  // the current run's first entry: every entry before it is closed
};

// Table operations every rule set uses. They keep first_open exact as entries are added, closed
// and dropped.
struct XaTable {
    static void forget_open(XaScan& scan) {
        for (int32_t& index : scan.first_open) index = -1;
    }

    // Adds an entry for the sector; when the table cannot grow the sector is ignored.
    static void add(XaScan& scan, const RawSector& s, uint32_t lba) {
        if (!scan.entries.append(XaStreamEntry{lba, 1, 1, s.channel(), 1, lba})) return;
        if (scan.first_open[s.channel()] < 0) scan.first_open[s.channel()] = scan.entries.count - 1;
    }
    // A run begins with an entry for its first sector.
    static void start_run(XaScan& scan, const RawSector& s, uint32_t lba) {
        scan.run_first = scan.entries.count;
        add(scan, s, lba);
        scan.in_run = 1;
    }
    // The first open entry of `channel`, in table order, or -1.
    static int32_t open_entry(const XaScan& scan, uint8_t channel) { return scan.first_open[channel]; }

    // Closes entry `index` with the span it reached.
    static void close(XaScan& scan, int32_t index, uint32_t span) {
        XaStreamEntry& e = scan.entries[index];
        e.open = 0;
        e.span = span;
        if (scan.first_open[e.channel] == index) scan.first_open[e.channel] = next_open(scan, index + 1, e.channel);
    }
    static void close(XaScan& scan, int32_t index) {
        const XaStreamEntry& e = scan.entries[index];
        close(scan, index, e.last_sector - e.start_sector + 1);
    }
    // Drops entry `index`, which is closed and of the current run; the entries behind it move down.
    static void drop(XaScan& scan, int32_t index) {
        scan.entries.remove(index);
        for (int32_t& first : scan.first_open) {
            if (first > index) --first;
        }
    }
    // The end of a run: every open entry closes and those below `minimum` go.
    static void end_run(XaScan& scan, uint32_t minimum) {
        scan.in_run = 0;
        drop_if(scan, scan.run_first, [&scan, minimum](XaStreamEntry& e) {
            if (!e.open) return false;
            scan.first_open[e.channel] = -1;
            e.open = 0;
            e.span = e.last_sector - e.start_sector + 1;
            return e.channel_sectors < minimum;
        });
    }
    // drumvale's end of a run: every open entry goes.
    static void drop_open(XaScan& scan) {
        scan.in_run = 0;
        drop_if(scan, scan.run_first, [&scan](const XaStreamEntry& e) {
            if (e.open) scan.first_open[e.channel] = -1;
            return e.open != 0;
        });
    }
    // The finish: entries still open go, and closed ones below `minimum`.
    static void finish(XaScan& scan, uint32_t minimum) {
        drop_if(scan, 0, [minimum](const XaStreamEntry& e) { return e.open || e.channel_sectors < minimum; });
        forget_open(scan);
    }

private:
    static int32_t next_open(const XaScan& scan, int32_t from, uint8_t channel) {
        for (int32_t i = from; i < scan.entries.count; ++i) {
            if (scan.entries[i].open && scan.entries[i].channel == channel) return i;
        }
        return -1;
    }
    // Drops every entry from `from` on for which `predicate` holds, keeping the order of the rest.
    template <class Predicate>
    static void drop_if(XaScan& scan, int32_t from, Predicate predicate) {
        int32_t kept = from;
        for (int32_t i = from; i < scan.entries.count; ++i) {
            if (!predicate(scan.entries[i])) scan.entries[kept++] = scan.entries[i];
        }
        scan.entries.count = kept;
    }
};

// The scan's entry points around a rule set: Rules::sector() and Rules::finish().
template <class Rules>
struct XaScanner {
    static ScanContext* begin(int32_t track_count, const TrackEntry* tracks) {
        ScanContext* context = psr::create_scan<XaScan>(psr::TrackTableRule::kSingleEntry, track_count, tracks);
        if (auto* scan = reinterpret_cast<XaScan*>(context)) {
            scan->last_marker = 0xFFFFFFFF;
            XaTable::forget_open(*scan);
        }
        return context;
    }

    static int32_t sector(ScanContext* context, TrackEntry track, uint32_t lba, const uint8_t* bytes) {
        auto* scan = reinterpret_cast<XaScan*>(context);
        if (!scan || !psr::is_data_track(track)) return 0;
        if (!bytes) {
            Rules::finish(*scan);
            return 0;
        }
        Rules::sector(*scan, RawSector(bytes), lba);
        return 1;
    }

    // Audio only, in the interface-220 record: the first 40 bytes, payload_bytes untouched.
    static int32_t result(ScanContext* context, int32_t index, StreamInfo* info) {
        auto* scan = reinterpret_cast<XaScan*>(context);
        if (!scan) return 0;
        if (!scan->entries.contains(index)) return -1;
        if (info) {
            const XaStreamEntry& e = scan->entries[index];
            std::memset(info, 0, psr::kStreamInfoSize220);
            info->kind = psr::kKindAudio;
            info->start_sector = e.start_sector;
            info->sector_count = e.span;
            info->has_audio = 1;
            info->channels = 2;
            info->bits_per_sample = psr::kBitsPerSample;
            info->sample_rate = 37800;
            info->duration_ms = psr::XaFormat::from_coding(0x01).duration_ms(e.channel_sectors);
        }
        return scan->entries.count;
    }

    static void end(ScanContext* context) { psr::destroy_scan<XaScan>(context); }
};

}  // namespace plugins::xa
