// The scan of selvane, grivet and tamsel: how a movie opens, grows, closes and is withdrawn, and
// each row in which the three games differ.
#include <gtest/gtest.h>

#include "plugins/str/single_stream_plugin.h"
#include "support/sector_kit.h"

using namespace testing_support;
using discbuilder::DiscImage;
using plugins::str::Grivet;
using plugins::str::Selvane;
using plugins::str::SingleStreamPlugin;
using plugins::str::Tamsel;

namespace {

using SelvanePlugin = SingleStreamPlugin<Selvane>;
using GrivetPlugin = SingleStreamPlugin<Grivet>;
using TamselPlugin = SingleStreamPlugin<Tamsel>;

// Lays sectors out one after another.
struct Layout {
    DiscImage disc;
    uint32_t next = 0;
    Chunk chunk;  // template for every chunk
    Audio sound;  // template for every audio sector

    uint32_t frame(uint32_t number, uint16_t chunks) {
        const uint32_t first = next;
        for (uint16_t c = 0; c < chunks; ++c) {
            Chunk k = chunk;
            k.frame = number;
            k.index = c;
            k.count = chunks;
            put_chunk(disc, next++, k);
        }
        return first;
    }
    uint32_t audio() {
        put_audio(disc, next, sound);
        return next++;
    }
    uint32_t play() {
        put_data(disc, next, {'P', 'l', 'a', 'y'});
        return next++;
    }
    uint32_t data(uint8_t submode = 0x08) {
        put_data(disc, next, {0xDA, 0x7A}, submode);
        return next++;
    }
    uint32_t empty() {
        put_data(disc, next, {0, 0, 0, 0});
        return next++;
    }
    // Frames 1..n of `chunks` chunks, an audio sector after each.
    void movie(uint32_t frames, uint16_t chunks, bool marker = true) {
        for (uint32_t f = 1; f <= frames; ++f) {
            frame(f, chunks);
            audio();
            if (f == 1 && marker) play();
        }
    }
};

Chunk tamsel_chunk() {
    Chunk c;
    c.type = 0;
    c.zero_size = true;
    return c;
}
Audio tamsel_audio() {
    Audio a;
    a.coding = 0x05;
    return a;
}

}  // namespace

TEST(SingleStreamScan, FollowsAMovieAndCountsItExactly) {
    Layout l;
    l.data();
    l.chunk.bytes = 5000;
    l.next = 10;
    l.frame(1, 3);  // 10-12
    l.audio();      // 13
    l.play();       // 14
    l.frame(2, 3);  // 15-17
    l.audio();      // 18
    l.frame(3, 3);  // 19-21
    l.audio();      // 22
    l.frame(4, 3);  // 23-25
    l.audio();      // 26
    l.data();       // 27 closes the movie
    const auto found = scan_image<SelvanePlugin>(l.disc);
    ASSERT_EQ(found.size(), 1u);
    const StreamInfo& i = found[0];
    EXPECT_EQ(i.kind, 0x03);
    EXPECT_EQ(i.start_sector, 10u);
    EXPECT_EQ(i.sector_count, 17u);
    EXPECT_EQ(i.frame_count, 4u);
    EXPECT_EQ(i.width, 320u);
    EXPECT_EQ(i.height, 240u);
    // 3 and 4 sectors per frame (the marker sector counts) estimate 30 fps; the 3 audio sectors
    // synced with 4 frames (160 ms) measure 25 fps, which the steady spread rounds to.
    EXPECT_EQ(i.frame_rate, 250);
    EXPECT_EQ(i.duration_ms, 213u);  // 4 audio sectors outlast 4 frames at 25 fps
    EXPECT_EQ(i.channels, 2);
    EXPECT_EQ(i.sample_rate, 37800u);
    EXPECT_EQ(i.payload_bytes, 4 * 5000u + 4 * 2304u);
}

TEST(SingleStreamScan, SelvaneKeepsOnlyMoviesWithAPlayMarker) {
    Layout closed;
    closed.movie(3, 2, false);
    closed.data();
    EXPECT_TRUE(scan_image<SelvanePlugin>(closed.disc).empty());
    EXPECT_EQ(scan_image<GrivetPlugin>(closed.disc).size(), 0u);  // grivet wants an odd size anyway

    // The end of the scan keeps a movie still open, marker or not.
    Layout open;
    open.movie(3, 2, false);
    EXPECT_EQ(scan_image<SelvanePlugin>(open.disc).size(), 1u);

    Layout marked;
    marked.movie(3, 2, true);
    marked.data();
    EXPECT_EQ(scan_image<SelvanePlugin>(marked.disc).size(), 1u);
}

TEST(SingleStreamScan, AMovieWithoutASecondFrameIsWithdrawnByEveryClose) {
    Layout closed;
    closed.frame(1, 3);
    closed.play();
    closed.audio();
    closed.data();
    EXPECT_TRUE(scan_image<SelvanePlugin>(closed.disc).empty());
    Layout open;
    open.frame(1, 3);
    open.play();
    EXPECT_TRUE(scan_image<SelvanePlugin>(open.disc).empty());
    Layout t;
    t.chunk = tamsel_chunk();
    t.frame(1, 3);
    EXPECT_TRUE(scan_image<TamselPlugin>(t.disc).empty());
}

TEST(SingleStreamScan, ForeignAudioClosesSelvaneButGrivetIgnoresItNearby) {
    auto build = [](uint16_t height) {
        Layout l;
        l.chunk.height = height;
        l.frame(1, 2);
        l.audio();
        l.play();
        l.frame(2, 2);
        l.sound.channel = 5;  // another channel
        l.audio();
        l.sound.channel = 0;
        l.frame(3, 2);
        l.audio();
        return l;
    };
    Layout s = build(240);
    const auto selvane = scan_image<SelvanePlugin>(s.disc);
    ASSERT_EQ(selvane.size(), 1u);
    EXPECT_EQ(selvane[0].frame_count, 2u);  // closed by the foreign sector
    Layout g = build(241);
    const auto grivet = scan_image<GrivetPlugin>(g.disc);
    ASSERT_EQ(grivet.size(), 1u);
    EXPECT_EQ(grivet[0].frame_count, 3u);
    EXPECT_EQ(grivet[0].height, 240u);  // stored AND 0xFFF0
    // tamsel does not compare subheaders: another channel's audio is still its audio.
    Layout t;
    t.chunk = tamsel_chunk();
    t.sound = tamsel_audio();
    t.frame(1, 2);
    t.audio();
    t.frame(2, 2);
    t.sound.channel = 5;
    t.audio();
    t.frame(3, 2);
    const auto tamsel = scan_image<TamselPlugin>(t.disc);
    ASSERT_EQ(tamsel.size(), 1u);
    EXPECT_EQ(tamsel[0].frame_count, 3u);
}

TEST(SingleStreamScan, GapsOfThirtyTwoKeepAMovieOpenAndThirtyThreeCloseIt) {
    // selvane: "Play" sectors pass without effect, so they make the gap.
    auto selvane_gap = [](uint32_t markers) {
        Layout l;
        l.frame(1, 2);
        l.play();
        l.frame(2, 2);
        for (uint32_t i = 0; i < markers; ++i) l.play();
        l.frame(3, 2);
        return scan_image<SelvanePlugin>(l.disc);
    };
    ASSERT_EQ(selvane_gap(31).size(), 1u);  // the chunk comes 32 sectors after the last one
    EXPECT_EQ(selvane_gap(31)[0].frame_count, 3u);
    ASSERT_EQ(selvane_gap(32).size(), 1u);  // 33: the chunk closes the movie and is not taken
    EXPECT_EQ(selvane_gap(32)[0].frame_count, 2u);

    // tamsel: empty sectors pass without effect.
    auto tamsel_gap = [](uint32_t empties) {
        Layout l;
        l.chunk = tamsel_chunk();
        l.frame(1, 2);
        l.frame(2, 2);
        for (uint32_t i = 0; i < empties; ++i) l.empty();
        l.frame(3, 2);
        return scan_image<TamselPlugin>(l.disc);
    };
    EXPECT_EQ(tamsel_gap(31).at(0).frame_count, 3u);
    EXPECT_EQ(tamsel_gap(32).at(0).frame_count, 2u);

    // grivet takes its chunks whatever the gap; other sectors within 32 pass, the 33rd closes.
    auto grivet_gap = [](uint32_t others) {
        Layout l;
        l.chunk.height = 241;
        l.frame(1, 2);
        l.frame(2, 2);
        for (uint32_t i = 0; i < others; ++i) l.data();
        l.frame(3, 2);
        return scan_image<GrivetPlugin>(l.disc);
    };
    EXPECT_EQ(grivet_gap(32).at(0).frame_count, 3u);
    EXPECT_EQ(grivet_gap(33).at(0).frame_count, 2u);
    Layout far;
    far.chunk.height = 241;
    far.frame(1, 2);
    far.frame(2, 2);
    far.next += 100;  // sectors never fed: the host may skip nothing, but the rule is on LBAs
    far.frame(3, 2);
    const auto bytes = far.disc.bytes();
    const TrackEntry track = data_track_entry();
    ScanContext* c = GrivetPlugin::scan_begin(1, &track);
    for (uint32_t lba : {0u, 1u, 2u, 3u, 104u, 105u}) GrivetPlugin::scan_sector(c, track, lba, bytes.data() + lba * 2352);
    GrivetPlugin::scan_sector(c, track, 106, nullptr);
    StreamInfo info{};
    ASSERT_EQ(GrivetPlugin::scan_result(c, 0, &info), 1);
    EXPECT_EQ(info.frame_count, 3u);
    EXPECT_EQ(info.sector_count, 106u);
    GrivetPlugin::scan_end(c);
}

TEST(SingleStreamScan, EndOfRecordSectorsCloseSelvaneAndGrivetButNotTamsel) {
    auto with_end_sector = [](Chunk base, uint32_t frames_after) {
        Layout l;
        l.chunk = base;
        l.frame(1, 2);
        if (base.type != 0) l.play();  // tamsel's movies have no marker sectors
        l.frame(2, 2);
        Chunk end = base;
        end.frame = 2;
        end.index = 2;
        end.count = 3;
        end.submode = 0x89;  // a video chunk that also ends the file
        put_chunk(l.disc, l.next++, end);
        for (uint32_t f = 3; f < 3 + frames_after; ++f) l.frame(f, 2);
        return l;
    };
    Layout s = with_end_sector(Chunk{}, 2);
    ASSERT_EQ(scan_image<SelvanePlugin>(s.disc).size(), 1u);
    EXPECT_EQ(scan_image<SelvanePlugin>(s.disc)[0].frame_count, 2u);
    Chunk g;
    g.height = 241;
    Layout gl = with_end_sector(g, 2);
    EXPECT_EQ(scan_image<GrivetPlugin>(gl.disc).at(0).frame_count, 2u);
    Layout tl = with_end_sector(tamsel_chunk(), 2);
    EXPECT_EQ(scan_image<TamselPlugin>(tl.disc).at(0).frame_count, 4u);
}

TEST(SingleStreamScan, AFirstFrameChunkWithoutMarkerIsOther) {
    auto build = [](uint16_t height) {
        Layout l;
        l.chunk.height = height;
        l.frame(1, 2);
        l.play();
        l.frame(2, 2);
        Chunk broken = l.chunk;
        broken.mdec_header = false;  // frame 1 again, but no MDEC marker
        broken.count = 2;
        put_chunk(l.disc, l.next++, broken);
        l.frame(3, 2);
        return l;
    };
    Layout s = build(240);
    const auto selvane = scan_image<SelvanePlugin>(s.disc);
    ASSERT_EQ(selvane.size(), 1u);
    EXPECT_EQ(selvane[0].frame_count, 2u);  // closed by it, and nothing new starts
    Layout g = build(241);
    EXPECT_EQ(scan_image<GrivetPlugin>(g.disc).at(0).frame_count, 3u);  // ignored within 32 sectors
}

TEST(SingleStreamScan, TamselPassesOverEmptySectorsAndChunksNumbered0xFFFF) {
    Layout l;
    l.chunk = tamsel_chunk();
    l.frame(1, 2);
    l.empty();
    l.frame(0xFFFF, 2);
    l.frame(2, 2);
    l.data();  // closes
    const auto found = scan_image<TamselPlugin>(l.disc);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].frame_count, 2u);
    EXPECT_EQ(found[0].width, 320u);
    EXPECT_EQ(found[0].height, 224u);
    EXPECT_EQ(found[0].sector_count, 7u);
    // selvane would close at the empty sector and never see frame 2.
    Layout s;
    s.frame(1, 2);
    s.play();
    s.empty();
    s.frame(2, 2);
    EXPECT_TRUE(scan_image<SelvanePlugin>(s.disc).empty());
}

TEST(SingleStreamScan, TamselMasksFrameNumbersTo15Bits) {
    Layout l;
    l.chunk = tamsel_chunk();
    l.frame(1, 2);
    l.frame(0x8003, 2);
    const auto found = scan_image<TamselPlugin>(l.disc);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].frame_count, 3u);
    Layout s;
    s.frame(1, 2);
    s.play();
    s.frame(0x8003, 2);
    EXPECT_EQ(scan_image<SelvanePlugin>(s.disc).at(0).frame_count, 0x8003u);
}

TEST(SingleStreamScan, GrivetWithdrawsAMovieWhoseChunkTypeChanges) {
    Layout l;
    l.chunk.height = 241;
    l.frame(1, 2);
    l.frame(2, 2);
    l.frame(3, 2);
    l.chunk.type = 0x8002;
    l.frame(4, 2);
    EXPECT_TRUE(scan_image<GrivetPlugin>(l.disc).empty());
    // selvane and tamsel do not look at the type beyond its flag.
    Layout s;
    s.frame(1, 2);
    s.play();
    s.frame(2, 2);
    s.chunk.type = 0x8002;
    s.frame(3, 2);
    EXPECT_EQ(scan_image<SelvanePlugin>(s.disc).at(0).frame_count, 3u);
}

TEST(SingleStreamScan, GrivetStartsOnlyAtOddSizesAndAcceptsSizeWords) {
    Layout even;
    even.movie(3, 2);
    EXPECT_TRUE(scan_image<GrivetPlugin>(even.disc).empty());
    EXPECT_EQ(scan_image<SelvanePlugin>(even.disc).size(), 1u);

    Layout sized;
    sized.chunk.width = 321;
    sized.chunk.mdec_word2 = 321;  // the picture size after the marker instead of scale and version
    sized.chunk.mdec_word3 = 240;
    sized.movie(3, 2);
    const auto found = scan_image<GrivetPlugin>(sized.disc);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].width, 320u);
    EXPECT_TRUE(scan_image<SelvanePlugin>(sized.disc).empty());  // a version word of 240
}

TEST(SingleStreamScan, EachGamesAudioAndChunkTests) {
    // 37800 Hz audio is not tamsel's: inside its movie it is another sector and closes it.
    Layout t;
    t.chunk = tamsel_chunk();
    t.frame(1, 2);
    t.frame(2, 2);
    t.audio();  // coding 1
    t.frame(3, 2);
    EXPECT_EQ(scan_image<TamselPlugin>(t.disc).at(0).frame_count, 2u);
    // End-of-file audio at 18900 Hz stereo is tamsel's.
    Layout te;
    te.chunk = tamsel_chunk();
    te.sound = tamsel_audio();
    te.sound.submode = 0xE4;
    te.frame(1, 2);
    te.audio();
    te.frame(2, 2);
    const auto tamsel = scan_image<TamselPlugin>(te.disc);
    ASSERT_EQ(tamsel.size(), 1u);
    EXPECT_EQ(tamsel[0].sample_rate, 18900u);
    EXPECT_EQ(tamsel[0].kind, 0x03);

    // Chunks of 25 sectors are grivet's, not selvane's.
    Layout big;
    big.chunk.height = 241;
    big.movie(2, 25);
    EXPECT_EQ(scan_image<GrivetPlugin>(big.disc).size(), 1u);
    big.chunk.height = 240;
    Layout big_selvane;
    big_selvane.movie(2, 25);
    EXPECT_TRUE(scan_image<SelvanePlugin>(big_selvane.disc).empty());
    // A word at offset 28 makes a chunk other to selvane; tamsel wants no picture size at all.
    Layout tagged;
    tagged.chunk.word28 = 1;
    tagged.movie(2, 2);
    EXPECT_TRUE(scan_image<SelvanePlugin>(tagged.disc).empty());
    Layout sized;
    sized.chunk.type = 0;
    sized.movie(2, 2);
    EXPECT_TRUE(scan_image<TamselPlugin>(sized.disc).empty());
}

TEST(SingleStreamScan, AStartChunkClosesOneMovieAndOpensTheNext) {
    Layout l;
    l.movie(3, 2);
    l.movie(4, 2);
    l.data();
    const auto found = scan_image<SelvanePlugin>(l.disc);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].frame_count, 3u);
    EXPECT_EQ(found[1].frame_count, 4u);
    EXPECT_EQ(found[1].start_sector, found[0].start_sector + found[0].sector_count);
}

TEST(SingleStreamScan, ResultsAnswerTheirIndexesAndAPictureWithoutMacroblocks) {
    Layout l;
    l.movie(3, 2);
    l.chunk.width = 0;
    l.movie(3, 2);
    l.data();
    DiscImage& disc = l.disc;
    const auto bytes = disc.bytes();
    const TrackEntry track = data_track_entry();
    ScanContext* c = SelvanePlugin::scan_begin(1, &track);
    for (uint32_t lba = 0; lba < disc.sector_count(); ++lba) SelvanePlugin::scan_sector(c, track, lba, bytes.data() + lba * 2352);
    EXPECT_EQ(SelvanePlugin::scan_sector(c, track, disc.sector_count(), nullptr), 0);
    StreamInfo info;
    std::memset(&info, 0x33, sizeof info);
    EXPECT_EQ(SelvanePlugin::scan_result(c, 0, nullptr), 2);
    EXPECT_EQ(SelvanePlugin::scan_result(c, 0, &info), 2);
    std::memset(&info, 0x33, sizeof info);
    EXPECT_EQ(SelvanePlugin::scan_result(c, 1, &info), -1);  // width 0: no macroblock
    EXPECT_EQ(info.kind, 0x3333);
    EXPECT_EQ(SelvanePlugin::scan_result(c, 2, &info), -1);
    SelvanePlugin::scan_end(c);
}

TEST(SingleStreamScan, TheListGrowsPastTenAndSurvivesAFailedGrowth) {
    Layout l;
    for (int m = 0; m < 12; ++m) l.movie(2, 2);
    l.data();
    EXPECT_EQ(scan_image<SelvanePlugin>(l.disc).size(), 12u);

    // The context and its list take two allocations; the growth for the 11th movie fails.
    psr::heap::allocations_before_failure = 2;
    const auto found = scan_image<SelvanePlugin>(l.disc);
    psr::heap::allocations_before_failure = -1;
    ASSERT_EQ(found.size(), 11u);
    EXPECT_EQ(found[9].start_sector, 9u * 7);
    EXPECT_EQ(found[10].start_sector, 11u * 7);  // the 11th is lost, the 12th is found

    psr::heap::allocations_before_failure = 1;  // no room for the list: no context
    const TrackEntry track = data_track_entry();
    EXPECT_EQ(SelvanePlugin::scan_begin(1, &track), nullptr);
    psr::heap::allocations_before_failure = -1;
}
