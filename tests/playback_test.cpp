// The host's passes through a stream, in-process: fresh plug-in instances, read errors the
// plug-ins cannot report, images that shrink, seeks that stay on their stream, and sound a reader
// still holds at the end of a range.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "contract/raw_sector.h"
#include "discbuilder/archive_audio.h"
#include "discbuilder/iso9660.h"
#include "discbuilder/sample_discs.h"
#include "discbuilder/str_movie.h"
#include "discbuilder/xa_music.h"
#include "host/media_clock.h"
#include "host/playback.h"
#include "host/scan.h"
#include "support/run_program.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
namespace fs = std::filesystem;

namespace {

const quorvex::PluginFolder& plugins() {
    static const quorvex::PluginFolder folder = [] {
        quorvex::PluginFolder f;
        std::string error;
        EXPECT_TRUE(quorvex::find_plugins(build_path("plugins"), f, error)) << error;
        return f;
    }();
    return folder;
}
const quorvex::PluginFile& plugin(const char* name) { return *quorvex::find_plugin(plugins(), name); }

std::vector<quorvex::FoundStream> scan(uint32_t disc, const char* name) {
    quorvex::ScanReport report;
    std::string error;
    EXPECT_TRUE(quorvex::scan_disc(disc, {&plugin(name)}, report, error)) << error;
    return report.streams;
}

struct Delivered {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> sound;  // XA payloads, or PCM bytes
    bool ok = false;
    std::string error;
};

Delivered play(uint32_t disc, const quorvex::FoundStream& s, std::optional<uint32_t> seek = {}) {
    Delivered d;
    quorvex::PlaybackRequest request{"disc", s.plugin, disc, s.info, seek};
    quorvex::PlaybackCounts counts;
    d.ok = quorvex::play_stream(
        request,
        [&](const quorvex::Unit& u, std::string&) {
            if (u.video) {
                d.frames.emplace_back(u.frame.payload, u.frame.payload + u.frame.payload_size);
            } else if (!u.pcm.empty()) {
                const auto* bytes = reinterpret_cast<const uint8_t*>(u.pcm.data());
                d.sound.insert(d.sound.end(), bytes, bytes + u.pcm.size() * 2);
            } else {
                d.sound.insert(d.sound.end(), u.frame.payload, u.frame.payload + u.frame.payload_size);
            }
            return true;
        },
        counts, d.error);
    return d;
}

std::vector<uint8_t> joined(const std::vector<std::array<uint8_t, 2304>>& sectors, size_t from = 0) {
    std::vector<uint8_t> out;
    for (size_t i = from; i < sectors.size(); ++i) out.insert(out.end(), sectors[i].begin(), sectors[i].end());
    return out;
}

}  // namespace

TEST(FreshInstances, AScanDoesNotDependOnTheScansBefore) {
    // drumvale keeps its channel rotation while it is loaded: a velocet disc scanned first used to
    // change what it found on its own disc.
    const DiscImage velocet = discbuilder::sample_discs()[7].build();
    DiscImage drumvale = discbuilder::sample_discs()[6].build();
    MemoryDisc alone(drumvale);
    const auto first = scan(alone.handle(), "drumvale");
    DiscImage v = velocet;
    MemoryDisc other(v);
    scan(other.handle(), "drumvale");
    const auto again = scan(alone.handle(), "drumvale");
    ASSERT_EQ(first.size(), again.size());
    for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(std::memcmp(&first[i].info, &again[i].info, sizeof(StreamInfo)), 0);
}

TEST(FreshInstances, ATrackDecodesTheSameAloneAsAfterOthers) {
    // The archive decoders carry their history from block to block, across streams.
    DiscImage image = discbuilder::sample_discs()[8].build();
    MemoryDisc disc(image);
    const auto tracks = scan(disc.handle(), "nimbrel_music");
    ASSERT_GE(tracks.size(), 2u);
    const Delivered alone = play(disc.handle(), tracks[1]);
    play(disc.handle(), tracks[0]);
    const Delivered after = play(disc.handle(), tracks[1]);
    ASSERT_TRUE(alone.ok && after.ok);
    EXPECT_EQ(alone.sound, after.sound);
}

TEST(FreshInstances, EachInstanceIsItsOwnModuleAndGoesAway) {
    std::string error;
    auto a = quorvex::load_fresh(plugin("walcite"), error);
    auto b = quorvex::load_fresh(plugin("walcite"), error);  // at the same time: a private copy
    ASSERT_TRUE(a && b) << error;
    EXPECT_NE(reinterpret_cast<void*>(a->read), reinterpret_cast<void*>(b->read));
    a.reset();
    b.reset();
    EXPECT_EQ(dlopen(plugin("walcite").path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded once done";

    // Instances used on several threads at once.
    DiscImage image = discbuilder::sample_discs()[3].build();
    MemoryDisc disc(image);
    const auto movies = scan(disc.handle(), "walcite");
    ASSERT_GE(movies.size(), 3u);
    std::vector<Delivered> results(movies.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < movies.size(); ++i) threads.emplace_back([&, i] { results[i] = play(disc.handle(), movies[i]); });
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < movies.size(); ++i) {
        const Delivered alone = play(disc.handle(), movies[i]);
        EXPECT_EQ(results[i].frames, alone.frames) << i;
        EXPECT_EQ(results[i].sound, alone.sound) << i;
    }
}

TEST(ReadErrors, AFailedReadIsAnErrorNotTheEnd) {
    DiscImage image = discbuilder::sample_discs()[0].build();
    MemoryDisc disc(image);
    const auto movies = scan(disc.handle(), "selvane");
    ASSERT_FALSE(movies.empty());
    disc.fail({-1, 40, 1000, -1});  // the 41st read fails, and every one after it
    const Delivered d = play(disc.handle(), movies[0]);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.error.find("disc: cannot read sector "), std::string::npos) << d.error;
    EXPECT_NE(d.error.find("injected read fault"), std::string::npos) << d.error;
}

TEST(ReadErrors, ARetryThatGetsPastAFailureIsNoError) {
    // The XA readers ask again up to three times; two failures in a row are got past.
    DiscImage image = discbuilder::sample_discs()[5].build();
    MemoryDisc disc(image);
    const auto songs = scan(disc.handle(), "ostrand");
    ASSERT_FALSE(songs.empty());
    const Delivered clean = play(disc.handle(), songs[0]);
    disc.fail({-1, 10, 2, -1});
    const Delivered retried = play(disc.handle(), songs[0]);
    EXPECT_TRUE(retried.ok) << retried.error;
    EXPECT_EQ(retried.sound, clean.sound);
    disc.fail({-1, 10, 4, -1});  // four in a row: the reader gives up, and that is an error
    EXPECT_FALSE(play(disc.handle(), songs[0]).ok);
}

TEST(ReadErrors, AnImageThatShrinksFailsItsReads) {
    TempDir dir("read-shrink");
    DiscImage image = discbuilder::sample_discs()[0].build();
    std::string error;
    ASSERT_TRUE(image.write(dir.file("disc.bin"), error));
    for (int32_t io : {DW_IO_MMAP, DW_IO_READ}) {
        uint32_t disc = 0;
        char message[512];
        ASSERT_EQ(DwOpenImage(dir.file("disc.bin").c_str(), io, &disc, message, sizeof message), DW_OK) << message;
        const auto movies = scan(disc, "selvane");
        ASSERT_FALSE(movies.empty());
        const auto size = fs::file_size(dir.file("disc.bin"));
        // A copy still in progress: the file is shorter than when it was opened.
        fs::resize_file(dir.file("disc.bin"), 100 * 2352);
        const Delivered d = play(disc, movies[0]);
        EXPECT_FALSE(d.ok) << io;
        EXPECT_NE(d.error.find("the file ended early"), std::string::npos) << d.error;
        quorvex::ScanReport report;
        EXPECT_FALSE(quorvex::scan_disc(disc, {&plugin("selvane")}, report, error));
        EXPECT_NE(error.find("cannot read sector"), std::string::npos) << error;
        DwClose(disc);
        ASSERT_TRUE(image.write(dir.file("disc.bin"), error));
        EXPECT_EQ(fs::file_size(dir.file("disc.bin")), size);
    }
}

TEST(Seeking, ASeekStaysOnTheStream) {
    // walcite and the XA readers take the channel of the first sector they read; a seek before
    // any read would play whatever channel lies there.
    DiscImage image;
    std::vector<discbuilder::MoviePlan> plans = {discbuilder::walcite_movie(0), discbuilder::walcite_movie(1),
                                                 discbuilder::walcite_movie(2)};
    for (auto& p : plans) p.frames = 40;
    const auto written = discbuilder::write_interleaved_movies(image, 30, plans);
    put_data(image, 2000);
    MemoryDisc disc(image);
    const auto movies = scan(disc.handle(), "walcite");
    ASSERT_EQ(movies.size(), 3u);
    for (uint32_t seek : {500u, 1000u, 1300u}) {
        const Delivered d = play(disc.handle(), movies[1], seek);
        ASSERT_TRUE(d.ok) << d.error;
        ASSERT_FALSE(d.frames.empty()) << seek;
        for (const auto& frame : d.frames) {
            EXPECT_NE(std::find(written[1].frames.begin(), written[1].frames.end(), frame), written[1].frames.end())
                << "a frame of another channel at " << seek << " ms";
        }
    }

    DiscImage music;
    const auto run = discbuilder::write_music_run(music, 30, discbuilder::MusicLayout::kOstrand, {{60}, {60}, {60}});
    put_data(music, run.end_lba);
    MemoryDisc music_disc(music);
    const auto songs = scan(music_disc.handle(), "ostrand");
    ASSERT_EQ(songs.size(), 3u);
    for (uint32_t seek : {1010u, 1030u, 2000u}) {
        const Delivered d = play(music_disc.handle(), songs[1], seek);
        ASSERT_TRUE(d.ok) << d.error;
        const auto all = joined(run.songs[1].audio);
        ASSERT_FALSE(d.sound.empty());
        ASSERT_LE(d.sound.size(), all.size());
        // The song's own last sectors, however far in the seek lands.
        EXPECT_TRUE(std::equal(d.sound.begin(), d.sound.end(), all.end() - static_cast<std::ptrdiff_t>(d.sound.size())))
            << seek;
    }
}

TEST(EndOfRange, SoundHeldAtTheEndIsDelivered) {
    // A reader holds sound met while gathering a frame and hands it over on the next call; a
    // range that ends inside a frame must not lose it.
    DiscImage image = discbuilder::sample_discs()[0].build();
    MemoryDisc disc(image);
    const auto movies = scan(disc.handle(), "selvane");
    ASSERT_FALSE(movies.empty());
    const uint32_t start = movies[0].info.start_sector;
    std::string error;
    auto describer = quorvex::load_fresh(plugin("selvane"), error);
    for (uint32_t n = 60; n <= 110; ++n) {
        quorvex::FoundStream range;
        range.plugin = &plugin("selvane");
        ASSERT_TRUE(describer->describe(disc.handle(), start, n, &range.info));
        uint32_t on_disc = 0;
        for (uint32_t lba = start; lba < start + n; ++lba) on_disc += (image.raw(lba)[18] & 0x64) == 0x64;
        const Delivered d = play(disc.handle(), range);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.sound.size(), on_disc * 2304u) << "range of " << n << " sectors";
    }
}

namespace {

using quorvex::Rational;

quorvex::SurveyUnit frame_unit(uint16_t rate = 0, uint32_t lba = quorvex::kNoSector) {
    quorvex::SurveyUnit u;
    u.video = true;
    u.frame_number = 1;
    u.frame_rate = rate;
    u.lba = lba;
    return u;
}

// A survey of frames completed at the sectors `frames` and sound sectors (`format`) at `sound`,
// delivered in disc order.
quorvex::StreamDelivery survey_of(const std::vector<uint32_t>& frames, const std::vector<uint32_t>& sound,
                                  quorvex::XaFormat format = {2, 37800}) {
    quorvex::StreamDelivery s;
    size_t f = 0, a = 0;
    while (f < frames.size() || a < sound.size()) {
        if (a < sound.size() && (f == frames.size() || sound[a] <= frames[f])) {
            quorvex::SurveyUnit u;
            u.first_sector = static_cast<uint32_t>(s.sector_formats.size());
            u.sector_count = 1;
            s.sector_formats.push_back(format);
            s.sector_lbas.push_back(sound[a++]);
            s.units.push_back(u);
            ++s.counts.audio_units;
            ++s.counts.audio_sectors;
        } else {
            s.units.push_back(frame_unit(0, frames[f++]));
            ++s.counts.frames;
        }
    }
    return s;
}

// `count` sectors from `first`, spaced by `spacing` in turn.
std::vector<uint32_t> every(size_t count, uint32_t first, const std::vector<uint32_t>& spacing) {
    std::vector<uint32_t> out;
    for (size_t k = 0; k < count; ++k) out.push_back(k ? out.back() + spacing[(k - 1) % spacing.size()] : first);
    return out;
}

StreamInfo movie_info(uint16_t kind, uint16_t rate) {
    StreamInfo info{};
    info.kind = kind;
    info.frame_rate = rate;
    return info;
}

}  // namespace

TEST(MediaClock, ExactTimesRoundedOnce) {
    EXPECT_EQ(quorvex::sector_duration({2, 37800}), Rational::of(4, 75));
    EXPECT_EQ(quorvex::sector_duration({1, 37800}), Rational::of(8, 75));
    EXPECT_EQ(quorvex::sector_duration({2, 18900}), Rational::of(8, 75));
    EXPECT_EQ(quorvex::sector_duration({1, 18900}), Rational::of(16, 75));
    EXPECT_EQ(Rational::of(1, 3).milliseconds(), 333);
    EXPECT_EQ(Rational::of(2, 3).milliseconds(), 667);
    EXPECT_EQ(Rational::of(1, 2000).milliseconds(), 1);  // halves up
    EXPECT_EQ(Rational::of(4, 75).in_units(1, 90000), 4800);
    // No drift: a thousand sectors add up to exactly 1000 x 4/75 s.
    Rational sum;
    for (int i = 0; i < 1000; ++i) sum = sum + quorvex::sector_duration({2, 37800});
    EXPECT_EQ(sum, Rational::of(4000, 75));
}

TEST(MediaClock, EachFrameAtTheSectorThatCompletesIt) {
    // Sound every 8 sectors (4/75 s each): 150 sectors a second. Frames complete at uneven
    // spacings no grid holds, so each keeps its sector's time, counted from the first sound sector.
    const auto t = quorvex::build_timeline(survey_of({6, 40, 43, 50, 90}, every(12, 1, {8})), movie_info(3, 0));
    ASSERT_EQ(t.frames.size(), 5u);
    EXPECT_TRUE(t.timed_by_sound);
    EXPECT_FALSE(t.constant_rate);
    EXPECT_EQ(t.sectors_per_second, Rational::of(150, 1));
    const int64_t at[] = {6, 40, 43, 50, 90};
    for (size_t k = 0; k < 5; ++k) EXPECT_EQ(t.frames[k].start, Rational::of(at[k] - 1, 150)) << k;
    EXPECT_EQ(t.frames[1].duration, Rational::of(3, 150));
    EXPECT_EQ(t.frames[4].duration, Rational::of(84, 4 * 150));  // the last: the mean spacing
    EXPECT_EQ(t.sound, Rational::of(4, 75) * 12);
}

TEST(MediaClock, AnEvenPaceIsWrittenAtOneRate) {
    // 20 fps as discs pace it, 7 and 8 sectors a frame in turn: one rate, each frame within half a
    // frame of its sector; walcite's kind of stream, described at 30 fps and flagged as varying,
    // gets the rate it plays at.
    for (const auto& [spacing, described, kind, period] :
         {std::tuple{std::vector<uint32_t>{7, 8}, uint16_t{200}, uint16_t{3}, Rational::of(1, 20)},
          std::tuple{std::vector<uint32_t>{15}, uint16_t{300}, uint16_t{0x13}, Rational::of(1, 10)},
          std::tuple{std::vector<uint32_t>{14, 16, 15}, uint16_t{0}, uint16_t{3}, Rational::of(1, 10)}}) {
        const auto t = quorvex::build_timeline(survey_of(every(30, 5, spacing), every(30, 2, {16}), {2, 18900}),
                                               movie_info(kind, described));
        ASSERT_EQ(t.frames.size(), 30u);
        EXPECT_TRUE(t.constant_rate);
        EXPECT_EQ(t.average_frame, period);
        Rational sector = Rational::of(5 - 2, 150);
        for (size_t k = 0; k < 30; ++k) {
            EXPECT_EQ(t.frames[k].duration, period);
            const Rational off = t.frames[k].start < sector ? sector - t.frames[k].start : t.frames[k].start - sector;
            EXPECT_FALSE(period / 2 < off) << k;
            sector = sector + Rational::of(static_cast<int64_t>(spacing[k % spacing.size()]), 150);
        }
    }
}

TEST(MediaClock, TheSpeedTheSoundIsReadAt) {
    // Single speed: stereo 37800 Hz sound every 4 sectors is 75 sectors a second.
    auto t = quorvex::build_timeline(survey_of(every(6, 3, {2, 20}), every(14, 1, {4})), movie_info(3, 100));
    EXPECT_EQ(t.sectors_per_second, Rational::of(75, 1));
    EXPECT_FALSE(t.constant_rate);
    EXPECT_EQ(t.frames[1].start, Rational::of(4, 75));
    // Sound whose spacing is near neither speed is taken as measured: every 10 sectors, 4/75 s.
    t = quorvex::build_timeline(survey_of(every(6, 3, {2, 20}), every(6, 1, {10})), movie_info(3, 100));
    EXPECT_EQ(t.sectors_per_second, Rational::of(375, 2));
}

TEST(MediaClock, FramesReadBeforeTheSoundStartFromZero) {
    // After a seek the first frames may complete before the first sound sector: they are spread
    // from 0 up to the first frame after it; the rest keep their sector times.
    const auto t = quorvex::build_timeline(survey_of({100, 102, 112, 125}, every(4, 107, {8})), movie_info(3, 0));
    ASSERT_EQ(t.frames.size(), 4u);
    EXPECT_FALSE(t.constant_rate);
    EXPECT_EQ(t.frames[0].start, Rational{});
    EXPECT_EQ(t.frames[1].start, Rational::of(1, 60));
    EXPECT_EQ(t.frames[2].start, Rational::of(5, 150));
    EXPECT_EQ(t.frames[3].start, Rational::of(18, 150));
}

TEST(MediaClock, WithoutSoundTheRateOverTheSectors) {
    // No sound: 10 sectors a frame at 15 fps is 150 sectors a second; time 0 is the first frame.
    quorvex::StreamDelivery constant = survey_of(every(4, 3, {10}), {});
    auto t = quorvex::build_timeline(constant, movie_info(1, 150));
    EXPECT_FALSE(t.timed_by_sound);
    EXPECT_EQ(t.sectors_per_second, Rational::of(150, 1));
    EXPECT_EQ(t.frames[2].start, Rational::of(2, 15));
    EXPECT_EQ(t.pictures_end, Rational::of(4, 15));

    // Frames whose sectors are not known follow their rates, each frame's own where it varies.
    quorvex::StreamDelivery varying;
    for (uint16_t rate : {uint16_t{150}, uint16_t{300}, uint16_t{300}, uint16_t{75}}) {
        varying.units.push_back(frame_unit(rate));
        ++varying.counts.frames;
    }
    t = quorvex::build_timeline(varying, movie_info(0x11, 150));
    EXPECT_EQ(t.frames[1].start, Rational::of(1, 15));
    EXPECT_EQ(t.frames[3].start, Rational::of(2, 15));
    EXPECT_EQ(t.frames[3].duration, Rational::of(2, 15));
    EXPECT_EQ(t.average_frame, Rational::of(4, 15) / 4);
}
