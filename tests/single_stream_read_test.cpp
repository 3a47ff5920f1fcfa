// The playback of selvane, grivet and tamsel: frames gathered whole, audio held and delivered,
// descriptions from a sample, seeking, and each row in which the three readers differ.
#include <gtest/gtest.h>

#include <memory>

#include "discbuilder/str_movie.h"
#include "plugins/str/single_stream_plugin.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

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

struct Unit {
    uint32_t frame_number, width, height, frame_rate;
    std::vector<uint8_t> payload;
};

// Opens a stream and reads units from it.
template <class Plugin>
class Player {
public:
    Player(const MemoryDisc& disc, const StreamInfo& info)
        : frame_(std::make_unique<FrameBuffer>()), stream_(Plugin::open(disc.handle(), &info)) {}
    ~Player() {
        if (stream_) Plugin::close(stream_);
    }
    bool opened() const { return stream_ != nullptr; }
    bool read(Unit& unit) {
        if (!Plugin::read(stream_, frame_.get())) return false;
        EXPECT_LE(frame_->payload_size, kFrameBufferCapacity);
        unit = {frame_->frame_number, frame_->width, frame_->height, frame_->frame_rate,
                std::vector<uint8_t>(frame_->payload, frame_->payload + std::min(frame_->payload_size, kFrameBufferCapacity))};
        return true;
    }
    std::vector<Unit> read_all() {
        std::vector<Unit> units;
        Unit u;
        while (read(u)) units.push_back(u);
        return units;
    }
    int32_t seek(uint32_t ms) { return Plugin::seek(stream_, ms); }

private:
    std::unique_ptr<FrameBuffer> frame_;
    StreamHandle* stream_;
};

StreamInfo range(uint16_t kind, uint32_t start, uint32_t count) {
    StreamInfo info{};
    info.kind = kind;
    info.start_sector = start;
    info.sector_count = count;
    info.frame_count = 10;
    info.frame_rate = 150;
    info.channels = 2;
    info.sample_rate = 37800;
    return info;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

template <class Plugin>
void plays_built_movie(discbuilder::MoviePlan plan, int32_t buffer_setting) {
    DiscImage image;
    discbuilder::Tone tone(37800, 440, 660);
    plan.frames = 24;
    const auto movie = discbuilder::write_str_movie(image, 20, plan, tone);
    put_data(image, movie.end_lba);
    const auto found = scan_image<Plugin>(image);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(found[0].start_sector, 20u);

    MemoryDisc disc(image);
    std::vector<std::vector<uint8_t>> frames, audio;
    {
        Player<Plugin> player(disc, found[0]);
        EXPECT_EQ(disc.stats().last_buffer_setting, buffer_setting);
        for (const Unit& u : player.read_all()) {
            if (u.frame_number) {
                EXPECT_EQ(u.frame_number, frames.size() + 1);
                frames.push_back(u.payload);
            } else {
                ASSERT_EQ(u.payload.size() % 2304, 0u);
                audio.push_back(u.payload);
            }
        }
        EXPECT_LE(disc.stats().max_buffers_held, 9u);
    }
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
    EXPECT_EQ(disc.stats().readers_open, 0u);
    ASSERT_EQ(frames.size(), movie.frames.size());
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], movie.frames[i]) << "frame " << i + 1;
    std::vector<std::vector<uint8_t>> written;
    for (size_t i = 0; i < movie.audio.size(); ++i) {
        std::vector<uint8_t> payload(movie.audio[i].begin(), movie.audio[i].end());
        if (plan.last_audio_end_of_file && i + 1 == movie.audio.size()) payload.assign(2304, 0);  // silence
        written.push_back(payload);
    }
    EXPECT_EQ(concat(audio), concat(written));
}

}  // namespace

TEST(SingleStreamRead, PlaysEachGamesBuiltMovieByteForByte) {
    plays_built_movie<SelvanePlugin>(discbuilder::selvane_movie(), 8);
    plays_built_movie<GrivetPlugin>(discbuilder::grivet_movie(), 8);
    plays_built_movie<TamselPlugin>(discbuilder::tamsel_movie(), -1);
}

TEST(SingleStreamRead, AudioInsideAFrameWaitsUpToEightSectors) {
    DiscImage image;
    put_audio(image, 0);  // before any frame: delivered alone
    Chunk c;
    c.count = 2;
    c.bytes = 3000;
    put_chunk(image, 1, c);
    for (uint32_t i = 0; i < 9; ++i) put_audio(image, 2 + i);
    c.index = 1;
    put_chunk(image, 11, c);
    c.frame = 2;
    c.index = 0;
    put_chunk(image, 12, c);
    c.index = 1;
    put_chunk(image, 13, c);
    MemoryDisc disc(image);
    Player<SelvanePlugin> player(disc, range(0x03, 0, 14));
    const auto units = player.read_all();
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[0].frame_number, 0u);
    EXPECT_EQ(units[0].payload, audio_data(0));
    EXPECT_EQ(units[1].frame_number, 1u);
    EXPECT_EQ(units[1].payload.size(), 3000u);
    // Eight of the nine come together, in order; the ninth is lost.
    ASSERT_EQ(units[2].payload.size(), 8u * 2304);
    EXPECT_EQ(units[2].frame_number, 0u);
    std::vector<uint8_t> eight;
    for (uint32_t i = 0; i < 8; ++i) {
        const auto a = audio_data(2 + i);
        eight.insert(eight.end(), a.begin(), a.end());
    }
    EXPECT_EQ(units[2].payload, eight);
    EXPECT_EQ(units[3].frame_number, 2u);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
}

TEST(SingleStreamRead, FrameDataStartsAtTheMdecHeader) {
    DiscImage image;
    Chunk c;
    c.count = 2;
    c.bytes = 3000;
    c.junk_words = 3;  // the marker at user-data offset 40: copied from 38
    put_chunk(image, 0, c);
    const auto first = chunk_data(c);
    c.index = 1;
    put_chunk(image, 1, c);
    const auto second = chunk_data(c);
    MemoryDisc disc(image);
    Player<SelvanePlugin> player(disc, range(0x01, 0, 2));
    Unit u;
    ASSERT_TRUE(player.read(u));
    std::vector<uint8_t> expected(first.begin() + 6, first.end());  // 2010 bytes from the first chunk
    expected.insert(expected.end(), second.begin(), second.begin() + (3000 - 2010));
    EXPECT_EQ(u.payload, expected);
}

TEST(SingleStreamRead, SkipsAFrameWithoutItsFirstChunkAndEndsMidFrame) {
    DiscImage image;
    Chunk c;
    c.count = 2;
    c.index = 1;
    put_chunk(image, 0, c);  // frame 1 without its chunk 0
    c.frame = 2;
    c.index = 0;
    put_chunk(image, 1, c);
    c.index = 1;
    put_chunk(image, 2, c);
    c.frame = 3;
    c.index = 0;
    put_chunk(image, 3, c);  // the range ends inside frame 3
    MemoryDisc disc(image);
    Player<SelvanePlugin> player(disc, range(0x01, 0, 4));
    const auto units = player.read_all();
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].frame_number, 2u);
}

TEST(SingleStreamRead, AFirstChunkRestartsAnUnfinishedFrame) {
    DiscImage image;
    Chunk c;
    c.count = 3;
    c.bytes = 5000;
    put_chunk(image, 0, c);
    c.index = 1;
    put_chunk(image, 1, c);
    c.frame = 2;
    c.count = 2;
    c.bytes = 2500;
    c.index = 0;
    put_chunk(image, 2, c);
    const auto first = chunk_data(c);
    c.index = 1;
    put_chunk(image, 3, c);
    const auto second = chunk_data(c);
    MemoryDisc disc(image);
    Player<SelvanePlugin> player(disc, range(0x01, 0, 4));
    Unit u;
    ASSERT_TRUE(player.read(u));
    EXPECT_EQ(u.frame_number, 2u);
    std::vector<uint8_t> expected(first.begin(), first.end());
    expected.insert(expected.end(), second.begin(), second.begin() + (2500 - 2016));
    EXPECT_EQ(u.payload, expected);  // payload_size counts the restarted frame alone
}

TEST(SingleStreamRead, AbsurdHeadersNeverPassTheFrameBuffer) {
    DiscImage image;
    Chunk c;
    c.count = 65535;
    c.bytes = 0xFFFFFFFF;
    for (uint16_t i = 0; i < 80; ++i) {  // 80 chunks of 2016 bytes: more than 128 KiB
        c.index = i;
        put_chunk(image, i, c);
    }
    c.index = 65534;  // the last chunk of the frame
    put_chunk(image, 80, c);
    c.frame = 0;  // chunk_count 0 and frame 0 never complete
    c.count = 0;
    c.index = 0;
    put_chunk(image, 81, c);
    c.index = 5;
    c.count = 2;  // an index beyond the count
    put_chunk(image, 82, c);
    MemoryDisc disc(image);
    for (int game = 0; game < 3; ++game) {
        std::vector<Unit> units;
        const StreamInfo info = range(0x11, 0, 83);
        if (game == 0) units = Player<SelvanePlugin>(disc, info).read_all();
        if (game == 1) units = Player<GrivetPlugin>(disc, info).read_all();
        if (game == 2) units = Player<TamselPlugin>(disc, info).read_all();
        for (const Unit& u : units) EXPECT_LE(u.payload.size(), kFrameBufferCapacity);
        if (game == 0) {
            ASSERT_EQ(units.size(), 1u);
            EXPECT_EQ(units[0].payload.size(), kFrameBufferCapacity);
        }
    }
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
}

TEST(SingleStreamRead, EachGamesChunkTestAndFrameNumber) {
    DiscImage image;
    Chunk c;
    c.type = 0;  // tamsel's chunks: no type, no picture size
    c.zero_size = true;
    c.count = 1;
    c.frame = 0x8005;
    c.submode = 0x08;  // not real-time: selvane's reader wants 0x48
    put_chunk(image, 0, c);
    MemoryDisc disc(image);
    const StreamInfo info = range(0x01, 0, 1);
    EXPECT_TRUE(Player<SelvanePlugin>(disc, info).read_all().empty());
    EXPECT_TRUE(Player<GrivetPlugin>(disc, info).read_all().empty());  // no size, no flag
    const auto tamsel = Player<TamselPlugin>(disc, info).read_all();
    ASSERT_EQ(tamsel.size(), 1u);
    EXPECT_EQ(tamsel[0].frame_number, 5u);
    EXPECT_EQ(tamsel[0].width, 320u);
    EXPECT_EQ(tamsel[0].height, 224u);

    DiscImage odd;
    Chunk g;
    g.width = 337;
    g.height = 241;
    put_chunk(odd, 0, g);
    MemoryDisc odd_disc(odd);
    EXPECT_EQ(Player<GrivetPlugin>(odd_disc, info).read_all().at(0).width, 336u);
    EXPECT_EQ(Player<SelvanePlugin>(odd_disc, info).read_all().at(0).width, 337u);
}

TEST(SingleStreamRead, TamselPlaysEndOfFileAudioAsSilence) {
    DiscImage image;
    Audio a;
    a.coding = 0x05;
    a.submode = 0xE4;
    put_audio(image, 0, a);
    MemoryDisc disc(image);
    const StreamInfo info = range(0x03, 0, 1);
    EXPECT_EQ(Player<TamselPlugin>(disc, info).read_all().at(0).payload, std::vector<uint8_t>(2304, 0));
    EXPECT_EQ(Player<SelvanePlugin>(disc, info).read_all().at(0).payload, audio_data(0, a));
}

TEST(SingleStreamRead, VaryingRateStreamsRateEachFrame) {
    DiscImage image;
    Chunk c;
    c.count = 11;
    for (uint16_t i = 0; i < 11; ++i) {
        c.index = i;
        put_chunk(image, i, c);
    }
    MemoryDisc disc(image);
    // 10 + 11 sectors: 75 by the common rule, 100 by tamsel's.
    EXPECT_EQ(Player<SelvanePlugin>(disc, range(0x13, 0, 11)).read_all().at(0).frame_rate, 75u);
    EXPECT_EQ(Player<SelvanePlugin>(disc, range(0x03, 0, 11)).read_all().at(0).frame_rate, 0u);
    c.type = 0;
    c.zero_size = true;
    DiscImage t;
    for (uint16_t i = 0; i < 11; ++i) {
        c.index = i;
        put_chunk(t, i, c);
    }
    MemoryDisc tamsel_disc(t);
    EXPECT_EQ(Player<TamselPlugin>(tamsel_disc, range(0x13, 0, 11)).read_all().at(0).frame_rate, 100u);
}

namespace {

// Sectors that say where they are: audio everywhere from offset 16, with the first two audio
// sectors at offsets 7 and 15 (numbers 8 and 16: a spacing of 8).
DiscImage seek_disc(uint32_t sectors) {
    DiscImage image;
    for (uint32_t lba = 0; lba < sectors; ++lba) {
        if (lba == 7 || lba >= 15) {
            put_audio(image, lba);
        } else {
            put_data(image, lba);
        }
    }
    return image;
}

template <class Plugin>
uint32_t sector_after_seek(Player<Plugin>& player, uint32_t ms) {
    EXPECT_EQ(player.seek(ms), 1);
    Unit u;
    if (!player.read(u)) return UINT32_MAX;
    return psr::load_le32(u.payload.data());  // each audio sector carries its LBA
}

}  // namespace

TEST(SingleStreamRead, SeeksByFrameRateOrByAudioSpacing) {
    DiscImage image = seek_disc(1000);
    MemoryDisc disc(image);
    // Without audio: (150 x 2000 / 10000) x 1000 / 100 = 300.
    StreamInfo silent = range(0x01, 0, 1000);
    silent.frame_count = 100;
    Player<SelvanePlugin> video(disc, silent);
    EXPECT_EQ(sector_after_seek(video, 2000), 300u);
    EXPECT_EQ(sector_after_seek(video, 0), 7u);
    EXPECT_EQ(sector_after_seek(video, 1000000), UINT32_MAX);  // past the end: sector_count, then nothing

    // With audio: 8 x 1000 x 378 / 20160 = 150 sectors, whatever frame_count says.
    StreamInfo sound = range(0x03, 0, 1000);
    sound.frame_count = 0;
    Player<SelvanePlugin> audio(disc, sound);
    EXPECT_EQ(sector_after_seek(audio, 1000), 150u);
    EXPECT_EQ(sector_after_seek(audio, 333), 49u);  // 8 x 333 x 378 / 20160 = 49.95
    sound.channels = 1;                              // 40320 / 1: half as far
    Player<GrivetPlugin> mono(disc, sound);
    EXPECT_EQ(sector_after_seek(mono, 1000), 75u);
    EXPECT_EQ(sector_after_seek(mono, 0xFFFFFFFF), UINT32_MAX);  // the product wraps in 32 bits first
}

TEST(SingleStreamRead, SeeksThatCannotBeComputedAreRefused) {
    DiscImage image = seek_disc(100);
    MemoryDisc disc(image);
    StreamInfo no_frames = range(0x01, 0, 100);
    no_frames.frame_count = 0;
    Player<SelvanePlugin> a(disc, no_frames);
    EXPECT_EQ(a.seek(1000), 0);
    StreamInfo no_channels = range(0x03, 0, 100);
    no_channels.channels = 0;
    Player<TamselPlugin> b(disc, no_channels);
    EXPECT_EQ(b.seek(1000), 0);
    Unit u;
    EXPECT_TRUE(b.read(u));  // still readable from where it was
}

TEST(SingleStreamRead, SeekGivesBackHeldAudio) {
    DiscImage image;
    Chunk c;
    c.count = 2;
    put_chunk(image, 0, c);
    put_audio(image, 1);
    put_audio(image, 2);
    c.index = 1;
    put_chunk(image, 3, c);
    MemoryDisc disc(image);
    Player<SelvanePlugin> player(disc, range(0x01, 0, 4));
    Unit u;
    ASSERT_TRUE(player.read(u));
    EXPECT_EQ(disc.stats().buffers_locked, 2u);
    EXPECT_EQ(player.seek(0), 1);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
    ASSERT_TRUE(player.read(u));
    EXPECT_EQ(u.frame_number, 1u);  // the frame again, not the audio
}

TEST(SingleStreamRead, DescribesFromASampleOfTheRange) {
    // Frames of 9 chunks and one audio sector each, frames 1 to 40.
    DiscImage image;
    uint32_t lba = 0;
    for (uint32_t f = 1; f <= 40; ++f) {
        Chunk c;
        c.count = 9;
        c.frame = f;
        c.width = 321;
        for (uint16_t i = 0; i < 9; ++i) {
            c.index = i;
            put_chunk(image, lba++, c);
        }
        put_audio(image, lba++);
    }
    MemoryDisc disc(image);
    StreamInfo info;
    std::memset(&info, 0x5C, sizeof info);
    // selvane samples frames 1 to 30 (the first 300 sectors): 30 audio sectors, 270 video.
    ASSERT_EQ(SelvanePlugin::describe(disc.handle(), 0, 400, &info), 1);
    EXPECT_EQ(info.start_sector, 0u);
    EXPECT_EQ(info.sector_count, 400u);
    EXPECT_EQ(info.width, 321u);
    EXPECT_EQ(info.kind, 0x03);
    EXPECT_EQ(info.frame_count, 30u * 400 / 300);
    EXPECT_EQ(info.payload_bytes, 0x5C5C5C5Cu);  // not written
    // The estimate is 150; 30 frames in 30 audio sectors (1600 ms) measure 187, rounded to 185.
    EXPECT_EQ(info.frame_rate, 185);
    EXPECT_EQ(info.duration_ms, 40u * 10000 / 185);
    ASSERT_EQ(GrivetPlugin::describe(disc.handle(), 0, 400, &info), 1);
    EXPECT_EQ(info.width, 320u);
    ASSERT_EQ(TamselPlugin::describe(disc.handle(), 0, 400, &info), 1);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 224u);
    // From frame 31 on there is nothing selvane counts; grivet reads on.
    EXPECT_EQ(SelvanePlugin::describe(disc.handle(), 300, 100, &info), 0);
    EXPECT_EQ(TamselPlugin::describe(disc.handle(), 300, 100, &info), 0);
    EXPECT_EQ(GrivetPlugin::describe(disc.handle(), 300, 100, &info), 1);
}

TEST(SingleStreamRead, EachGameCountsItsOwnSampleSectors) {
    // Two chunks, an end-of-file audio sector of zeros, a plain audio sector, an empty sector.
    DiscImage image;
    Chunk c;
    c.count = 2;
    c.width = 321;
    put_chunk(image, 0, c);
    c.index = 1;
    put_chunk(image, 1, c);
    Audio silent;
    silent.submode = 0xE4;
    silent.fill = 0;
    put_audio(image, 2, silent);
    put_audio(image, 3);
    put_data(image, 4, {0, 0});
    MemoryDisc disc(image);
    StreamInfo info{};
    // selvane: audio is exactly 0x64, so i = 1 and j = 4; 1 frame in 53 ms measures 188: 190.
    ASSERT_EQ(SelvanePlugin::describe(disc.handle(), 0, 5, &info), 1);
    EXPECT_EQ(info.frame_rate, 190);
    // grivet: i = 2, and only its chunks are video (j = 2); 1 frame in 106 ms: 94, rounded to 95.
    ASSERT_EQ(GrivetPlugin::describe(disc.handle(), 0, 5, &info), 1);
    EXPECT_EQ(info.frame_rate, 95);
    // tamsel: i = 2 and j = 3.
    ASSERT_EQ(TamselPlugin::describe(disc.handle(), 0, 5, &info), 1);
    EXPECT_EQ(info.frame_rate, 95);
    EXPECT_EQ(info.frame_count, 1u * 5 / 5);
}

TEST(SingleStreamRead, FailuresOfTheSectorLibraryAndOfMemory) {
    DiscImage image = seek_disc(50);
    MemoryDisc disc(image);
    StreamInfo info = range(0x03, 0, 50);
    disc.fail({0, -1, 1, -1});
    EXPECT_EQ(SelvanePlugin::describe(disc.handle(), 0, 50, &info), 0);
    disc.fail({0, -1, 1, -1});
    EXPECT_EQ(SelvanePlugin::open(disc.handle(), &info), nullptr);
    psr::heap::allocations_before_failure = 0;
    EXPECT_EQ(SelvanePlugin::open(disc.handle(), &info), nullptr);
    psr::heap::allocations_before_failure = -1;
    EXPECT_EQ(disc.stats().readers_open, 0u);
    {
        Player<SelvanePlugin> player(disc, info);
        disc.fail({-1, -1, 1, 0});
        EXPECT_EQ(player.seek(100), 0);
        disc.fail({-1, 0, 1, -1});
        Unit u;
        EXPECT_FALSE(player.read(u));
        EXPECT_TRUE(player.read(u));  // the stream stays usable
    }
    EXPECT_EQ(disc.stats().readers_open, 0u);
}
