// What the three XA music scanners share: the ScanContext with its table of stream entries, adding,
// closing and dropping entries, and the audio-only StreamInfo of each stream found.
#pragma once

#include <cstdint>
#include <cstring>

#include "contract/heap.h"
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
};

// Table operations every rule set uses.
struct XaTable {
    // Adds an entry for the sector; when the table cannot grow the sector is ignored.
    static void add(XaScan& scan, const RawSector& s, uint32_t lba) {
        scan.entries.append(XaStreamEntry{lba, 1, 1, s.channel(), 1, lba});
    }
    static void close(XaStreamEntry& e) {
        e.open = 0;
        e.span = e.last_sector - e.start_sector + 1;
    }
    // The first open entry of `channel`, in table order.
    static XaStreamEntry* open_entry(XaScan& scan, uint32_t channel) {
        for (XaStreamEntry& e : scan.entries) {
            if (e.open && e.channel == channel) return &e;
        }
        return nullptr;
    }
    // Drops every entry for which `drop` holds, keeping the order of the rest.
    template <class Predicate>
    static void drop_if(XaScan& scan, Predicate drop) {
        for (int32_t i = 0; i < scan.entries.count;) {
            if (drop(scan.entries[i])) {
                scan.entries.remove(i);  // the entry behind moves into this place
            } else {
                ++i;
            }
        }
    }
    // The end of a run: every open entry closes and those below `minimum` go.
    static void end_run(XaScan& scan, uint32_t minimum) {
        scan.in_run = 0;
        drop_if(scan, [minimum](XaStreamEntry& e) {
            if (!e.open) return false;
            close(e);
            return e.channel_sectors < minimum;
        });
    }
    // The finish: entries still open go, and closed ones below `minimum`.
    static void finish(XaScan& scan, uint32_t minimum) {
        drop_if(scan, [minimum](const XaStreamEntry& e) { return e.open || e.channel_sectors < minimum; });
    }
};

// The scan's entry points around a rule set: Rules::sector() and Rules::finish().
template <class Rules>
struct XaScanner {
    static ScanContext* begin(int32_t track_count, const TrackEntry* tracks) {
        if (!psr::track_table_has_data_track(psr::TrackTableRule::kSingleEntry, track_count, tracks)) return nullptr;
        auto* scan = psr::heap::create<XaScan>();
        if (!scan) return nullptr;
        if (!scan->entries.init()) {
            psr::heap::destroy(scan);
            return nullptr;
        }
        scan->last_marker = 0xFFFFFFFF;
        return reinterpret_cast<ScanContext*>(scan);
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

    static void end(ScanContext* context) {
        auto* scan = reinterpret_cast<XaScan*>(context);
        if (!scan) return;
        scan->entries.release();
        psr::heap::destroy(scan);
    }
};

}  // namespace plugins::xa
