// corvane: the volume marker, movie entries per channel closed by their countdown, the close and
// end passes, and the playback numbered from the countdown.
#include <gtest/gtest.h>

#include <memory>

#include "discbuilder/countdown_movie.h"
#include "discbuilder/iso9660.h"
#include "plugins/str/corvane_plugin.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
using plugins::str::CorvanePlugin;
using plugins::str::CorvaneScanner;

namespace {

struct Layout {
    DiscImage disc;
    uint32_t next = 24;

    explicit Layout(const char* volume = "ACE3ES_TEST") { discbuilder::write_iso_volume(disc, volume, {}); }

    uint32_t video(uint8_t channel, uint8_t index, uint16_t count, uint16_t frames_left, uint8_t submode = 0x48,
                   uint16_t width = 320, uint8_t marker = 1) {
        std::vector<uint8_t> user(submode & 0x20 ? 2324 : 2048);
        user[0] = submode == 0x68 ? marker : 0;
        user[1] = index;
        psr::store_le16(&user[2], count);
        psr::store_le16(&user[6], frames_left);
        psr::store_le16(&user[8], width);
        psr::store_le16(&user[10], 240);
        for (size_t i = 32; i < 2048; ++i) user[i] = static_cast<uint8_t>(next * 7 + i);
        disc.put(next, {1, channel, submode, 0}, user);
        return next++;
    }
    // A whole frame of `count` chunks.
    void frame(uint8_t channel, uint16_t count, uint16_t frames_left) {
        for (uint8_t i = 0; i < count; ++i) video(channel, i, count, frames_left);
    }
    uint32_t audio(uint8_t channel, uint8_t coding = 0x01, uint8_t file = 1) {
        Audio a;
        a.channel = channel;
        a.coding = coding;
        a.file = file;
        put_audio(disc, next, a);
        return next++;
    }
    uint32_t nothing(uint8_t channel) {
        disc.put(next, {1, channel, 0x00, 0}, {});
        return next++;
    }
    uint32_t data() {
        put_data(disc, next);
        return next++;
    }
};

std::vector<StreamInfo> scan(Layout& l) { return scan_image<CorvanePlugin>(l.disc); }

}  // namespace

TEST(CorvaneScan, OnlyADiscMarkedAtSector16) {
    Layout l("OTHERGAME");
    l.audio(0);
    l.frame(0, 4, 1);
    l.frame(0, 4, 0);
    const auto bytes = l.disc.bytes();
    const TrackEntry track = data_track_entry();
    ScanContext* c = CorvanePlugin::scan_begin(1, &track);
    for (uint32_t lba = 0; lba < 16; ++lba) EXPECT_EQ(CorvanePlugin::scan_sector(c, track, lba, bytes.data()), 1);
    EXPECT_EQ(CorvanePlugin::scan_sector(c, track, 16, bytes.data() + 16 * 2352), 0);
    EXPECT_EQ(CorvanePlugin::scan_sector(c, track, 30, bytes.data() + 30 * 2352), 0);
    EXPECT_EQ(CorvanePlugin::scan_sector(c, track, 40, nullptr), 0);
    EXPECT_EQ(CorvanePlugin::scan_result(c, 0, nullptr), -1);
    CorvanePlugin::scan_end(c);

    // An end of the scan at sector 16 or before finds nothing and reads nothing.
    c = CorvanePlugin::scan_begin(1, &track);
    EXPECT_EQ(CorvanePlugin::scan_sector(c, track, 16, nullptr), 0);
    EXPECT_EQ(CorvanePlugin::scan_sector(c, track, 3, nullptr), 0);
    CorvanePlugin::scan_end(c);

    TrackEntry two[2] = {track, track};
    EXPECT_EQ(CorvanePlugin::scan_begin(2, two), nullptr);
    TrackEntry audio_track{};
    EXPECT_EQ(CorvanePlugin::scan_begin(1, &audio_track), nullptr);
}

TEST(CorvaneScan, EveryScanStartsWithTheMarkerCleared) {
    Layout marked;
    marked.audio(0);
    marked.frame(0, 4, 1);
    marked.frame(0, 4, 0);
    EXPECT_EQ(scan(marked).size(), 1u);
    EXPECT_EQ(CorvaneScanner::volume_marker_seen, 1);
    const TrackEntry track = data_track_entry();
    ScanContext* c = CorvanePlugin::scan_begin(1, &track);
    EXPECT_EQ(CorvaneScanner::volume_marker_seen, 0);
    const auto bytes = marked.disc.bytes();
    EXPECT_EQ(CorvanePlugin::scan_sector(c, track, 30, bytes.data() + 30 * 2352), 0);  // sector 16 unseen
    CorvanePlugin::scan_end(c);
}

TEST(CorvaneScan, FramesCountFromTheFirstChunkTaken) {
    // Started while no stream is active: the creating chunk is not taken, so the count comes from
    // the next first chunk: 299.
    Layout idle;
    for (int f = 299; f >= 0; --f) idle.frame(0, 2, static_cast<uint16_t>(f));
    idle.data();
    auto found = scan(idle);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].frame_count, 299u);
    EXPECT_EQ(found[0].start_sector, 24u);
    EXPECT_EQ(found[0].sector_count, 600u);  // to the last chunk of the frame counted down to 0
    EXPECT_EQ(found[0].frame_rate, 300);     // 2 sectors a frame
    EXPECT_EQ(found[0].kind, 0x01);

    // Started while another stream is active: the creating chunk is taken: 300.
    Layout busy;
    busy.audio(5);  // an audio stream on channel 5 is active
    for (int f = 299; f >= 0; --f) {
        busy.frame(0, 2, static_cast<uint16_t>(f));
        if (f % 50 == 0) busy.audio(5);
    }
    busy.data();
    found = scan(busy);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].frame_count, 300u);
    EXPECT_EQ(found[1].start_sector, 25u);
}

TEST(CorvaneScan, FrameRateFromSectorsPerFrameAndTheAudioOnlyEntry) {
    Layout l;
    l.audio(0);  // opens the movie: its coding is known from the start
    for (int f = 9; f >= 0; --f) l.frame(0, 10, static_cast<uint16_t>(f));
    for (int i = 0; i < 7; ++i) l.audio(2);  // an audio stream of its own on channel 2
    l.data();
    const auto found = scan(l);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].kind, 0x03);
    EXPECT_EQ(found[0].frame_count, 10u);
    EXPECT_EQ(found[0].sector_count, 101u);
    EXPECT_EQ(found[0].frame_rate, 150);  // 10 sectors a frame
    EXPECT_EQ(found[0].duration_ms, 10u * 10000 / 150);
    EXPECT_EQ(found[0].payload_bytes, 2304u + 100 * 2016);
    EXPECT_EQ(found[1].kind, 0x02);
    EXPECT_EQ(found[1].sector_count, 7u);
    EXPECT_EQ(found[1].frame_rate, 150);  // 7 sectors for its one "frame"
    EXPECT_EQ(found[1].duration_ms, 6u * 40320 / 756);  // the creating sector is not counted
    EXPECT_EQ(found[1].channels, 2);
    EXPECT_EQ(found[1].sample_rate, 37800u);

    Layout fast;
    fast.audio(0);
    for (int f = 9; f >= 0; --f) fast.frame(0, 4, static_cast<uint16_t>(f));
    fast.data();
    EXPECT_EQ(scan(fast).at(0).frame_rate, 300);  // 4 sectors a frame
}

TEST(CorvaneScan, ClosePassRemovesVideoWithoutFrames) {
    Layout l;
    l.video(0, 0, 2, 5);  // opens while idle, then the stream stops after one more chunk
    l.video(0, 1, 2, 5);
    l.data();
    EXPECT_TRUE(scan(l).empty());

    // A single-frame movie closes itself at its last chunk; the next close pass removes it anyway.
    Layout single;
    single.audio(5);
    single.video(0, 0, 1, 0);  // frames 1, closed at once
    single.audio(5);
    single.data();
    const auto found = scan(single);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, 0x02);

    // A picture of width 0 is removed too, at the close pass that a sector outside the streams
    // starts while one is still open (here channel 5's audio).
    Layout narrow;
    narrow.audio(5);
    narrow.audio(0);
    for (int f = 3; f >= 0; --f) {
        for (uint8_t i = 0; i < 3; ++i) narrow.video(0, i, 3, static_cast<uint16_t>(f), 0x48, 0);
    }
    narrow.data();
    const auto left = scan(narrow);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].kind, 0x02);  // channel 5's audio alone
}

TEST(CorvaneScan, EndPassClosesWhatIsStillOpen) {
    Layout l;
    l.audio(0);
    for (int f = 9; f >= 5; --f) l.frame(0, 3, static_cast<uint16_t>(f));  // the movie is cut off
    l.audio(1);           // channel 1 joins
    l.video(2, 1, 3, 7);  // channel 2 begins mid-frame: no first chunk, so frames stays 1
    const auto found = scan(l);
    ASSERT_EQ(found.size(), 2u);  // channel 2's entry is removed
    EXPECT_EQ(found[0].frame_count, 10u);
    EXPECT_EQ(found[0].sector_count, 16u);
    EXPECT_EQ(found[1].kind, 0x02);
    EXPECT_EQ(found[1].sector_count, 1u);
}

TEST(CorvaneScan, SectorsThatStartNothing) {
    Layout l;
    l.video(0, 0, 2, 0, 0x68, 320, 0xFE);  // a Form 2 end sector
    l.audio(0xFF);                          // audio on channel 0xFF
    put_audio(l.disc, l.next++, {});       // file 1 but ...
    l.disc.put(l.next++, {2, 0, 0x64, 0x01}, {});  // file 2: not the game's
    l.data();
    // Of them all, only the plain audio sector of the game's file starts a stream: sound alone.
    const auto found = scan(l);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].start_sector, 26u);
    EXPECT_EQ(found[0].kind, 0x02);
}

TEST(CorvaneScan, AudioOfAnotherCodingEndsAMovie) {
    Layout l;
    l.audio(0);
    for (int f = 5; f >= 3; --f) l.frame(0, 4, static_cast<uint16_t>(f));
    l.audio(0, 0x05);  // 18900 Hz now
    for (int f = 2; f >= 0; --f) l.frame(0, 4, static_cast<uint16_t>(f));
    l.data();
    const auto found = scan(l);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].frame_count, 6u);
    EXPECT_EQ(found[0].sector_count, 13u);  // up to its last chunk before the change
    EXPECT_EQ(found[1].start_sector, 37u);   // the new stream starts at the changed audio
    EXPECT_EQ(found[1].frame_count, 3u);
    EXPECT_EQ(found[1].sample_rate, 18900u);
}

TEST(CorvaneScan, MoreThan255StreamsKeepTheirPlaces) {
    Layout l;
    for (int i = 0; i < 300; ++i) {
        l.audio(static_cast<uint8_t>(i % 200));
        l.audio(static_cast<uint8_t>(i % 200));
        l.data();
    }
    const auto found = scan(l);
    ASSERT_EQ(found.size(), 300u);
    EXPECT_EQ(found[299].start_sector, 24u + 299 * 3);
    EXPECT_EQ(found[299].sector_count, 2u);
}

namespace {

struct Unit {
    uint32_t frame_number, width, payload_size;
};

std::vector<Unit> play(const MemoryDisc& disc, const StreamInfo& info, std::function<void(StreamHandle*)> before = {}) {
    auto frame = std::make_unique<FrameBuffer>();
    StreamHandle* s = CorvanePlugin::open(disc.handle(), &info);
    if (before) before(s);
    std::vector<Unit> units;
    while (CorvanePlugin::read(s, frame.get())) {
        EXPECT_LE(frame->payload_size, kFrameBufferCapacity);
        units.push_back({frame->frame_number, frame->width, frame->payload_size});
    }
    CorvanePlugin::close(s);
    return units;
}

StreamInfo range(uint32_t start, uint32_t count, uint32_t duration = 1000) {
    StreamInfo info{};
    info.kind = 0x03;
    info.start_sector = start;
    info.sector_count = count;
    info.duration_ms = duration;
    return info;
}

}  // namespace

TEST(CorvaneRead, FramesNumberedFromTheCountdown) {
    Layout l;
    for (int f = 299; f >= 0; --f) {
        for (uint8_t i = 0; i < 7; ++i) l.video(0, i, 7, static_cast<uint16_t>(f));
        if (f % 100 == 0) l.video(0, 0, 2, static_cast<uint16_t>(f), 0x68);  // Form 2: never delivered
    }
    MemoryDisc disc(l.disc);
    const auto units = play(disc, range(24, l.next - 24));
    ASSERT_EQ(units.size(), 300u);
    for (uint32_t i = 0; i < 300; ++i) {
        EXPECT_EQ(units[i].frame_number, i + 1);
        EXPECT_EQ(units[i].payload_size, 7u * 2016);
    }
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
}

TEST(CorvaneRead, AudioAloneBeforeAFrameAndHeldWithinIt) {
    Layout l;
    l.audio(3);                // fixes the channel: 3
    l.video(3, 0, 2, 4);
    l.audio(3);
    l.audio(4);                // another channel: passed over
    l.audio(3);
    l.video(3, 1, 2, 4);
    l.video(3, 0, 2, 3);
    MemoryDisc disc(l.disc);
    const auto units = play(disc, range(24, 7));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].payload_size, 2304u);
    EXPECT_EQ(units[0].frame_number, 0u);
    EXPECT_EQ(units[1].frame_number, 1u);
    EXPECT_EQ(units[1].payload_size, 2u * 2016);
    EXPECT_EQ(units[2].payload_size, 2u * 2304);  // the two held, together
}

TEST(CorvaneRead, SeekInProportionAndRemaining) {
    Layout l;
    for (int f = 9; f >= 0; --f) l.frame(0, 10, static_cast<uint16_t>(f));
    MemoryDisc disc(l.disc);
    // 100 sectors lasting 2000 ms: 1050 ms is sector 52, inside frame 6; frame 7 comes first.
    auto units = play(disc, range(24, 100, 2000), [](StreamHandle* s) { EXPECT_EQ(CorvanePlugin::seek(s, 1050), 1); });
    EXPECT_EQ(disc.stats().last_read_pointer, 52u);
    ASSERT_EQ(units.size(), 4u);
    // Numbers count from the first chunk 0 read since the open: frame 7 of 10 is "1".
    EXPECT_EQ(units[0].frame_number, 1u);
    // Past the end: the target is not limited, and this sector library refuses it.
    int32_t result = 1;
    units = play(disc, range(24, 100, 2000), [&](StreamHandle* s) { result = CorvanePlugin::seek(s, 3000); });
    EXPECT_EQ(disc.stats().last_read_pointer, 150u);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(units.size(), 10u);  // still at the start, with all its sectors to go
    // A product past 32 bits still lands in proportion.
    units = play(disc, range(24, 100, 2000000000), [&](StreamHandle* s) { result = CorvanePlugin::seek(s, 1000000000); });
    EXPECT_EQ(disc.stats().last_read_pointer, 50u);
    // No duration: no seek.
    units = play(disc, range(24, 100, 0), [&](StreamHandle* s) { result = CorvanePlugin::seek(s, 10); });
    EXPECT_EQ(result, 0);
}

TEST(CorvaneRead, FourAttemptsBeforeGivingUp) {
    Layout l;
    l.frame(0, 2, 1);
    l.frame(0, 2, 0);
    MemoryDisc disc(l.disc);
    auto frame = std::make_unique<FrameBuffer>();
    StreamInfo info = range(24, 4);
    StreamHandle* s = CorvanePlugin::open(disc.handle(), &info);
    disc.fail({-1, 0, 3, -1});
    EXPECT_EQ(CorvanePlugin::read(s, frame.get()), 1);
    disc.fail({-1, 0, 4, -1});
    EXPECT_EQ(CorvanePlugin::read(s, frame.get()), 0);
    EXPECT_EQ(CorvanePlugin::read(s, frame.get()), 1);  // the sectors still to come stayed counted
    EXPECT_EQ(frame->frame_number, 2u);
    CorvanePlugin::close(s);
}

TEST(CorvaneRead, AFrameNeverPassesTheBuffer) {
    Layout l;
    for (int i = 0; i < 70; ++i) l.video(0, static_cast<uint8_t>(i % 200 + (i == 0 ? 0 : 1)), 65535, 3);
    l.video(0, 0, 2, 3);
    l.video(0, 1, 2, 3);
    MemoryDisc disc(l.disc);
    const auto units = play(disc, range(24, 72));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].payload_size, 2u * 2016);  // the first chunk began the frame afresh
}

TEST(CorvaneRead, DescribesVideoOnly) {
    Layout l;
    l.audio(0);
    for (int f = 49; f >= 0; --f) l.frame(0, 8, static_cast<uint16_t>(f));
    MemoryDisc disc(l.disc);
    StreamInfo info;
    std::memset(&info, 0x3A, sizeof info);
    ASSERT_EQ(CorvanePlugin::describe(disc.handle(), 24, 401, &info), 1);
    EXPECT_EQ(info.kind, 0x01);
    EXPECT_EQ(info.has_audio, 0);
    EXPECT_EQ(info.sector_count, 401u);
    EXPECT_EQ(info.frame_count, 13u);  // the last first chunk of the 300 sectors read counts 13
    EXPECT_EQ(info.frame_rate, 150);   // 401 / 13 >= 6
    EXPECT_EQ(info.duration_ms, 13u * 10000 / 150);
    EXPECT_EQ(info.payload_bytes, 0x3A3A3A3Au);
    // Chunks but no first chunk: no count of frames, no description.
    EXPECT_EQ(CorvanePlugin::describe(disc.handle(), 26, 6, &info), 0);
}
