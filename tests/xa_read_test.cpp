// The playback of ostrand, drumvale and velocet: the interleave search, one channel's audio, the
// retries after failed reads, and each game's seek.
#include <gtest/gtest.h>

#include <memory>

#include "plugins/xa/xa_plugin.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

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


StreamInfo stream(uint32_t start, uint32_t count, uint32_t duration_ms = 1000, uint16_t channels = 2) {
    StreamInfo info{};
    info.kind = 0x02;
    info.start_sector = start;
    info.sector_count = count;
    info.duration_ms = duration_ms;
    info.channels = channels;
    info.sample_rate = 37800;
    return info;
}

// The LBA each delivered payload carries.
template <class Plugin>
std::vector<uint32_t> read_lbas(StreamHandle* s, size_t most = 1000) {
    auto frame = std::make_unique<FrameBuffer>();
    std::vector<uint32_t> lbas;
    while (lbas.size() < most && Plugin::read(s, frame.get())) {
        EXPECT_EQ(frame->payload_size, 2304u);
        EXPECT_EQ(frame->frame_number, 0u);
        lbas.push_back(psr::load_le32(frame->payload));
    }
    return lbas;
}

}  // namespace

TEST(XaRead, DescribesByTheInterleaveOfTheFirstSector) {
    DiscImage d;
    for (uint32_t lba = 0; lba < 800; ++lba) put_channel_audio(d, lba, static_cast<uint8_t>(3 + lba % 8));
    MemoryDisc disc(d);
    StreamInfo info;
    std::memset(&info, 0x66, sizeof info);
    ASSERT_EQ(OstrandPlugin::describe(disc.handle(), 0, 800, &info), 1);
    EXPECT_EQ(info.kind, 0x02);
    EXPECT_EQ(info.sector_count, 800u);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.sample_rate, 37800u);
    EXPECT_EQ(info.bits_per_sample, 16);
    EXPECT_EQ(info.duration_ms, 5333u);  // 100 sectors of the channel
    EXPECT_EQ(info.payload_bytes, 0x66666666u);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
}

TEST(XaRead, OneSectorRangesAndCodings) {
    DiscImage d;
    put_channel_audio(d, 0, 1, 0x64, 0x01);
    put_channel_audio(d, 1, 1, 0x64, 0x00);
    put_channel_audio(d, 2, 1, 0x64, 0x04);
    MemoryDisc disc(d);
    StreamInfo info{};
    ASSERT_EQ(VelocetPlugin::describe(disc.handle(), 0, 1, &info), 1);
    EXPECT_EQ(info.duration_ms, 53u);
    ASSERT_EQ(VelocetPlugin::describe(disc.handle(), 1, 1, &info), 1);
    EXPECT_EQ(info.duration_ms, 106u);
    EXPECT_EQ(info.channels, 1);
    ASSERT_EQ(VelocetPlugin::describe(disc.handle(), 2, 1, &info), 1);
    EXPECT_EQ(info.duration_ms, 213u);
    EXPECT_EQ(info.sample_rate, 18900u);
}

TEST(XaRead, NoSecondSectorOfTheModelMeansNoDescription) {
    DiscImage d;
    put_channel_audio(d, 0, 5);
    for (uint32_t lba = 1; lba < 300; ++lba) put_channel_audio(d, lba, 6);
    put_channel_audio(d, 300, 5);  // beyond the 256 sectors searched
    MemoryDisc disc(d);
    StreamInfo info;
    std::memset(&info, 0x12, sizeof info);
    EXPECT_EQ(DrumvalePlugin::describe(disc.handle(), 0, 301, &info), 0);
    EXPECT_EQ(DrumvalePlugin::describe(disc.handle(), 0, 50, &info), 0);
    EXPECT_EQ(info.kind, 0x1212);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);

    // The end-of-file bit is part of the model: a plain sector does not match an 0xE4 one.
    DiscImage e;
    put_channel_audio(e, 0, 0, 0xE4);
    put_channel_audio(e, 1, 0);
    put_channel_audio(e, 2, 0);
    put_channel_audio(e, 3, 0, 0xE4);
    MemoryDisc eof(e);
    ASSERT_EQ(OstrandPlugin::describe(eof.handle(), 0, 4, &info), 1);
    EXPECT_EQ(info.duration_ms, 2u * 40320 / 756);  // e = 3: (4 + 2) / 3 sectors
}

TEST(XaRead, DeliversOneChannelsAudioAndSkipsTheRest) {
    DiscImage d;
    put_data(d, 0);
    put_channel_audio(d, 1, 4);      // the first audio sector fixes the channel
    put_channel_audio(d, 2, 5);
    put_channel_audio(d, 3, 4, 0xE4);  // end of file: skipped
    put_channel_audio(d, 4, 4, 0x64, 0x05);  // another coding: skipped
    put_data(d, 5);
    put_channel_audio(d, 6, 4);
    MemoryDisc disc(d);
    StreamInfo info = stream(0, 7);
    StreamHandle* s = OstrandPlugin::open(disc.handle(), &info);
    EXPECT_EQ(disc.stats().last_buffer_setting, -1);
    EXPECT_EQ(read_lbas<OstrandPlugin>(s), (std::vector<uint32_t>{1, 6}));
    // A seek keeps the channel.
    EXPECT_EQ(OstrandPlugin::seek(s, 0), 1);
    EXPECT_EQ(read_lbas<OstrandPlugin>(s), (std::vector<uint32_t>{1, 6}));
    OstrandPlugin::close(s);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);

    // A seek before the first read fixes the channel of the first audio sector after it.
    StreamHandle* t = OstrandPlugin::open(disc.handle(), &info);
    EXPECT_EQ(OstrandPlugin::seek(t, 286), 1);  // 286 x 7 / 1000 = 2
    EXPECT_EQ(read_lbas<OstrandPlugin>(t), (std::vector<uint32_t>{2}));
    OstrandPlugin::close(t);
}

TEST(XaRead, ARangeWithoutAudioEndsAfterItsSectors) {
    DiscImage d;
    for (uint32_t lba = 0; lba < 20; ++lba) put_data(d, lba);
    MemoryDisc disc(d);
    StreamInfo info = stream(0, 20);
    StreamHandle* s = VelocetPlugin::open(disc.handle(), &info);
    auto frame = std::make_unique<FrameBuffer>();
    EXPECT_EQ(VelocetPlugin::read(s, frame.get()), 0);
    EXPECT_EQ(disc.stats().sectors_read, 20u);
    VelocetPlugin::close(s);
}

TEST(XaRead, FailedReadsAreTriedThreeMoreTimes) {
    DiscImage d;
    for (uint32_t lba = 0; lba < 10; ++lba) put_channel_audio(d, lba, 0);
    MemoryDisc disc(d);
    StreamInfo info = stream(0, 10);
    StreamHandle* s = DrumvalePlugin::open(disc.handle(), &info);
    disc.fail({-1, 0, 3, -1});
    EXPECT_EQ(read_lbas<DrumvalePlugin>(s, 1), (std::vector<uint32_t>{0}));  // three failures, then a sector
    disc.fail({-1, 0, 4, -1});
    auto frame = std::make_unique<FrameBuffer>();
    frame->payload_size = 99;
    EXPECT_EQ(DrumvalePlugin::read(s, frame.get()), 0);  // the fourth failure gives up
    EXPECT_EQ(frame->payload_size, 0u);
    EXPECT_EQ(read_lbas<DrumvalePlugin>(s, 1), (std::vector<uint32_t>{1}));
    DrumvalePlugin::close(s);
}

TEST(XaRead, SeeksBySamplesOrByDuration) {
    DiscImage d(8);
    MemoryDisc disc(d);
    auto seek_offset = [&](auto plugin, StreamInfo info, uint32_t ms) {
        using Plugin = decltype(plugin);
        StreamHandle* s = Plugin::open(disc.handle(), &info);
        const int32_t result = Plugin::seek(s, ms);
        Plugin::close(s);
        return std::make_pair(result, disc.stats().last_read_pointer);
    };
    // drumvale and velocet: ((10000 / 10) x 378) / 2016 x 4 = 748; capped at sector_count.
    EXPECT_EQ(seek_offset(DrumvalePlugin{}, stream(0, 5000), 10000).second, 748u);
    EXPECT_EQ(seek_offset(VelocetPlugin{}, stream(0, 5000), 10000).second, 748u);
    EXPECT_EQ(seek_offset(VelocetPlugin{}, stream(0, 5000), 1000000).second, 5000u);
    EXPECT_EQ(seek_offset(VelocetPlugin{}, stream(0, 5000, 1000, 1), 10000).second, 372u);  // mono: 4032 a sector
    // ostrand: in proportion to the duration, in 64 bits, without a cap.
    EXPECT_EQ(seek_offset(OstrandPlugin{}, stream(0, 8000, 60000), 30000).second, 4000u);
    EXPECT_EQ(seek_offset(OstrandPlugin{}, stream(0, 54000, 180000), 90000).second, 27000u);
    const auto past = seek_offset(OstrandPlugin{}, stream(0, 54000, 180000), 200000);
    EXPECT_EQ(past.second, 60000u);
    EXPECT_EQ(past.first, 0);  // this sector library refuses an offset past the range
    EXPECT_EQ(seek_offset(OstrandPlugin{}, stream(0, 54000, 1), 0xFFFFFFFF).second, 0xFFFFFFFFu);  // saturated
    // Streams that give no seek: refused, without a division by zero.
    EXPECT_EQ(seek_offset(OstrandPlugin{}, stream(0, 100, 0), 5).first, 0);
    EXPECT_EQ(seek_offset(DrumvalePlugin{}, stream(0, 100, 1000, 0), 5).first, 0);
    EXPECT_EQ(seek_offset(VelocetPlugin{}, stream(0, 100, 1000, 5000), 5).first, 0);
}

TEST(XaRead, SeekPastTheEndThenNothing) {
    DiscImage d;
    for (uint32_t lba = 0; lba < 40; ++lba) put_channel_audio(d, lba, 0);
    MemoryDisc disc(d);
    StreamInfo info = stream(0, 40);
    StreamHandle* s = VelocetPlugin::open(disc.handle(), &info);
    EXPECT_EQ(VelocetPlugin::seek(s, 1000000), 1);
    EXPECT_TRUE(read_lbas<VelocetPlugin>(s).empty());
    EXPECT_EQ(VelocetPlugin::seek(s, 100), 1);  // (10 x 378) / 2016 x 4 = 4
    EXPECT_EQ(read_lbas<VelocetPlugin>(s, 1), (std::vector<uint32_t>{4}));
    VelocetPlugin::close(s);
}

TEST(XaRead, OpenFailures) {
    DiscImage d(4);
    MemoryDisc disc(d);
    StreamInfo info = stream(0, 4);
    disc.fail({0, -1, 1, -1});
    EXPECT_EQ(OstrandPlugin::open(disc.handle(), &info), nullptr);
    disc.fail({0, -1, 1, -1});
    EXPECT_EQ(OstrandPlugin::describe(disc.handle(), 0, 4, &info), 0);
    psr::heap::allocations_before_failure = 0;
    EXPECT_EQ(OstrandPlugin::open(disc.handle(), &info), nullptr);
    psr::heap::allocations_before_failure = -1;
    EXPECT_EQ(disc.stats().readers_open, 0u);
}
