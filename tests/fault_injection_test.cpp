// Every family through the host's whole sequence with each fault in turn: the Nth allocation
// failing, the sector library failing an open, a read (once or for good) or a seek. Nothing may
// crash or leak, every buffer a plug-in locked goes back, and no reader stays open.
#include <gtest/gtest.h>

#include "discbuilder/archive_audio.h"
#include "discbuilder/countdown_movie.h"
#include "discbuilder/iso9660.h"
#include "discbuilder/str_movie.h"
#include "discbuilder/xa_music.h"
#include "plugins/archive/archive_plugin.h"
#include "plugins/str/corvane_plugin.h"
#include "plugins/str/single_stream_plugin.h"
#include "plugins/str/walcite_plugin.h"
#include "plugins/xa/xa_plugin.h"
#include "support/host_sequence.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;

namespace {

DiscImage movie_disc() {
    DiscImage d;
    discbuilder::Tone tone(37800, 440, 660);
    auto plan = discbuilder::selvane_movie();
    plan.frames = 6;
    uint32_t lba = discbuilder::write_str_movie(d, 30, plan, tone).end_lba;
    auto g = discbuilder::grivet_movie();
    g.frames = 5;
    lba = discbuilder::write_str_movie(d, lba + 1, g, tone).end_lba;
    auto t = discbuilder::tamsel_movie();
    t.frames = 5;
    lba = discbuilder::write_str_movie(d, lba + 1, t, tone).end_lba;
    std::vector<discbuilder::MoviePlan> group = {discbuilder::walcite_movie(0), discbuilder::walcite_movie(1)};
    for (auto& m : group) m.frames = 5;
    for (const auto& m : discbuilder::write_interleaved_movies(d, lba + 1, group)) lba = std::max(lba, m.end_lba);
    put_data(d, lba);
    discbuilder::write_iso_volume(d, "ACE3ES_FAULTS", {});
    discbuilder::CountdownMoviePlan c;
    c.frames = 5;
    c.chunks_per_frame = 3;
    discbuilder::write_interleaved_countdown_movies(d, lba + 1, {c});
    return d;
}

DiscImage music_disc() {
    DiscImage d;
    uint32_t lba = 30;
    for (auto layout : {discbuilder::MusicLayout::kOstrand, discbuilder::MusicLayout::kDrumvale, discbuilder::MusicLayout::kVelocet}) {
        lba = discbuilder::write_music_run(d, lba, layout, {{12, 9}, {20}}, 1).end_lba;
    }
    discbuilder::write_iso_volume(d, "MUSIC", {});
    return d;
}

DiscImage archive_disc() {
    DiscImage d;
    const auto bgm = discbuilder::write_archive(d, 30, 31, true, {3, 2}, 1);
    const auto voice = discbuilder::write_archive(d, 40, 41, false, {2, 2}, 2);
    discbuilder::write_iso_volume(d, "MABOROSITUKIYO",
                                  {{"BGM.HED", bgm.index_lba, bgm.index_bytes}, {"BGM.MRG", 31, bgm.data_sectors * 2048},
                                   {"VOICE1.HED", voice.index_lba, voice.index_bytes},
                                   {"VOICE1.MRG", 41, voice.data_sectors * 2048}});
    return d;
}

// The sequence under every fault, one at a time, from the first operation of its kind to past
// the last one the fault-free run made.
template <class Plugin>
void survives_every_fault(DiscImage& image) {
    MemoryDisc disc(image);
    const auto bytes = image.bytes();
    const uint32_t seeks[] = {0, 150, 99999, 40};
    const SequenceReport clean = run_host_sequence<Plugin>(disc.handle(), bytes, seeks);
    const DwStats counted = disc.stats();
    ASSERT_GT(clean.streams, 0);
    ASSERT_GT(clean.units, 0u);
    EXPECT_FALSE(clean.broke_a_rule);

    auto check = [&](const char* what, int n) {
        const SequenceReport r = run_host_sequence<Plugin>(disc.handle(), bytes, seeks);
        psr::heap::allocations_before_failure = -1;
        disc.fail({-1, -1, 1, -1});
        EXPECT_FALSE(r.broke_a_rule) << what << " " << n;
        EXPECT_EQ(disc.stats().buffers_locked, 0u) << what << " " << n;
        EXPECT_EQ(disc.stats().readers_open, 0u) << what << " " << n;
    };
    for (int n = 0; n < 12; ++n) {
        psr::heap::allocations_before_failure = n;
        check("allocation", n);
    }
    for (int n = 0; n < static_cast<int>(counted.readers_opened) + 1; ++n) {
        disc.fail({n, -1, 1, -1});
        check("open", n);
    }
    const int reads = static_cast<int>(counted.sectors_read);
    for (int n = 0; n <= reads + 1; n += std::max(1, reads / 40)) {
        disc.fail({-1, n, 1, -1});
        check("read", n);
        disc.fail({-1, n, 1000000, -1});
        check("reads from", n);
    }
    for (int n = 0; n < 16; ++n) {
        disc.fail({-1, -1, 1, n});
        check("seek", n);
    }
}

}  // namespace

TEST(FaultInjection, SingleStreamMovies) {
    DiscImage d = movie_disc();
    survives_every_fault<plugins::str::SingleStreamPlugin<plugins::str::Selvane>>(d);
    survives_every_fault<plugins::str::SingleStreamPlugin<plugins::str::Grivet>>(d);
    survives_every_fault<plugins::str::SingleStreamPlugin<plugins::str::Tamsel>>(d);
}

TEST(FaultInjection, WalciteAndCorvane) {
    DiscImage d = movie_disc();
    survives_every_fault<plugins::str::WalcitePlugin>(d);
    survives_every_fault<plugins::str::CorvanePlugin>(d);
}

TEST(FaultInjection, XaMusic) {
    DiscImage d = music_disc();
    survives_every_fault<plugins::xa::XaPlugin<plugins::xa::Ostrand>>(d);
    plugins::xa::Drumvale::max_channel = -1;
    survives_every_fault<plugins::xa::XaPlugin<plugins::xa::Drumvale>>(d);
    survives_every_fault<plugins::xa::XaPlugin<plugins::xa::Velocet>>(d);
}

TEST(FaultInjection, Archives) {
    DiscImage d = archive_disc();
    survives_every_fault<plugins::archive::ArchivePlugin<plugins::archive::NimbrelMusic>>(d);
    survives_every_fault<plugins::archive::ArchivePlugin<plugins::archive::NimbrelVoice>>(d);
}
