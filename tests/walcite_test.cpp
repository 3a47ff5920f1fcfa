// walcite: the scan of interleaved movies, one entry per channel, and the playback of one channel.
#include <gtest/gtest.h>

#include <memory>

#include "discbuilder/str_movie.h"
#include "plugins/str/walcite_plugin.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
using plugins::str::WalcitePlugin;

namespace {

// Sectors laid out one after another, chunks carrying their channel in the subheader and in the
// type word as walcite's discs do.
struct Layout {
    DiscImage disc;
    uint32_t next = 0;

    uint32_t chunk(uint8_t channel, uint32_t frame, uint16_t index, uint16_t count, Chunk c = {}) {
        c.channel = channel;
        c.type = static_cast<uint16_t>(0x8001 | channel << 10);
        c.frame = frame;
        c.index = index;
        c.count = count;
        put_chunk(disc, next, c);
        return next++;
    }
    uint32_t audio(uint8_t channel, uint8_t submode = 0x64) {
        Audio a;
        a.channel = channel;
        a.submode = submode;
        put_audio(disc, next, a);
        return next++;
    }
    uint32_t other() {
        put_data(disc, next);
        return next++;
    }
    uint32_t filler() {
        put_data(disc, next, {0, 0, 5, 5});
        return next++;
    }
    // Frames 1..n of `chunks` chunks on two channels, sector by sector, one audio sector each
    // after every frame.
    void two_movies(uint32_t frames, uint16_t chunks) {
        for (uint32_t f = 1; f <= frames; ++f) {
            for (uint16_t i = 0; i < chunks; ++i) {
                chunk(0, f, i, chunks);
                chunk(1, f, i, chunks);
            }
            audio(0);
            audio(1);
        }
    }
};

using Scan = StepScan<WalcitePlugin>;

}  // namespace

TEST(WalciteScan, TwoInterleavedMoviesAreTwoStreams) {
    Layout l;
    l.two_movies(4, 3);
    l.other();
    Scan scan(l.disc);
    scan.feed(0, l.next).finish(l.next);
    const auto results = scan.results();
    ASSERT_EQ(results.size(), 2u);
    // Eight sectors a frame (three chunks and one sound sector of each channel): each movie runs
    // from its first chunk to its last sound sector, with sound.
    EXPECT_EQ(results[0].start_sector, 0u);
    EXPECT_EQ(results[1].start_sector, 1u);
    for (const StreamInfo& i : results) {
        EXPECT_EQ(i.kind & 0x03, 0x03);
        EXPECT_EQ(i.frame_count, 4u);
        EXPECT_EQ(i.sector_count, 31u);
        EXPECT_EQ(i.has_audio, 1);
    }
}

TEST(WalciteScan, AMovieOnItsOwnIsDiscarded) {
    Layout l;
    for (uint32_t f = 1; f <= 4; ++f) {
        for (uint16_t i = 0; i < 3; ++i) l.chunk(0, f, i, 3);
        l.audio(0);
    }
    l.other();
    Scan scan(l.disc);
    scan.feed(0, l.next).finish(l.next);
    EXPECT_EQ(scan.count(), 0);
    // The same, still open when the scan ends.
    Scan open(l.disc);
    open.feed(0, l.next - 1).finish(l.next - 1);
    EXPECT_EQ(open.count(), 0);
}

// Channel 0's movie in a group of two, whose frame 2 starts 20 sectors after frame 1 with ten
// of channel 1's chunks and one sector of its own sound between; `sound_at` (2 to 11) places the
// sound among channel 1's chunks, before its own eight.
StreamInfo spaced_movie(uint32_t sound_at) {
    Layout l;
    l.chunk(0, 1, 0, 9);  // 0: opens
    l.chunk(1, 1, 0, 9);  // 1: the second stream
    for (uint32_t lba = 2; lba < 12; ++lba) {
        if (lba == sound_at) {
            l.audio(0);
        } else {
            l.chunk(1, 1, 1, 9);
        }
    }
    for (uint16_t i = 1; i < 9; ++i) l.chunk(0, 1, i, 9);  // 12-19
    l.chunk(0, 2, 0, 9);                                     // 20: frame 2 starts
    Scan scan(l.disc);
    scan.feed(0, l.next);
    return scan.info(0);
}

TEST(WalciteScan, SpacingSharesTheDistanceOverTheGroup) {
    // 20 sectors from frame to frame, 11 of them channel 1's or sound: max(20 - 11, 20 / 2) = 10
    // sectors a frame. The sound comes early here, so that no chunk of the frame is timed by it.
    const StreamInfo shared = spaced_movie(2);
    const auto w = static_cast<int32_t>(shared.width), h = static_cast<int32_t>(shared.height);
    EXPECT_EQ(shared.frame_rate, std::max(50u, psr::estimate_frame_rate(w, h, 10, 10, psr::RateRule::kCommon)));
}

TEST(WalciteScan, SyncedAudioOnlyWhileTheAudioFlows) {
    // The same frames, the sound just before the movie's next chunks: those chunks are timed by
    // the sound, and the rate the sound measures replaces the one the spacing gives.
    const StreamInfo early = spaced_movie(2), flowing = spaced_movie(11);
    EXPECT_EQ(early.sector_count, flowing.sector_count);
    EXPECT_NE(flowing.frame_rate, early.frame_rate);
}

TEST(WalciteScan, AnEntryCreatedMidFrameCountsItsFrameTwice) {
    Layout l;
    Chunk big;
    big.bytes = 5000;
    l.chunk(0, 1, 0, 3, big);   // 0 opens channel 0
    l.chunk(1, 7, 0, 3, big);   // 1: channel 1 joins at frame 7
    l.chunk(0, 1, 1, 3, big);
    l.chunk(1, 7, 1, 3, big);
    Scan scan(l.disc);
    scan.feed(0, l.next);
    ASSERT_EQ(scan.count(), 2);
    EXPECT_EQ(scan.info(1).payload_bytes, 10000u);
    EXPECT_EQ(scan.info(1).frame_count, 7u);
}

TEST(WalciteScan, OtherSectorsEndTheGroupAndSubmodeZeroIsSkipped) {
    Layout l;
    l.two_movies(2, 2);
    const uint32_t gap_start = l.next;
    l.next += 50;  // never written: submode 0, passed over whatever the gap
    l.two_movies(1, 2);
    Scan scan(l.disc);
    scan.feed(0, gap_start).feed(gap_start, gap_start + 50);
    EXPECT_EQ(scan.count(), 2);
    // 50 sectors on, the next chunk is more than 32 after the last one taken: other, so the group
    // ends there (its two entries stay). Channel 1's frame-1 chunk then opens a new group, which
    // channel 0's next chunk joins.
    scan.feed(gap_start + 50, l.next).finish(l.next);
    ASSERT_EQ(scan.count(), 4);
    EXPECT_EQ(scan.info(0).sector_count, gap_start - 1);  // the first group ends before the gap
    EXPECT_EQ(scan.info(2).start_sector, gap_start + 51);
    EXPECT_EQ(scan.info(3).start_sector, gap_start + 52);

    // A sector of another kind ends the group: a later chunk of its movies opens nothing.
    Layout o;
    o.two_movies(2, 2);
    o.other();
    o.chunk(0, 2, 0, 2);
    Scan ended(o.disc);
    ended.feed(0, o.next);
    EXPECT_EQ(ended.count(), 2);
    EXPECT_EQ(ended.info(0).frame_count, 2u);
}

TEST(WalciteScan, AFallingFrameNumberStartsANewEntryAtOnce) {
    Layout l;
    l.two_movies(3, 2);
    l.chunk(0, 1, 0, 2);  // channel 0 back to frame 1: no opening test needed
    l.chunk(1, 4, 0, 2);
    l.chunk(0, 1, 1, 2);
    l.chunk(1, 4, 1, 2);
    l.chunk(0, 2, 0, 2);
    l.chunk(1, 5, 0, 2);
    Scan scan(l.disc);
    scan.feed(0, l.next);
    ASSERT_EQ(scan.count(), 3);
    EXPECT_EQ(scan.info(0).frame_count, 3u);
    EXPECT_EQ(scan.info(0).sector_count, 17u);  // closed at its last sound sector, 16
    EXPECT_EQ(scan.info(1).frame_count, 5u);
    EXPECT_EQ(scan.info(2).start_sector, 18u);
    EXPECT_EQ(scan.info(2).frame_count, 2u);
}

TEST(WalciteScan, OpeningNeedsASoundMdecHeader) {
    Chunk sized;
    sized.mdec_word2 = 320;  // the picture size after the marker instead of scale and version
    sized.mdec_word3 = 240;
    Chunk wrong = sized;
    wrong.mdec_word3 = 224;
    for (int k = 0; k < 2; ++k) {
        const Chunk& c = k == 0 ? sized : wrong;
        Layout l;
        l.chunk(0, 1, 0, 2, c);
        l.chunk(1, 1, 0, 2, c);
        l.chunk(0, 1, 1, 2, c);
        l.chunk(1, 1, 1, 2, c);
        Scan scan(l.disc);
        scan.feed(0, l.next);
        EXPECT_EQ(scan.count(), k == 0 ? 2 : 0);
    }
}

TEST(WalciteScan, DiscardTestsAndTheEndOfTheScan) {
    // The end of the scan with a group active: entries still open are closed and tested.
    Layout l;
    l.two_movies(2, 2);
    l.chunk(2, 1, 0, 2);  // a third stream joins
    l.chunk(2, 1, 1, 2);  // and its second sector follows its first: discarded at the end
    Scan scan(l.disc);
    scan.feed(0, l.next);
    EXPECT_EQ(scan.count(), 3);
    scan.finish(l.next);
    EXPECT_EQ(scan.count(), 2);
    // The end of the scan without a group changes nothing.
    const int32_t before = scan.count();
    scan.finish(l.next + 1);
    EXPECT_EQ(scan.count(), before);

    // An end-of-file sector closes its entry under the adjacent-or-equal test; an entry that
    // never took a second sector stays.
    Layout e;
    e.chunk(0, 1, 0, 2);
    e.chunk(1, 1, 0, 2);
    e.audio(0, 0xE4);
    e.other();
    Scan eof(e.disc);
    eof.feed(0, 3);
    EXPECT_EQ(eof.count(), 2);  // closed by the end of file, and kept: 2 sectors apart
    eof.feed(3, e.next);
    ASSERT_EQ(eof.count(), 2);  // channel 1 never took a second sector: it stays too
    EXPECT_EQ(eof.info(0).sector_count, 3u);
    EXPECT_EQ(eof.info(1).sector_count, 1u);
}

TEST(WalciteScan, FillerSectorsAreTakenByNoEntry) {
    Layout l;
    l.chunk(0, 1, 0, 3);
    l.chunk(1, 1, 0, 3);
    l.filler();
    l.chunk(0, 1, 1, 3);
    Scan scan(l.disc);
    scan.feed(0, l.next);
    ASSERT_EQ(scan.count(), 2);
    EXPECT_EQ(scan.info(0).sector_count, 4u);  // the filler leaves channel 0's movie open
    EXPECT_EQ(scan.info(1).sector_count, 1u);  // and is not channel 1's
}

TEST(WalciteScan, APictureWithoutAMacroblockIsNotDescribed) {
    Chunk tiny;
    tiny.width = 7;  // rounds to 0
    Layout l;
    l.chunk(0, 1, 0, 2, tiny);
    l.chunk(1, 1, 0, 2, tiny);
    l.chunk(0, 1, 1, 2, tiny);
    l.chunk(1, 1, 1, 2, tiny);
    l.other();
    Scan scan(l.disc);
    scan.feed(0, l.next);
    ASSERT_EQ(scan.count(), 2);
    StreamInfo info;
    std::memset(&info, 0x44, sizeof info);
    EXPECT_EQ(WalcitePlugin::scan_result(scan.context(), 0, &info), -1);
    EXPECT_EQ(info.kind, 0x4444);
    EXPECT_EQ(WalcitePlugin::scan_result(scan.context(), 0, nullptr), 2);
    Chunk none;
    none.width = 0;  // no entry at all
    Layout z;
    z.chunk(0, 1, 0, 2, none);
    Scan zero(z.disc);
    zero.feed(0, z.next);
    EXPECT_EQ(zero.count(), 0);
}

namespace {

template <class F>
std::vector<std::pair<uint32_t, uint32_t>> play(const MemoryDisc& disc, const StreamInfo& info, F between) {
    std::vector<std::pair<uint32_t, uint32_t>> units;  // frame number, payload size
    auto frame = std::make_unique<FrameBuffer>();
    StreamHandle* s = WalcitePlugin::open(disc.handle(), &info);
    between(s);
    while (WalcitePlugin::read(s, frame.get())) units.push_back({frame->frame_number, frame->payload_size});
    WalcitePlugin::close(s);
    return units;
}

StreamInfo range(uint32_t start, uint32_t count, uint16_t kind = 0x03) {
    StreamInfo info{};
    info.kind = kind;
    info.start_sector = start;
    info.sector_count = count;
    info.frame_count = 10;
    info.frame_rate = 150;
    return info;
}

}  // namespace

TEST(WalciteRead, TheFirstSectorFixesTheChannel) {
    Layout l;
    l.audio(1);  // channel 1 first: this stream plays channel 1
    l.two_movies(3, 2);
    MemoryDisc disc(l.disc);
    const auto units = play(disc, range(0, l.next), [](StreamHandle*) {});
    // The lone audio sector, then per frame the frame and the audio held while it was gathered.
    ASSERT_EQ(units.size(), 7u);
    EXPECT_EQ(units[0], std::make_pair(0u, 2304u));
    EXPECT_EQ(units[1].first, 1u);
    EXPECT_EQ(units[2], std::make_pair(0u, 2304u));
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
    EXPECT_EQ(disc.stats().last_buffer_setting, 8);
}

TEST(WalciteRead, FramesFromTheMdecHeaderAndRoundedSizes) {
    Layout l;
    Chunk c;
    c.junk_words = 5;  // the marker at word 5: (1008 - 5) x 2 bytes from user-data offset 42
    c.bytes = 3000;
    c.width = 300;
    c.height = 200;
    l.chunk(2, 1, 0, 2, c);
    const auto first = chunk_data(c);
    c.index = 1;
    l.chunk(2, 1, 1, 2, c);
    MemoryDisc disc(l.disc);
    auto frame = std::make_unique<FrameBuffer>();
    StreamInfo info = range(0, 2, 0x13);
    StreamHandle* s = WalcitePlugin::open(disc.handle(), &info);
    ASSERT_EQ(WalcitePlugin::read(s, frame.get()), 1);
    EXPECT_EQ(frame->width, 304u);
    EXPECT_EQ(frame->height, 208u);
    EXPECT_EQ(frame->payload_size, 3000u);
    EXPECT_EQ(std::memcmp(frame->payload, first.data() + 10, 2006), 0);
    EXPECT_EQ(frame->frame_rate, 300u);  // kind 0x13: 304 x 208 limits 1 + 2 sectors to 30 fps
    WalcitePlugin::close(s);
}

TEST(WalciteRead, SeeksByFrameRateAndSkipsToTheNextWholeFrame) {
    Layout l;
    for (uint32_t f = 1; f <= 10; ++f) {
        for (uint16_t i = 0; i < 10; ++i) l.chunk(0, f, i, 10);
    }
    MemoryDisc disc(l.disc);
    // 100 sectors, 10 frames at 15 fps: 400 ms is frame 6, sector 100 x 6 / 10 = 60.
    const auto units = play(disc, range(0, 100, 0x01), [](StreamHandle* s) { WalcitePlugin::seek(s, 400); });
    ASSERT_FALSE(units.empty());
    EXPECT_EQ(units[0].first, 7u);  // sector 60 begins frame 7
    EXPECT_EQ(disc.stats().last_read_pointer, 60u);
    const auto middle = play(disc, range(0, 100, 0x01), [](StreamHandle* s) { WalcitePlugin::seek(s, 350); });
    EXPECT_EQ(disc.stats().last_read_pointer, 50u);
    EXPECT_EQ(middle[0].first, 6u);
    const auto past = play(disc, range(0, 100, 0x01), [](StreamHandle* s) { WalcitePlugin::seek(s, 99999); });
    EXPECT_EQ(disc.stats().last_read_pointer, 100u);
    EXPECT_TRUE(past.empty());
    StreamInfo no_frames = range(0, 100, 0x01);
    no_frames.frame_count = 0;
    int32_t refused = 1;
    play(disc, no_frames, [&](StreamHandle* s) { refused = WalcitePlugin::seek(s, 400); });
    EXPECT_EQ(refused, 0);
}

TEST(WalciteRead, DescriptionsKeepToTheFirstChannelEverDescribed) {
    // Channel 0's pictures 320 wide, channel 1's 160: which channel described a range shows.
    Layout l;
    Chunk narrow;
    narrow.width = 160;
    for (uint32_t f = 1; f <= 40; ++f) {
        for (uint16_t i = 0; i < 4; ++i) {
            l.chunk(0, f, i, 4);
            l.chunk(1, f, i, 4, narrow);
        }
        l.audio(0);
        l.audio(1);
    }
    MemoryDisc disc(l.disc);
    plugins::str::WalciteReader::info_channel = 0xFFFF;  // as a freshly loaded plug-in has it
    StreamInfo info{};
    ASSERT_EQ(WalcitePlugin::describe(disc.handle(), 0, l.next, &info), 1);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.sector_count, l.next);
    // 300 sectors hold frames 1 to 30 of each channel: 30 frames of 4 chunks and 30 audio sectors.
    EXPECT_EQ(info.frame_count, 30u * l.next / 150);
    // A range starting on channel 1 is still described by channel 0's sectors.
    StreamInfo again{};
    ASSERT_EQ(WalcitePlugin::describe(disc.handle(), 1, l.next - 1, &again), 1);
    EXPECT_EQ(again.width, 320u);
    // No first chunk of the channel in the sample: no description.
    Layout no_first;
    no_first.chunk(0, 2, 1, 4);
    no_first.chunk(0, 2, 2, 4);
    MemoryDisc d2(no_first.disc);
    EXPECT_EQ(WalcitePlugin::describe(d2.handle(), 0, 2, &info), 0);
}
