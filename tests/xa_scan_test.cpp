// The scans of ostrand, drumvale and velocet: runs, streams per channel, what ends them and which
// count, and each row in which the three differ.
#include <gtest/gtest.h>

#include "plugins/xa/xa_plugin.h"
#include "support/sector_kit.h"

using namespace testing_support;
using discbuilder::DiscImage;
using plugins::xa::Drumvale;
using plugins::xa::Ostrand;
using plugins::xa::Velocet;
using plugins::xa::XaPlugin;

namespace {

using OstrandPlugin = XaPlugin<Ostrand>;
using DrumvalePlugin = XaPlugin<Drumvale>;
using VelocetPlugin = XaPlugin<Velocet>;

void blank(DiscImage& d, uint32_t lba, uint8_t channel) {
    Audio a;
    a.channel = channel;
    a.fill = 0;
    put_audio(d, lba, a);
}
void marker(DiscImage& d, uint32_t lba, uint8_t channel, uint32_t word = 0xAB) {
    std::vector<uint8_t> user(2048);
    psr::store_le32(user.data(), word);
    d.put(lba, {1, channel, 0x48, 0x01}, user);
}

template <class Plugin>
std::vector<StreamInfo> scan(DiscImage& d, uint32_t from) {
    return scan_image<Plugin>(d, from);
}

}  // namespace

TEST(XaScan, OstrandTwoChannelsAlternating) {
    DiscImage d;
    for (uint32_t lba = 1000; lba < 1100; ++lba) put_channel_audio(d, lba, static_cast<uint8_t>(lba % 2));
    put_data(d, 1100);
    const auto found = scan<OstrandPlugin>(d, 1000);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].start_sector, 1000u);
    EXPECT_EQ(found[0].sector_count, 99u);
    EXPECT_EQ(found[1].start_sector, 1001u);
    EXPECT_EQ(found[1].sector_count, 99u);
    for (const StreamInfo& i : found) {
        EXPECT_EQ(i.duration_ms, 2666u);
        EXPECT_EQ(i.kind, 0x02);
        EXPECT_EQ(i.channels, 2);
        EXPECT_EQ(i.bits_per_sample, 16);
        EXPECT_EQ(i.sample_rate, 37800u);
        EXPECT_EQ(i.frame_count, 0u);
    }
}

TEST(XaScan, OstrandNeedsEightSectorsAtTheRunsEnd) {
    for (uint32_t n : {7u, 8u}) {
        DiscImage d;
        for (uint32_t i = 0; i < n; ++i) put_channel_audio(d, 20 + i, 1);
        put_data(d, 20 + n);
        const auto found = scan<OstrandPlugin>(d, 20);
        ASSERT_EQ(found.size(), n == 8 ? 1u : 0u);
        if (n == 8) {
            EXPECT_EQ(found[0].duration_ms, 426u);
        }
    }
}

TEST(XaScan, OstrandBlankSectorsEndSongs) {
    auto song = [](uint32_t non_blank) {
        DiscImage d;
        for (uint32_t i = 0; i < non_blank; ++i) put_channel_audio(d, 500 + i, 2);
        blank(d, 500 + non_blank, 2);
        put_data(d, 501 + non_blank);
        return scan<OstrandPlugin>(d, 500);
    };
    const auto seven = song(7);  // the blank counts: 8
    ASSERT_EQ(seven.size(), 1u);
    EXPECT_EQ(seven[0].sector_count, 7u);
    EXPECT_EQ(seven[0].duration_ms, 426u);
    EXPECT_TRUE(song(6).empty());  // 7 counted: dropped at the finish
    EXPECT_TRUE(song(2).empty());  // dropped at the blank

    // A blank outside a run starts nothing; a blank on a channel with no stream changes nothing;
    // after a blank, the channel's next song is a stream of its own.
    DiscImage d;
    blank(d, 10, 0);
    for (uint32_t i = 0; i < 10; ++i) put_channel_audio(d, 11 + i, 2);
    blank(d, 21, 5);
    blank(d, 22, 2);
    for (uint32_t i = 0; i < 9; ++i) put_channel_audio(d, 23 + i, 2);
    put_data(d, 32);
    const auto found = scan<OstrandPlugin>(d, 10);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].start_sector, 11u);
    EXPECT_EQ(found[0].sector_count, 10u);
    EXPECT_EQ(found[1].start_sector, 23u);
    EXPECT_EQ(found[1].sector_count, 9u);
}

TEST(XaScan, EndOfFileAudioCountsExceptInDrumvale) {
    DiscImage d;
    for (uint32_t i = 0; i < 10; ++i) put_channel_audio(d, 50 + i, 0, i == 4 ? 0xE4 : 0x64);
    put_data(d, 60);
    EXPECT_EQ(scan<OstrandPlugin>(d, 50).at(0).sector_count, 10u);
    EXPECT_EQ(scan<VelocetPlugin>(d, 50).at(0).sector_count, 10u);
    // drumvale: the 0xE4 sector ends the run and nothing was closed by a marker.
    EXPECT_TRUE(scan<DrumvalePlugin>(d, 50).empty());
}

TEST(XaScan, OtherCodingsEndARunAndAreNeverReported) {
    DiscImage d;
    for (uint32_t i = 0; i < 10; ++i) put_channel_audio(d, 50 + i, 0);
    for (uint32_t i = 0; i < 10; ++i) put_channel_audio(d, 60 + i, 1, 0x64, 0x05);  // 18900 Hz
    for (uint32_t i = 0; i < 10; ++i) put_channel_audio(d, 70 + i, 2, 0x64, 0x00);  // mono
    const auto found = scan<OstrandPlugin>(d, 50);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].sector_count, 10u);
}

TEST(XaScan, StreamsRunningToTheTracksEndAreNotReported) {
    DiscImage d;
    for (uint32_t i = 0; i < 20; ++i) put_channel_audio(d, i, static_cast<uint8_t>(i % 2));
    EXPECT_TRUE(scan<OstrandPlugin>(d, 0).empty());
    EXPECT_TRUE(scan<DrumvalePlugin>(d, 0).empty());
    EXPECT_TRUE(scan<VelocetPlugin>(d, 0).empty());
}

TEST(XaScan, DrumvaleFollowsItsRotationAcrossScans) {
    Drumvale::slot = -1;
    Drumvale::max_channel = -1;
    DiscImage d;
    for (uint32_t lba = 2000; lba < 2402; ++lba) put_channel_audio(d, lba, static_cast<uint8_t>((lba - 2000) % 4));
    marker(d, 2402, 2);
    put_data(d, 2403);
    const auto found = scan<DrumvalePlugin>(d, 2000);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].start_sector, 2002u);
    EXPECT_EQ(found[0].sector_count, 401u);
    EXPECT_EQ(found[0].duration_ms, 5386u);
    EXPECT_EQ(Drumvale::max_channel, 3);

    // A run on channels 0 and 1 only: with max_channel still 3 from the first scan, the rotation
    // expects four positions, so the channel-1 marker at the fourth sector lands on channel 3's.
    DiscImage e;
    put_channel_audio(e, 0, 0);
    put_channel_audio(e, 1, 1);
    put_channel_audio(e, 2, 0);
    marker(e, 3, 1);
    put_data(e, 4);
    EXPECT_TRUE(scan<DrumvalePlugin>(e, 0).empty());
    Drumvale::max_channel = -1;  // as after a fresh load
    const auto fresh = scan<DrumvalePlugin>(e, 0);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].start_sector, 1u);
    EXPECT_EQ(fresh[0].sector_count, 3u);
}

TEST(XaScan, DrumvaleEndsARunAtChannelFour) {
    Drumvale::max_channel = -1;
    DiscImage d;
    put_channel_audio(d, 0, 0);
    put_channel_audio(d, 1, 1);
    put_channel_audio(d, 2, 4);  // not audio to drumvale
    marker(d, 3, 1);
    marker(d, 4, 0);
    put_data(d, 5);
    EXPECT_TRUE(scan<DrumvalePlugin>(d, 0).empty());
}

TEST(XaScan, VelocetEndsARunAtARepeatedDataWord) {
    auto run = [](uint32_t sectors_on_channel) {
        DiscImage d;
        uint32_t lba = 0;
        for (uint32_t i = 0; i < sectors_on_channel; ++i) {
            if (i == 1) {
                marker(d, lba++, 0, 0x100);  // a data sector counts for its channel
            } else {
                put_channel_audio(d, lba++, 0);
            }
        }
        marker(d, lba++, 7, 0x200);
        marker(d, lba++, 9, 0x200);  // the same word on another channel: the run ends here
        put_channel_audio(d, lba++, 0);          // a new run begins
        return scan<VelocetPlugin>(d, 0);
    };
    EXPECT_TRUE(run(2).empty());
    const auto three = run(3);
    ASSERT_EQ(three.size(), 1u);
    EXPECT_EQ(three[0].sector_count, 3u);
    EXPECT_EQ(three[0].duration_ms, 3u * 40320 / 756);
}

TEST(XaScan, ResultsTheirIndexesAndTheShortRecord) {
    DiscImage d;
    for (uint32_t lba = 0; lba < 30; ++lba) put_channel_audio(d, lba, static_cast<uint8_t>(lba % 3));
    put_data(d, 30);
    const auto bytes = d.bytes();
    const TrackEntry track = data_track_entry();
    ScanContext* c = OstrandPlugin::scan_begin(1, &track);
    for (uint32_t lba = 0; lba < 31; ++lba) EXPECT_EQ(OstrandPlugin::scan_sector(c, track, lba, bytes.data() + lba * 2352), 1);
    EXPECT_EQ(OstrandPlugin::scan_sector(c, track, 31, nullptr), 0);
    StreamInfo info;
    std::memset(&info, 0x77, sizeof info);
    EXPECT_EQ(OstrandPlugin::scan_result(c, 3, &info), -1);
    EXPECT_EQ(OstrandPlugin::scan_result(c, -1, &info), -1);
    EXPECT_EQ(info.kind, 0x7777);
    EXPECT_EQ(OstrandPlugin::scan_result(c, 2, nullptr), 3);
    EXPECT_EQ(OstrandPlugin::scan_result(c, 2, &info), 3);
    EXPECT_EQ(info.start_sector, 2u);
    EXPECT_EQ(info.payload_bytes, 0x77777777u);  // an interface-220 record ends at byte 40
    OstrandPlugin::scan_end(c);

    TrackEntry tracks[2] = {track, track};
    EXPECT_EQ(VelocetPlugin::scan_begin(2, tracks), nullptr);
    tracks[0].bytes[1] = 0;
    EXPECT_EQ(DrumvalePlugin::scan_begin(1, tracks), nullptr);
}

TEST(XaScan, HundredsOfStreamsAndAFailedGrowth) {
    DiscImage d;
    uint32_t lba = 0;
    for (int run = 0; run < 60; ++run) {
        for (uint32_t i = 0; i < 24; ++i) put_channel_audio(d, lba++, static_cast<uint8_t>(i % 8));  // 8 streams of 3
        put_data(d, lba++);
    }
    EXPECT_EQ(scan<VelocetPlugin>(d, 0).size(), 480u);

    // The context and table are the first two allocations; the growth to 20 entries fails, so the
    // 11th stream's opening sector is ignored and its next sector opens it instead.
    psr::heap::allocations_before_failure = 2;
    const auto found = scan<VelocetPlugin>(d, 0);
    psr::heap::allocations_before_failure = -1;
    // Runs take 25 sectors: the 11th stream is channel 2 of the second run, at 27.
    ASSERT_EQ(found.size(), 479u);  // opened at 35 instead, it has 2 sectors: too few
    EXPECT_EQ(found[9].start_sector, 26u);
    EXPECT_EQ(found[10].start_sector, 28u);
}
