// The archive plug-ins through quorvex: both find their tracks on one disc, and a track extracts to
// a WAV file that plays the tone it was built from.
#include <gtest/gtest.h>

#include <cmath>

#include "discbuilder/archive_audio.h"
#include "discbuilder/iso9660.h"
#include "plugins/archive/archive_plugin.h"
#include "support/json_fields.h"
#include "support/run_program.h"
#include "support/sector_kit.h"
#include "support/signal_analysis.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
using discbuilder::WrittenArchive;

namespace {

struct Nimbrel {
    DiscImage image;
    WrittenArchive music, voice1, voice2;
};

Nimbrel nimbrel_disc() {
    Nimbrel n;
    n.music = discbuilder::write_archive(n.image, 30, 31, true, {10, 6}, 1);
    n.voice1 = discbuilder::write_archive(n.image, 50, 51, false, {4, 3}, 2);
    n.voice2 = discbuilder::write_archive(n.image, 60, 61, false, {5}, 3);
    auto files = [](const char* name, const WrittenArchive& a) {
        return std::vector<discbuilder::IsoFile>{{std::string(name) + ".HED", a.index_lba, a.index_bytes},
                                                 {std::string(name) + ".MRG", a.data_lba, a.data_sectors * 2048}};
    };
    std::vector<discbuilder::IsoFile> all;
    for (const auto& f : files("BGM", n.music)) all.push_back(f);
    for (const auto& f : files("VOICE1", n.voice1)) all.push_back(f);
    for (const auto& f : files("VOICE2", n.voice2)) all.push_back(f);
    put_data(n.image, 70);
    discbuilder::write_iso_volume(n.image, "MABOROSITUKIYO", all);
    return n;
}

}  // namespace

TEST(ArchiveEndToEnd, BothPluginsListTheirTracksAndDecodeThem) {
    TempDir dir("e2e-archive");
    Nimbrel n = nimbrel_disc();
    std::string error;
    ASSERT_TRUE(n.image.write(dir.file("disc.bin"), error));
    const std::string cue = dir.file("disc.cue");
    const RunResult r = run_program(quorvex_command() + " scan --all --json " + cue);
    ASSERT_EQ(r.status, 0) << r.output;
    const auto music = json_streams_of(r.output, "nimbrel_music");
    const auto voice = json_streams_of(r.output, "nimbrel_voice");
    ASSERT_EQ(music.size(), 2u);
    ASSERT_EQ(voice.size(), 3u);
    EXPECT_EQ(music[1].at("start_sector"), 31 + 10);
    EXPECT_EQ(music[1].at("duration_ms"), 6 * 35840 / 440);
    EXPECT_EQ(music[1].at("payload_bytes"), 6 * 2304);
    EXPECT_EQ(voice[2].at("start_sector"), 61);  // VOICE2's track follows VOICE1's in the list
    EXPECT_EQ(voice[2].at("channels"), 1);

    struct Case {
        const char* plugin;
        int stream;
        const std::vector<int16_t>* signal;
        int channels;
    } cases[] = {{"nimbrel_music", 0, &n.music.signals[0], 2}, {"nimbrel_voice", 1, &n.voice1.signals[1], 1}};
    for (const Case& c : cases) {
        const std::string out = dir.file(std::string(c.plugin) + "-out");
        const RunResult x = run_program(quorvex_command() + " extract " + cue + " --plugin " + c.plugin + " --stream " +
                                        std::to_string(c.stream) + " -o " + out);
        ASSERT_EQ(x.status, 0) << x.output;
        const auto wav = read_bytes(out + "/audio.wav");
        ASSERT_GT(wav.size(), 44u);
        EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
        EXPECT_EQ(psr::load_le16(&wav[22]), c.channels);
        EXPECT_EQ(psr::load_le32(&wav[24]), 22050u);
        EXPECT_EQ(psr::load_le16(&wav[34]), 16);
        std::vector<int16_t> pcm((wav.size() - 44) / 2);
        std::memcpy(pcm.data(), &wav[44], pcm.size() * 2);
        // The whole signal, then (voice) the silence after the end marker is not there at all.
        const auto& signal = *c.signal;
        ASSERT_EQ(pcm.size(), signal.size()) << c.plugin;
        for (int ch = 0; ch < c.channels; ++ch) {
            // The tone the builder encoded: find its frequency in the source, then in the output.
            const double f = dominant_frequency(signal, c.channels, ch, 22050);
            EXPECT_NEAR(dominant_frequency(pcm, c.channels, ch, 22050), f, 1.0) << c.plugin << " channel " << ch;
        }
    }
}
