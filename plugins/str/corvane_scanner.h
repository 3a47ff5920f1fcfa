// corvane's scan: a single-track disc recognised by the volume identifier at sector 16, whose
// movies carry a countdown chunk header (frames still to come, 0 in the last frame) in Form 1 and
// Form 2 real-time sectors, with XA audio beside them; several movies may run at once, one per
// channel.
#pragma once

#include <cstdint>
#include <cstring>

#include "contract/plugin_assembly.h"
#include "contract/raw_sector.h"
#include "contract/stream_list.h"
#include "contract/track_table.h"
#include "contract/xa_timing.h"

namespace plugins::str {

// The chunk header of corvane's video sectors; MDEC data follows from user-data offset 32.
struct CountdownHeader {
    uint8_t marker;  // Form 2 video: 1 in a stream, 0xFE at an end
    uint8_t chunk_index;
    uint16_t chunk_count;
    uint16_t frames_left;  // frames after this one
    uint16_t width;
    uint16_t height;

    static CountdownHeader parse(const psr::RawSector& s) {
        return {s.user()[0], s.user()[1], s.user16<2>(), s.user16<6>(), s.user16<8>(), s.user16<10>()};
    }
};

inline constexpr psr::PluginIdentity kCorvaneIdentity{
    "Corvane STR", "Copyright (C) 2026 the Corvane STR plug-in authors", 122, 0, 230, psr::HomeUrl::kLong};

namespace corvane {
inline constexpr uint8_t kVideo = 0x48;       // real-time data, Form 1
inline constexpr uint8_t kVideoForm2 = 0x68;  // real-time data, Form 2
inline constexpr uint8_t kAudio = 0x64;
inline constexpr uint8_t kNone = 0x00;
inline constexpr uint16_t kChunkDataAt = 32;  // user-data offset of a chunk's MDEC data
inline constexpr uint16_t kChunkBytes = 2016;
inline constexpr char kVolumeMarker[] = "ACE3ES";
}  // namespace corvane

struct MovieEntry {
    uint16_t kind;
    uint8_t coding_info;  // 0xFF until audio sets it
    uint8_t channel;
    uint32_t first_sector;
    uint32_t length;
    uint32_t frames;
    uint32_t width;
    uint32_t height;
    uint32_t audio_sectors;
    uint32_t last_sector;
    int32_t open;
    uint32_t payload;
};

struct CorvaneScan {
    int32_t active;
    psr::StreamList<MovieEntry> entries;
    int32_t open_streams;
    int32_t active_first;  // no entry before this one is open
};

class CorvaneScanner {
public:
    // Module-level: set when sector 16 of the scan carried the marker; one scan at a time.
    static inline int32_t volume_marker_seen = 0;

    static ScanContext* begin(int32_t track_count, const TrackEntry* tracks) {
        ScanContext* scan = psr::create_scan<CorvaneScan>(psr::TrackTableRule::kSingleEntry, track_count, tracks);
        if (scan) volume_marker_seen = 0;
        return scan;
    }

    static int32_t sector(ScanContext* context, TrackEntry track, uint32_t lba, const uint8_t* bytes) {
        auto* scan = reinterpret_cast<CorvaneScan*>(context);
        if (!scan || !psr::is_data_track(track)) return 0;
        // The sector number comes first; an end of the scan this early has found nothing.
        if (lba <= 16 && !bytes) return 0;
        if (lba < 16) return 1;
        if (lba == 16) {
            if (std::strncmp(reinterpret_cast<const char*>(bytes + 64), corvane::kVolumeMarker, 6) != 0) return 0;
            volume_marker_seen = 1;
            return 1;
        }
        if (!volume_marker_seen) return 0;
        if (!bytes) {
            end_pass(*scan);
            return 0;
        }
        const psr::RawSector s(bytes);
        const uint8_t submode = s.submode();
        const bool eligible = s.file() == 1 && (submode == corvane::kVideo || submode == corvane::kVideoForm2 ||
                                                submode == corvane::kAudio || submode == corvane::kNone);
        if (!scan->active) {
            const bool end_marker = submode == corvane::kVideoForm2 && s.user()[0] == 0xFE;
            const bool stray_audio = submode == corvane::kAudio && s.channel() == 0xFF;
            if (eligible && !end_marker && !stray_audio) create(*scan, s, lba, s.coding());
            return 1;
        }
        if (!eligible) {
            close_pass(*scan);
            return 1;
        }
        if ((submode == corvane::kVideoForm2 && s.user()[0] != 1) || (submode == corvane::kAudio && s.channel() == 0xFF)) {
            return 1;
        }
        int32_t found = -1;
        while (scan->active_first < scan->entries.count && !scan->entries[scan->active_first].open) ++scan->active_first;
        for (int32_t i = scan->active_first; i < scan->entries.count; ++i) {
            if (scan->entries[i].open && scan->entries[i].channel == s.channel()) {
                found = i;
                break;
            }
        }
        if (found >= 0) {
            MovieEntry& e = scan->entries[found];
            if (submode == corvane::kAudio && s.coding() != e.coding_info && e.frames > 1) {
                // The audio changes its coding: the movie is over.
                e.open = 0;
                e.length = e.last_sector - e.first_sector + 1;
                scan->open_streams--;
                found = -1;
            }
        }
        if (found < 0) {
            if (submode == corvane::kNone || !create(*scan, s, lba, 0xFF)) return 1;
            found = scan->entries.count - 1;
        }
        take(*scan, scan->entries[found], s, lba);
        return 1;
    }

    static int32_t result(ScanContext* context, int32_t index, StreamInfo* info) {
        auto* scan = reinterpret_cast<CorvaneScan*>(context);
        if (!scan) return 0;
        if (!scan->entries.contains(index)) return -1;
        if (!info) return scan->entries.count;
        const MovieEntry& e = scan->entries[index];
        StreamInfo out{};
        out.kind = e.kind;
        out.start_sector = e.first_sector;
        out.sector_count = e.length;
        out.frame_count = e.frames;
        out.width = e.width;
        out.height = e.height;
        out.payload_bytes = e.payload;
        out.frame_rate = e.frames != 0 && e.length / e.frames >= 6 ? 150 : 300;
        const psr::XaFormat format = psr::XaFormat::from_coding(e.coding_info);
        if (e.kind & psr::kKindAudio) {
            out.has_audio = 1;
            out.bits_per_sample = psr::kBitsPerSample;
            out.channels = format.channels;
            out.sample_rate = format.sample_rate;
        }
        const uint32_t audio_ms = format.duration_ms(e.audio_sectors);
        const uint32_t video_ms = e.frames * 10000u / out.frame_rate;
        out.duration_ms = audio_ms > video_ms ? audio_ms : video_ms;
        std::memcpy(info, &out, sizeof out);
        return scan->entries.count;
    }

    static void end(ScanContext* context) { psr::destroy_scan<CorvaneScan>(context); }

private:
    // A new entry for the sector; false when the list could not grow. Its last sector starts as its
    // first, so that its length is 1 until it takes another sector.
    static bool create(CorvaneScan& scan, const psr::RawSector& s, uint32_t lba, uint8_t coding_info) {
        const bool audio = s.submode() == corvane::kAudio;
        MovieEntry e{};
        e.kind = audio ? psr::kKindAudio : psr::kKindVideo;
        e.payload = audio ? psr::kXaAudioBytes : corvane::kChunkBytes;
        e.coding_info = coding_info;
        e.channel = s.channel();
        e.first_sector = e.last_sector = lba;
        e.length = 1;
        e.frames = 1;
        e.width = s.user16<8>();
        e.height = s.user16<10>();
        e.open = 1;
        if (!scan.active) scan.active_first = scan.entries.count;
        if (!scan.entries.append(e)) return false;
        scan.open_streams++;
        scan.active = 1;
        return true;
    }

    static void take(CorvaneScan& scan, MovieEntry& e, const psr::RawSector& s, uint32_t lba) {
        const uint8_t submode = s.submode();
        if (submode == corvane::kAudio) {
            e.kind |= psr::kKindAudio;
            e.last_sector = lba;
            e.audio_sectors++;
            if (e.coding_info == 0xFF) e.coding_info = s.coding();
            return;
        }
        if (submode == corvane::kNone) return;
        const CountdownHeader h = CountdownHeader::parse(s);
        if (h.chunk_index == 0 && e.frames == 1) {
            e.frames = h.frames_left + 1u;
            if (submode == corvane::kVideo) {
                e.width = h.width;
                e.height = h.height;
                e.kind |= psr::kKindVideo;
            }
        }
        if (h.frames_left == 0 && h.chunk_count == h.chunk_index + 1u) {
            // The last chunk of the last frame.
            e.open = 0;
            e.length = lba - e.first_sector + 1;
            if (--scan.open_streams == 0) scan.active = 0;
        }
        e.last_sector = lba;
        e.payload += corvane::kChunkBytes;
    }

    static bool unfinished_video(const MovieEntry& e) {
        return (e.kind & psr::kKindVideo) && (e.frames == 1 || e.width == 0 || e.length == 0);
    }

    // A sector outside the movies ends every open entry; video entries without frames go.
    static void close_pass(CorvaneScan& scan) {
        for (int32_t i = 0; i < scan.entries.count;) {
            MovieEntry& e = scan.entries[i];
            if (e.open) {
                e.open = 0;
                e.length = e.last_sector - e.first_sector + 1;
                scan.open_streams--;
            }
            if (unfinished_video(e)) {
                scan.entries.remove(i);
            } else {
                ++i;
            }
        }
        if (scan.open_streams == 0) scan.active = 0;
    }

    // The end of the scan closes what is still open; entries closed earlier stay as they are.
    static void end_pass(CorvaneScan& scan) {
        for (int32_t i = 0; i < scan.entries.count;) {
            MovieEntry& e = scan.entries[i];
            if (!e.open) {
                ++i;
                continue;
            }
            if (e.last_sector < e.first_sector) {
                scan.entries.remove(i);
                continue;
            }
            if (e.length == 1) e.length = e.last_sector - e.first_sector + 1;
            e.open = 0;
            if (unfinished_video(e)) {
                scan.entries.remove(i);
            } else {
                ++i;
            }
        }
        scan.open_streams = 0;
        scan.active = 0;
    }
};

}  // namespace plugins::str
