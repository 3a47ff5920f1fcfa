// walcite's scan: several STR movies interleaved sector by sector, each on its own XA channel with
// its audio. A stream group starts at a movie's opening sector and follows one entry per channel
// while sectors of its channels keep coming. A stream whose second sector follows its first
// directly is no interleaved movie and is not reported.
#pragma once

#include <cstdint>

#include "contract/plugin_assembly.h"
#include "contract/mdec_header_search.h"
#include "contract/movie_stream_info.h"
#include "contract/raw_sector.h"
#include "contract/sector_class.h"
#include "contract/str_sector_header.h"
#include "contract/stream_list.h"
#include "contract/track_table.h"
#include "movie_audio_count.h"

namespace plugins::str {

struct ChannelStreamEntry {
    uint32_t first_sector;
    uint32_t frame_start;
    uint32_t last_video;
    uint32_t first_audio;
    uint32_t last_audio;
    uint32_t audio_subheader;
    uint32_t audio_spacing;
    uint32_t audio_sectors;
    uint32_t frames;
    uint32_t width;
    uint32_t height;
    uint32_t synced_audio;
    uint32_t synced_frames;
    uint32_t payload;
    uint16_t min_spf;
    uint16_t max_spf;
    uint16_t channel;
    uint8_t closed;
    uint32_t audio_in_frame;
    uint32_t foreign_in_frame;
    uint32_t second_sector;
};

struct WalciteScan {
    int32_t active;
    psr::StreamList<ChannelStreamEntry> entries;
    uint8_t open_streams;
    uint8_t group_streams;
    uint32_t last_taken;
    int32_t group_first;  // no entry before this one is open
};

inline constexpr psr::PluginIdentity kWalciteIdentity{
    "Walcite STR", "Copyright (C) 2026 the Walcite STR plug-in authors", 102, 0, 230, psr::HomeUrl::kLong};

// A picture size rounded to a multiple of 16.
constexpr uint32_t round16(uint32_t size) { return (size + 8) & ~15u; }

// The channel walcite's reader sees a sector in: the subheader's for audio and plain video
// submodes, else bits 10 and 11 of the chunk's type word. The first sector of a stream is judged
// by exact submodes; the sectors after it also by the audio bits.
constexpr uint8_t walcite_channel(const psr::RawSector& s, bool first_sector) {
    const bool by_subheader = s.submode() == 0x42 || (first_sector ? s.submode() == 0x64 : psr::is_xa_audio(s.submode()));
    return by_subheader ? s.channel() : static_cast<uint8_t>((s.user16<2>() >> 10) & 3);
}

// Whether the reader takes a sector that is not sound as a video chunk.
constexpr bool walcite_chunk(const psr::StrSectorHeader& h) { return h.magic != 0 && h.frame_number != 0; }

class WalciteScanner {
public:
    enum class Class : uint8_t { kAudio, kVideo, kFiller, kOther };
    static constexpr uint32_t kNoChannel = 0xFFFFFFFF;  // filler sectors carry none

    static ScanContext* begin(int32_t track_count, const TrackEntry* tracks) {
        return psr::create_scan<WalciteScan>(psr::TrackTableRule::kStep12, track_count, tracks);
    }

    static int32_t sector(ScanContext* context, TrackEntry track, uint32_t lba, const uint8_t* bytes) {
        auto* scan = reinterpret_cast<WalciteScan*>(context);
        if (!scan || !psr::is_data_track(track)) return 0;
        if (!bytes) {
            end_of_scan(*scan);
            return 0;
        }
        const psr::RawSector s(bytes);
        const psr::StrSectorHeader h = psr::StrSectorHeader::parse(s);
        uint32_t channel = kNoChannel;
        Class cls = classify(s, h, channel);
        if (!scan->active && !(cls == Class::kVideo && opens_movie(s, h))) {
            cls = s.user16<0>() == 0 ? Class::kFiller : Class::kOther;
        }
        if (scan->active && lba > scan->last_taken + 32) cls = Class::kOther;
        if ((!scan->active && cls == Class::kFiller) || s.submode() == 0) return 1;

        if (!scan->active) {
            scan->group_first = scan->entries.count;
            if (cls == Class::kVideo && create(*scan, s, h, lba)) {
                scan->active = 1;
                scan->open_streams++;
                scan->group_streams++;
                scan->last_taken = lba;
            }
            return 1;
        }
        if (cls == Class::kOther) {
            end_group(*scan);
            return 1;
        }
        offer(*scan, s, h, cls, channel, lba);
        return 1;
    }

    static int32_t result(ScanContext* context, int32_t index, StreamInfo* info) {
        auto* scan = reinterpret_cast<WalciteScan*>(context);
        if (!scan) return 0;
        if (!scan->entries.items || !scan->entries.contains(index)) return -1;
        if (!info) return scan->entries.count;
        const ChannelStreamEntry& e = scan->entries[index];
        const psr::MovieScanCounters counters{e.first_sector,   e.last_video, e.last_audio, e.frames,
                                              e.width,          e.height,     e.payload,    e.min_spf,
                                              e.max_spf,        e.audio_sectors, static_cast<uint8_t>(e.audio_subheader >> 24),
                                              e.synced_audio,   e.synced_frames};
        if (!psr::movie_info_from_scan(counters, psr::RateRule::kCommon, info)) return -1;
        return scan->entries.count;
    }

    static void end(ScanContext* context) { psr::destroy_scan<WalciteScan>(context); }

    static Class classify(const psr::RawSector& s, const psr::StrSectorHeader& h, uint32_t& channel) {
        if (psr::is_xa_audio(s.submode())) {
            channel = s.channel();
            return Class::kAudio;
        }
        if (psr::has_str_magic(h.magic_low()) && h.type_flag() && h.frame_number != 0 && h.chunk_count >= 1 &&
            h.chunk_count <= 20 && h.word28 == 0) {
            channel = s.channel();
            return Class::kVideo;
        }
        if ((s.submode() & 0x42) == 0x42) {
            channel = h.type != 0 ? s.channel() : 0;
            return Class::kVideo;
        }
        return s.user16<0>() == 0 ? Class::kFiller : Class::kOther;
    }

    // The first chunk of frame 1 with a sound MDEC header; a version word above 3 passes when the
    // two words after the marker give the header's picture size.
    static bool opens_movie(const psr::RawSector& s, const psr::StrSectorHeader& h) {
        return h.chunk_index == 0 && h.frame_number == 1 && psr::mdec_start_accepted(s, h, true);
    }

private:
    enum class Discard : uint8_t { kAdjacent, kAdjacentOrEqual };

    static bool create(WalciteScan& scan, const psr::RawSector& s, const psr::StrSectorHeader& h, uint32_t lba) {
        if (!scan.entries.make_room()) return false;
        if (h.width == 0 || h.height == 0) return false;
        ChannelStreamEntry e{};
        e.first_sector = e.frame_start = e.last_video = lba;
        e.frames = 1;
        e.width = round16(h.width);
        e.height = round16(h.height);
        e.payload = h.frame_bytes;
        e.min_spf = 0xFFFF;
        e.channel = s.channel();
        scan.entries.append(e);
        return true;
    }

    // Closes entry `index`, which leaves the list when the discard test says so.
    static void close(WalciteScan& scan, int32_t index, Discard rule) {
        ChannelStreamEntry& e = scan.entries[index];
        e.closed = 1;
        if (--scan.open_streams == 0) {
            scan.active = 0;
            scan.group_streams = 0;
        }
        const uint32_t distance = e.second_sector - e.first_sector;
        if (distance == 1 || (rule == Discard::kAdjacentOrEqual && distance == 0)) scan.entries.remove(index);
    }

    static void end_group(WalciteScan& scan) {
        for (int32_t i = 0; i < scan.entries.count;) {
            ChannelStreamEntry& e = scan.entries[i];
            const int32_t count = scan.entries.count;
            if (!e.closed) close(scan, i, Discard::kAdjacentOrEqual);
            if (scan.entries.count == count) ++i;
        }
        scan.active = 0;
        scan.open_streams = 0;
        scan.group_streams = 0;
    }

    static void end_of_scan(WalciteScan& scan) {
        if (!scan.active) return;
        scan.active = 0;
        for (int32_t i = 0; i < scan.entries.count;) {
            ChannelStreamEntry& e = scan.entries[i];
            e.closed = 1;
            const uint32_t distance = e.second_sector - e.first_sector;
            if (distance <= 1) {
                scan.entries.remove(i);
            } else {
                ++i;
            }
        }
    }

    // A sector of the group goes to the open entry of its channel, which may close on seeing it.
    // Filler sectors belong to no channel: no entry takes them, and every open entry counts them.
    static void offer(WalciteScan& scan, const psr::RawSector& s, const psr::StrSectorHeader& h, Class cls,
                      uint32_t channel, uint32_t lba) {
        int32_t taker = -1;
        while (scan.group_first < scan.entries.count && scan.entries[scan.group_first].closed) ++scan.group_first;
        for (int32_t i = scan.group_first; i < scan.entries.count; ++i) {
            ChannelStreamEntry& e = scan.entries[i];
            if (e.closed) continue;
            if (e.channel != channel) {
                e.foreign_in_frame++;
            } else if (taker < 0) {
                taker = i;
            }
        }
        if (taker >= 0) {
            ChannelStreamEntry& e = scan.entries[taker];
            const uint32_t number = s.user32<8>();  // read for every class
            if (number != 0 && number < e.frames) {
                close(scan, taker, Discard::kAdjacent);  // a new movie on this channel
                taker = -1;
            } else if (lba > e.last_video + 32) {
                e.last_audio = e.last_video;
                close(scan, taker, Discard::kAdjacent);
                taker = -1;
            }
        }
        if (taker < 0) {
            if (cls != Class::kVideo || !create(scan, s, h, lba)) return;
            scan.open_streams++;
            scan.group_streams++;
            scan.active = 1;
            taker = scan.entries.count - 1;
        }
        take(scan, scan.entries[taker], s, h, cls, lba);
        if ((s.submode() & psr::submode::kEndOfFile) || cls == Class::kFiller) close(scan, taker, Discard::kAdjacentOrEqual);
    }

    static void take(WalciteScan& scan, ChannelStreamEntry& e, const psr::RawSector& s, const psr::StrSectorHeader& h,
                     Class cls, uint32_t lba) {
        if (e.second_sector == 0 && lba != e.first_sector) e.second_sector = lba;
        if (cls == Class::kVideo) {
            e.last_video = lba;
            scan.last_taken = lba;
            if (h.chunk_index == 0 && h.frame_number != 0) {
                e.frames = h.frame_number;
                if (round16(h.width) > e.width) e.width = round16(h.width);
                if (round16(h.height) > e.height) e.height = round16(h.height);
                if (h.frame_number != 1) fold_spacing(scan, e, lba);
                e.payload += h.frame_bytes;
                e.frame_start = lba;
                e.audio_in_frame = 0;
                e.foreign_in_frame = 0;
            }
            note_audio_in_step(e, lba);
        } else if (cls == Class::kAudio) {
            count_audio_sector(e, lba, s.subheader());
            e.audio_in_frame++;
            scan.last_taken = lba;
        }
    }

    // Sectors per frame, in 16-bit arithmetic: the distance from the previous frame start, less
    // the other streams' sectors and the own audio when audio came, but not less than the
    // distance shared out over the group's streams.
    static void fold_spacing(const WalciteScan& scan, ChannelStreamEntry& e, uint32_t lba) {
        const auto d = static_cast<uint16_t>(lba - e.frame_start);
        uint16_t spacing = d;
        if (e.audio_in_frame != 0) {
            const auto t = static_cast<uint16_t>(scan.group_streams ? d / scan.group_streams : d / 2);
            const auto own = static_cast<uint16_t>(d - static_cast<uint16_t>(e.foreign_in_frame + e.audio_in_frame));
            spacing = own > t ? own : t;
        }
        if (spacing < e.min_spf) e.min_spf = spacing;
        if (spacing > e.max_spf) e.max_spf = spacing;
    }
};

}  // namespace plugins::str
