// XA music through quorvex: scan, extract and seek on images written to disk, checked against the
// plug-ins in-process and against what the builder wrote.
#include <gtest/gtest.h>

#include "discbuilder/iso9660.h"
#include "discbuilder/xa_music.h"
#include "plugins/xa/xa_plugin.h"
#include "support/json_fields.h"
#include "support/run_program.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
using discbuilder::MusicLayout;
using discbuilder::WrittenRun;

namespace {

struct Music {
    DiscImage image;
    std::vector<WrittenRun> runs;
};

Music music(MusicLayout layout, const std::vector<std::vector<std::vector<uint32_t>>>& runs) {
    Music m;
    uint32_t lba = 24;
    for (size_t i = 0; i < runs.size(); ++i) {
        put_data(m.image, lba++);
        m.runs.push_back(discbuilder::write_music_run(m.image, lba, layout, runs[i], static_cast<uint32_t>(i + 1)));
        lba = m.runs.back().end_lba;
    }
    put_data(m.image, lba);
    discbuilder::write_iso_volume(m.image, "MUSIC", {});
    return m;
}

template <class Plugin>
void check(const std::string& plugin, MusicLayout layout, const std::vector<std::vector<std::vector<uint32_t>>>& runs) {
    TempDir dir("e2e-" + plugin);
    Music m = music(layout, runs);
    std::string error;
    ASSERT_TRUE(m.image.write(dir.file("disc.bin"), error));
    const std::string cue = dir.file("disc.cue");

    if constexpr (std::is_same_v<Plugin, plugins::xa::XaPlugin<plugins::xa::Drumvale>>) {
        plugins::xa::Drumvale::max_channel = -1;  // as quorvex's freshly loaded plug-in has it
    }
    const auto expected = scan_image<Plugin>(m.image);
    const RunResult r = run_program(quorvex_command() + " scan --all --json " + cue);
    ASSERT_EQ(r.status, 0) << r.output;
    std::vector<JsonObject> wanted;
    for (size_t i = 0; i < expected.size(); ++i) wanted.push_back(json_of(expected[i], static_cast<int32_t>(i), false));
    EXPECT_EQ(json_streams_of(r.output, plugin), wanted) << r.output;

    // Every song is found, in the order the songs start; each extracts to exactly its audio.
    std::vector<const discbuilder::WrittenSong*> songs;
    for (const WrittenRun& run : m.runs) {
        for (const auto& song : run.songs) songs.push_back(&song);
    }
    ASSERT_EQ(expected.size(), songs.size());
    for (size_t k = 0; k < songs.size(); ++k) {
        EXPECT_EQ(expected[k].start_sector, songs[k]->audio_lbas.front());
        const std::string out = dir.file("song" + std::to_string(k));
        const RunResult x = run_program(quorvex_command() + " extract " + cue + " --plugin " + plugin + " --stream " +
                                        std::to_string(k) + " -o " + out);
        ASSERT_EQ(x.status, 0) << x.output;
        std::vector<uint8_t> audio;
        for (const auto& payload : songs[k]->audio) audio.insert(audio.end(), payload.begin(), payload.end());
        EXPECT_EQ(read_bytes(out + "/audio.xa"), audio) << plugin << " song " << k;
    }
}

}  // namespace

TEST(MusicEndToEnd, Ostrand) {
    check<plugins::xa::XaPlugin<plugins::xa::Ostrand>>("ostrand", MusicLayout::kOstrand, {{{40, 30}, {60}, {50}, {9}}, {{12}, {20}}});
}

TEST(MusicEndToEnd, Drumvale) {
    check<plugins::xa::XaPlugin<plugins::xa::Drumvale>>("drumvale", MusicLayout::kDrumvale, {{{40, 20}, {50}, {45}, {30}}});
}

TEST(MusicEndToEnd, Velocet) {
    check<plugins::xa::XaPlugin<plugins::xa::Velocet>>("velocet", MusicLayout::kVelocet, {{{40}, {35}}, {{30}, {30}, {30}, {30}}});
}

TEST(MusicEndToEnd, SeekLandsOnTheRulesSector) {
    TempDir dir("e2e-xa-seek");
    Music m = music(MusicLayout::kDrumvale, {{{200}, {200}, {200}, {200}}});
    std::string error;
    ASSERT_TRUE(m.image.write(dir.file("disc.bin"), error));
    // 2000 ms on the host's clock: the 38th sector of the song (each lasts 4/75 s), where
    // drumvale's own clock also lands: ((2000 / 10) x 378) / 2016 x 4 = 148 sectors in, channel 0's
    // audio sector of position 148.
    const RunResult x = run_program(quorvex_command() + " extract " + dir.file("disc.cue") +
                                    " --plugin drumvale --stream 0 --seek 2000 -o " + dir.file("out"));
    ASSERT_EQ(x.status, 0) << x.output;
    const auto& song = m.runs[0].songs[0];
    const auto audio = read_bytes(dir.file("out/audio.xa"));
    ASSERT_GE(audio.size(), 2304u);
    size_t skipped = 0;
    while (song.audio_lbas[skipped] < song.audio_lbas[0] + 148) ++skipped;
    EXPECT_EQ(audio.size(), (song.audio.size() - skipped) * 2304);
    EXPECT_TRUE(std::equal(audio.begin(), audio.begin() + 2304, song.audio[skipped].begin()));
}
