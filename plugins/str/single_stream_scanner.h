// The scan of selvane, grivet and tamsel: one state machine that follows one movie at a time,
// chunk by chunk and audio sector by audio sector, with each game's tests from its settings.
#pragma once

#include <cstdint>

#include "contract/plugin_assembly.h"
#include "contract/movie_stream_info.h"
#include "contract/stream_list.h"
#include "movie_audio_count.h"
#include "single_stream_games.h"

namespace plugins::str {

struct SingleStreamEntry {
    uint32_t first_sector;
    uint32_t last_video;
    uint32_t first_audio;
    uint32_t last_audio;
    uint32_t audio_subheader;  // file, channel, submode, coding of the first audio sector
    uint32_t audio_spacing;
    uint32_t audio_sectors;
    uint32_t frames;
    uint32_t width;
    uint32_t height;
    uint32_t synced_audio;
    uint32_t synced_frames;
    uint32_t payload;
    uint16_t chunk_type;  // grivet: the type word of the first chunk
    uint16_t min_spacing;
    uint16_t max_spacing;
    int32_t marker_seen;  // selvane: a "Play" sector came while the movie was open
};

struct SingleStreamScan {
    int32_t active;
    uint32_t frame_start;     // LBA of the open movie's latest first chunk
    uint32_t audio_in_frame;  // audio sectors the open movie took since then
    psr::StreamList<SingleStreamEntry> entries;
};

template <class Game>
class SingleStreamScanner {
public:
    static ScanContext* begin(int32_t track_count, const TrackEntry* tracks) {
        return psr::create_scan<SingleStreamScan>(psr::TrackTableRule::kStep12, track_count, tracks);
    }

    static int32_t sector(ScanContext* context, TrackEntry track, uint32_t lba, const uint8_t* bytes) {
        auto* scan = reinterpret_cast<SingleStreamScan*>(context);
        if (!scan || !psr::is_data_track(track)) return 0;
        if (!bytes) {
            // The end of the scan keeps a movie still open unless its second frame never came.
            if (scan->active) {
                scan->active = 0;
                if (scan->entries.back().frames == 1) scan->entries.pop_back();
            }
            return 0;
        }

        const RawSector s(bytes);
        const StrSectorHeader h = StrSectorHeader::parse(s);
        psr::SectorClass cls = psr::SectorClass::kOther;
        bool starts = false;
        if (Game::audio(s)) {
            cls = psr::SectorClass::kAudio;
        } else if (Game::video(s, h)) {
            cls = psr::SectorClass::kVideo;
            if (h.chunk_index == 0 && h.frame_number == 1) {
                starts = Game::start(s, h);
                if (!starts) cls = psr::SectorClass::kOther;
            }
        }
        if (!scan->active && !starts) cls = psr::SectorClass::kOther;
        SingleStreamEntry* open = scan->active ? &scan->entries.back() : nullptr;
        if constexpr (Game::kAudioSubheaderFixed) {
            if (cls == psr::SectorClass::kAudio && open && open->audio_sectors != 0 &&
                s.subheader() != open->audio_subheader) {
                cls = psr::SectorClass::kOther;
            }
        }
        if constexpr (Game::kPlayMarkers) {
            if (cls == psr::SectorClass::kOther && is_play_marker(s)) {
                if (open) open->marker_seen = 1;
                return 1;
            }
        }
        if (cls != psr::SectorClass::kAudio && Game::ignored(cls == psr::SectorClass::kVideo, s, h)) return 1;

        if (open) {
            const uint32_t last = open->last_video > open->last_audio ? open->last_video : open->last_audio;
            const bool long_gap = lba - last > 32;
            bool close = starts || cls == psr::SectorClass::kOther;
            if constexpr (Game::kGapRule == GapRule::kEverySector) {
                close = close || long_gap;
            } else if (cls == psr::SectorClass::kOther && !long_gap) {
                return 1;
            }
            if constexpr (Game::kTypeWordFixed) {
                if (!close && cls == psr::SectorClass::kVideo && h.type != open->chunk_type) {
                    scan->active = 0;
                    scan->entries.pop_back();
                    return 1;
                }
            }
            if (close) {
                close_open(*scan);
            } else {
                take(*scan, *open, s, h, cls, lba);
                if (Game::kCloseOnEndOfRecord && s.submode() == 0x89) close_open(*scan);
            }
        }
        if (!scan->active && starts) open_movie(*scan, h, lba);
        return 1;
    }

    static int32_t result(ScanContext* context, int32_t index, StreamInfo* info) {
        auto* scan = reinterpret_cast<SingleStreamScan*>(context);
        if (!scan) return 0;
        if (!scan->entries.contains(index)) return -1;
        if (!info) return scan->entries.count;
        const SingleStreamEntry& e = scan->entries[index];
        const psr::MovieScanCounters counters{e.first_sector, e.last_video,  e.last_audio,
                                              e.frames,       e.width,       e.height,
                                              e.payload,      e.min_spacing, e.max_spacing,
                                              e.audio_sectors, static_cast<uint8_t>(e.audio_subheader >> 24),
                                              e.synced_audio, e.synced_frames};
        if (!psr::movie_info_from_scan(counters, Game::kRateRule, info)) return -1;
        return scan->entries.count;
    }

    static void end(ScanContext* context) { psr::destroy_scan<SingleStreamScan>(context); }

private:
    // "Play": the user data of selvane's marker sectors begins with these four letters.
    static bool is_play_marker(const RawSector& s) { return s.user16<0>() == 0x6C50 && s.user16<2>() == 0x7961; }

    static void take(SingleStreamScan& scan, SingleStreamEntry& e, const RawSector& s, const StrSectorHeader& h,
                     psr::SectorClass cls, uint32_t lba) {
        if (cls == psr::SectorClass::kVideo) {
            e.last_video = lba;
            if (h.chunk_index == 0) {
                e.frames = h.frame_number & Game::kFrameNumberMask;
                e.width = e.width > stored_width<Game>(h) ? e.width : stored_width<Game>(h);
                e.height = e.height > stored_height<Game>(h) ? e.height : stored_height<Game>(h);
                const auto spf = static_cast<uint16_t>(lba - scan.frame_start - scan.audio_in_frame);
                if (spf < e.min_spacing) e.min_spacing = spf;
                if (spf > e.max_spacing) e.max_spacing = spf;
                e.payload += h.frame_bytes;
                scan.frame_start = lba;
                scan.audio_in_frame = 0;
            }
            note_audio_in_step(e, lba);
            return;
        }
        count_audio_sector(e, lba, s.subheader());
        scan.audio_in_frame += 1;
    }

    // A movie is withdrawn at its close when its second frame never came, and in selvane also when
    // no "Play" sector came while it was open.
    static void close_open(SingleStreamScan& scan) {
        scan.active = 0;
        const SingleStreamEntry& e = scan.entries.back();
        bool withdraw = e.frames == 1;
        if constexpr (Game::kPlayMarkers) withdraw = withdraw || e.marker_seen == 0;
        if (withdraw) scan.entries.pop_back();
    }

    static void open_movie(SingleStreamScan& scan, const StrSectorHeader& h, uint32_t lba) {
        SingleStreamEntry e{};
        e.first_sector = e.last_video = lba;
        e.frames = 1;
        e.width = stored_width<Game>(h);
        e.height = stored_height<Game>(h);
        e.payload = h.frame_bytes;
        e.chunk_type = h.type;
        e.min_spacing = 0xFFFF;
        e.max_spacing = 0;
        if (!scan.entries.append(e)) return;  // no room: this movie is not recorded
        scan.active = 1;
        scan.frame_start = lba;
        scan.audio_in_frame = 0;
    }
};

}  // namespace plugins::str
