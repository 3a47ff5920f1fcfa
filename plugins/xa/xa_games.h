// ostrand, drumvale and velocet: what makes a run, what opens, extends and closes a stream, and
// which streams count. Each game's rules are whole here; the frame around them is shared.
#pragma once

#include <cstdint>

#include "contract/plugin_info.h"
#include "xa_scan_frame.h"

namespace plugins::xa {

// ostrand: a stream is a run of non-blank audio on one channel, ended by a blank sector on that
// channel (counted when the stream has 3 sectors) or by the run's end; 8 sectors are needed.
struct Ostrand {
    static constexpr psr::PluginIdentity kIdentity{"Ostrand", "Copyright (C) 2026 the Ostrand plug-in authors", 100,
                                                   100, 220, psr::HomeUrl::kNone};
    static constexpr bool kSeekByDuration = true;

    static constexpr uint32_t kMinimumAtEnd = 8;
    static constexpr uint32_t kMinimumAtBlank = 3;

    // An audio sector whose first 32 bytes of user data are all zero.
    static bool blank(const RawSector& s) {
        for (uint32_t i = 0; i < 32; ++i) {
            if (s.user()[i] != 0) return false;
        }
        return true;
    }

    static void sector(XaScan& scan, const RawSector& s, uint32_t lba) {
        if ((s.class_word() & kEndOfFileMask) != kAudioClass) {
            XaTable::end_run(scan, kMinimumAtEnd);
            return;
        }
        const bool is_blank = blank(s);
        if (!scan.in_run) {
            if (!is_blank) XaTable::start_run(scan, s, lba);
            return;
        }
        const int32_t index = XaTable::open_entry(scan, s.channel());
        if (index >= 0 && !is_blank) {
            scan.entries[index].channel_sectors += 1;
            scan.entries[index].last_sector = lba;
        } else if (index >= 0) {
            XaTable::close(scan, index);
            if (scan.entries[index].channel_sectors < kMinimumAtBlank) {
                XaTable::drop(scan, index);
            } else {
                scan.entries[index].channel_sectors += 1;  // the blank sector counts
            }
        } else if (!is_blank) {
            XaTable::add(scan, s, lba);
        }
    }
    static void finish(XaScan& scan) { XaTable::finish(scan, kMinimumAtEnd); }
};

// drumvale: the run's sectors follow a rotation of channels 0 to max_channel; each sector is
// charged to the stream in its position, and a marker sector in a position ends that stream.
struct Drumvale {
    static constexpr psr::PluginIdentity kIdentity{"Drumvale", "Copyright (C) 2026 the Drumvale plug-in authors", 101,
                                                   100, 220, psr::HomeUrl::kNone};
    static constexpr bool kSeekByDuration = false;

    // Module-level: they outlive every scan while the plug-in is loaded.
    static inline int32_t slot = -1;         // the position of the next sector in the rotation
    static inline int32_t max_channel = -1;  // the highest channel seen inside a run; never lowered

    static void sector(XaScan& scan, const RawSector& s, uint32_t lba) {
        const uint16_t word = s.class_word();  // the end-of-file bit must be clear
        const bool audio = word == kAudioClass && s.channel() <= 3;
        const bool marker = word == kMarkerClass;
        if (!audio && !marker) {
            XaTable::drop_open(scan);
            return;
        }
        if (!scan.in_run) {
            if (!audio) return;
            XaTable::start_run(scan, s, lba);
            slot = 0;
            return;
        }
        if (s.channel() > max_channel) max_channel = s.channel();
        slot = (slot + 1) % (max_channel + 1);
        const int32_t index = slot <= 255 ? XaTable::open_entry(scan, static_cast<uint8_t>(slot)) : -1;
        if (index >= 0) {
            scan.entries[index].channel_sectors += 1;
            if (marker) XaTable::close(scan, index, lba - scan.entries[index].start_sector + 1);  // marker included
        } else if (audio) {
            XaTable::add(scan, s, lba);
        }
    }
    static void finish(XaScan& scan) { XaTable::finish(scan, 0); }
};

// velocet: a stream is a run of audio and data sectors on one channel, ended by an other sector;
// a data sector whose first word repeats the previous data sector's is an other sector.
struct Velocet {
    static constexpr psr::PluginIdentity kIdentity{"V9", "Copyright (C) 2026 the V9 plug-in authors", 100, 100, 220,
                                                   psr::HomeUrl::kNone};
    static constexpr bool kSeekByDuration = false;

    static constexpr uint32_t kMinimum = 3;

    static void sector(XaScan& scan, const RawSector& s, uint32_t lba) {
        const uint16_t word = s.class_word() & kEndOfFileMask;
        const bool audio = word == kAudioClass;
        bool data = false;
        if (word == kMarkerClass) {
            const uint32_t first = s.user32<0>();
            data = first != scan.last_marker;
            if (data) scan.last_marker = first;
        }
        if (!audio && !data) {
            XaTable::end_run(scan, kMinimum);
            return;
        }
        if (!scan.in_run) {
            if (!audio) return;
            XaTable::start_run(scan, s, lba);
            scan.last_marker = 0xFFFFFFFF;
            return;
        }
        const int32_t index = XaTable::open_entry(scan, s.channel());
        if (index >= 0) {
            scan.entries[index].channel_sectors += 1;
            scan.entries[index].last_sector = lba;
        } else if (audio) {
            XaTable::add(scan, s, lba);
        }
    }
    static void finish(XaScan& scan) { XaTable::finish(scan, kMinimum); }
};

}  // namespace plugins::xa
