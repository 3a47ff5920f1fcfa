// quorvex's media files, read back with FFmpeg's libraries: every frame there and on time, close
// to the picture the builder encoded, and the audio the length and pitch of the builder's tone.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "discbuilder/iso9660.h"
#include "discbuilder/mdec_encoder.h"
#include "discbuilder/str_movie.h"
#include "discbuilder/xa_music.h"
#include "discbuilder/archive_audio.h"
#include "plugins/str/single_stream_plugin.h"
#include "support/json_fields.h"
#include "support/media_probe.h"
#include "support/run_program.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
namespace fs = std::filesystem;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }

struct Movie {
    DiscImage image;
    discbuilder::WrittenMovie written;
    StreamInfo info{};
};

// A selvane movie of real pictures with a 440/660 Hz tone.
Movie movie(uint32_t frames, uint16_t version) {
    Movie m;
    discbuilder::MovieSpec plan = discbuilder::selvane_movie();
    plan.frames = frames;
    plan.real_pictures = true;
    plan.mdec_version = version;
    discbuilder::Tone tone(37800, 440, 660);
    m.written = discbuilder::write_str_movie(m.image, 30, plan, tone);
    put_data(m.image, m.written.end_lba);
    discbuilder::write_iso_volume(m.image, "MEDIA", {});
    const auto found = scan_image<plugins::str::SingleStreamPlugin<plugins::str::Selvane>>(m.image);
    if (!found.empty()) m.info = found[0];
    return m;
}

std::string write_image(const TempDir& dir, DiscImage& image) {
    std::string error;
    EXPECT_TRUE(image.write(dir.file("disc.bin"), error)) << error;
    return dir.file("disc.cue");
}

void check_pictures(const ProbedMedia& media, uint32_t frames, double min_psnr) {
    ASSERT_EQ(media.frames.size(), frames);
    for (uint32_t k = 0; k < frames; ++k) {
        const auto source = discbuilder::test_picture(320, 240, k);
        EXPECT_GT(psnr(media.frames[k].luma, source.y), min_psnr) << "frame " << k + 1;
    }
}

}  // namespace

TEST(Media, AMovieBecomesAVideoFileWithItsAudio) {
    TempDir dir("media-movie");
    Movie m = movie(20, 2);
    ASSERT_EQ(m.info.frame_count, 20u);
    const std::string cue = write_image(dir, m.image);
    const RunResult r = quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("movie.mkv"));
    ASSERT_EQ(r.status, 0) << r.output;
    const ProbedMedia media = probe_media(dir.file("movie.mkv"));
    ASSERT_TRUE(media.opened);
    EXPECT_EQ(media.video_codec, "h264");
    check_pictures(media, 20, 30.0);
    // Each frame at its time by the stream's frame rate.
    const double period = 10.0 / m.info.frame_rate;
    for (size_t k = 0; k < media.frames.size(); ++k) EXPECT_NEAR(media.frames[k].seconds, static_cast<double>(k) * period, 0.0011) << k;
    // The audio: every sector's 2016 stereo samples at 37800 Hz, and the tone's pitch.
    EXPECT_EQ(media.audio_codec, "flac");
    EXPECT_EQ(media.sample_rate, 37800);
    EXPECT_EQ(media.channels, 2);
    EXPECT_EQ(media.samples.size(), m.written.audio.size() * 2016 * 2);
    EXPECT_NEAR(dominant_frequency(media.samples, 2, 0, 37800), 440, 1.0);
    EXPECT_NEAR(dominant_frequency(media.samples, 2, 1, 37800), 660, 1.0);
}

TEST(Media, LosslessAndOtherContainers) {
    TempDir dir("media-containers");
    Movie m = movie(12, 3);
    const std::string cue = write_image(dir, m.image);
    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 --lossless -o " + dir.file("a.mkv")).status, 0);
    const ProbedMedia lossless = probe_media(dir.file("a.mkv"));
    EXPECT_EQ(lossless.video_codec, "ffv1");
    check_pictures(lossless, 12, 40.0);  // the MDEC pictures themselves, untouched

    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("b.mp4")).status, 0);
    const ProbedMedia mp4 = probe_media(dir.file("b.mp4"));
    EXPECT_EQ(mp4.audio_codec, "aac");
    EXPECT_EQ(mp4.sample_rate, 48000);
    check_pictures(mp4, 12, 30.0);
    EXPECT_NEAR(dominant_frequency(mp4.samples, 2, 0, 48000), 440, 1.0);

    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("c.avi")).status, 0);
    const ProbedMedia avi = probe_media(dir.file("c.avi"));
    EXPECT_EQ(avi.audio_codec, "pcm_s16le");
    check_pictures(avi, 12, 30.0);

    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("d.wav")).status, 0);
    const ProbedMedia wav = probe_media(dir.file("d.wav"));
    EXPECT_TRUE(wav.frames.empty());
    EXPECT_EQ(wav.samples.size(), m.written.audio.size() * 2016 * 2);
}

TEST(Media, FramesAsPictures) {
    TempDir dir("media-frames");
    Movie m = movie(8, 2);
    const std::string cue = write_image(dir, m.image);
    const RunResult r = quorvex("extract " + cue + " --plugin selvane --stream 0 --frames " + dir.file("pictures"));
    ASSERT_EQ(r.status, 0) << r.output;
    for (int k = 1; k <= 8; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%06d.png", k);
        const ProbedMedia png = probe_media(dir.file("pictures") + name);
        ASSERT_EQ(png.frames.size(), 1u) << name;
        EXPECT_EQ(png.frames[0].width, 320);
        EXPECT_EQ(png.frames[0].height, 240);
    }
}

TEST(Media, ACorruptFrameIsReportedAndSkipped) {
    TempDir dir("media-corrupt");
    Movie m = movie(10, 2);
    // Frame 4's bitstream after its header: all zero bits, which no code starts with.
    uint8_t* sector = m.image.raw(m.written.frame_lbas[3]);
    std::memset(sector + 24 + 32 + 8, 0, 2008);
    const std::string cue = write_image(dir, m.image);
    const RunResult r = quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("movie.mkv"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("frame 4 cannot be decoded"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 frames could not be decoded and were skipped"), std::string::npos) << r.output;
    const ProbedMedia media = probe_media(dir.file("movie.mkv"));
    ASSERT_EQ(media.frames.size(), 9u);
    const double period = 10.0 / m.info.frame_rate;
    EXPECT_NEAR(media.frames[3].seconds, 4 * period, 0.0011);  // the gap stays where frame 4 was
}

TEST(Media, MusicAndArchiveAudio) {
    TempDir dir("media-audio");
    DiscImage image;
    const auto run = discbuilder::write_music_run(image, 30, discbuilder::MusicLayout::kOstrand, {{30}, {30}}, 1);
    const auto archive = discbuilder::write_archive(image, 200, 201, true, {8}, 1);
    discbuilder::write_iso_volume(image, "MABOROSITUKIYO",
                                  {{"BGM.HED", archive.index_lba, archive.index_bytes},
                                   {"BGM.MRG", archive.data_lba, archive.data_sectors * 2048}});
    const std::string cue = write_image(dir, image);
    ASSERT_EQ(quorvex("extract " + cue + " --plugin ostrand --stream 0 -o " + dir.file("song.flac")).status, 0);
    const ProbedMedia song = probe_media(dir.file("song.flac"));
    EXPECT_EQ(song.sample_rate, 37800);
    EXPECT_EQ(song.samples.size(), run.songs[0].audio.size() * 2016 * 2);
    EXPECT_NEAR(dominant_frequency(song.samples, 2, 0, 37800), 200 + 1, 1.0);  // channel 0's tone of run 1

    ASSERT_EQ(quorvex("extract " + cue + " --plugin nimbrel_music --stream 0 -o " + dir.file("bgm.flac")).status, 0);
    const ProbedMedia bgm = probe_media(dir.file("bgm.flac"));
    EXPECT_EQ(bgm.sample_rate, 22050);
    EXPECT_EQ(bgm.channels, 2);
    EXPECT_EQ(bgm.samples.size(), archive.signals[0].size());
    EXPECT_NEAR(dominant_frequency(bgm.samples, 2, 0, 22050), dominant_frequency(archive.signals[0], 2, 0, 22050), 1.0);
}

TEST(Media, EverySampleDiscRipsToFilesThatPlay) {
    TempDir dir("media-rip");
    for (const auto& entry : fs::directory_iterator(build_path("samples"))) {
        if (entry.path().extension() != ".cue") continue;
        const std::string name = entry.path().stem().string();
        const std::string out = dir.file(name);
        const RunResult r = quorvex("rip " + entry.path().string() + " -o " + out);
        ASSERT_EQ(r.status, 0) << r.output;
        const auto bytes = read_bytes(out + "/rip.json");
        const std::string index(bytes.begin(), bytes.end());
        const auto frames = json_numbers(index, "frames");
        const auto sample_rates = json_numbers(index, "sample_rate");
        const auto rates = json_numbers(index, "frame_rate");
        const auto kinds = json_numbers(index, "kind");
        size_t k = 0;
        for (size_t at = index.find("\"file\": \""); at != std::string::npos; at = index.find("\"file\": \"", at + 1), ++k) {
            const size_t start = at + 9;
            const std::string file = index.substr(start, index.find('"', start) - start);
            const ProbedMedia media = probe_media(out + "/" + file);
            ASSERT_TRUE(media.opened) << file;
            EXPECT_EQ(static_cast<int64_t>(media.frames.size()), frames[k]) << file;
            if (sample_rates[k]) {
                EXPECT_EQ(media.sample_rate, sample_rates[k]) << file;
            }
            if ((kinds[k] & 0x11) == 0x01) {
                EXPECT_NEAR(media.frame_rate, static_cast<double>(rates[k]) / 10.0, 0.01) << file;
            }
            if (!media.frames.empty()) {
                // The last frame comes when the frames before it have played.
                EXPECT_GT(media.frames.back().seconds, 0.0) << file;
            }
        }
        EXPECT_GT(k, 0u) << name;
    }
}
