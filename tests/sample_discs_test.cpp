// The sample discs as independent readers see them. Where FFmpeg's own STR demuxer can read a
// movie (one channel, its true picture size in the header: selvane's layout), the movie is cut
// from the disc at the extent its ISO9660 directory gives and decoded with libavformat and
// libavcodec, not through quorvex: every frame decodes, frames and sound samples are quorvex's,
// and the pictures last as long as the sound at the disc's speed. Where no independent reader
// here reads a layout, the same is checked against the sectors the disc holds.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "discbuilder/sample_discs.h"
#include "discwell/discwell.h"
#include "host/disc_files.h"
#include "host/stream_names.h"
#include "support/media_probe.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;
using Json = nlohmann::json;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }

struct OpenImage {
    uint32_t disc = 0;
    explicit OpenImage(const std::string& path) {
        char error[256];
        EXPECT_EQ(DwOpenImage(path.c_str(), DW_IO_DEFAULT, &disc, error, sizeof error), DW_OK) << error;
    }
    ~OpenImage() { DwClose(disc); }
};

// Raw sectors of `image` from `lba` on, as a file of its own.
void cut(const std::string& image, uint32_t lba, uint32_t count, const std::string& out) {
    const auto bytes = read_bytes(image);
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(size_t{lba} * 2352);
    write_bytes(out, std::vector<uint8_t>(from, from + static_cast<std::ptrdiff_t>(size_t{count} * 2352)));
}

Json scan_of(const std::string& cue) {
    const RunResult r = quorvex("scan --all --json " + cue);
    EXPECT_EQ(r.status, 0) << r.output;
    return Json::parse(r.output)["discs"][0];
}

// What quorvex delivers of a stream: frames and sound sectors, from extract.json.
Json extracted(const TempDir& dir, const std::string& cue, const std::string& plugin, int index) {
    const std::string out = dir.file(plugin + std::to_string(index));
    const RunResult r = quorvex("extract " + cue + " --plugin " + plugin + " --stream " + std::to_string(index) + " -o " + out + "/");
    EXPECT_EQ(r.status, 0) << r.output;
    const auto bytes = read_bytes(out + "/extract.json");
    return Json::parse(std::string(bytes.begin(), bytes.end()));
}

uint64_t sound_sectors(const Json& manifest) {
    uint64_t n = 0;
    for (const Json& u : manifest["units"]) n += u.value("sectors", 0u);
    return n;
}

}  // namespace

TEST(SampleDiscs, FFmpegReadsSelvanesMoviesAsQuorvexDoes) {
    TempDir dir("samples-ffmpeg");
    const std::string bin = build_path("samples/selvane.bin"), cue = build_path("samples/selvane.cue");
    OpenImage image(bin);
    const quorvex::DiscDirectory files = quorvex::read_disc_directory(image.disc);
    ASSERT_TRUE(files.readable()) << files.problem;
    const Json scan = scan_of(cue);
    size_t checked = 0;
    for (const quorvex::DiscFile& file : files.files) {
        if (file.path.find(".STR") == std::string::npos) continue;
        // The stream quorvex finds in this file, if any (the game's own movies only).
        const Json* stream = nullptr;
        for (const Json& s : scan["streams"]) {
            if (s["start_sector"] >= file.first_sector && s["start_sector"] < file.first_sector + file.sector_count) stream = &s;
        }
        if (!stream) continue;
        const std::string movie = dir.file(quorvex::safe_file_name(file.path));
        cut(bin, file.first_sector, file.sector_count, movie);
        const ProbedMedia ffmpeg = probe_media(movie, "psxstr");
        ASSERT_TRUE(ffmpeg.opened) << file.path;
        const Json ours = extracted(dir, cue, "selvane", (*stream)["index"]);
        // Every frame decodes, and there are as many as quorvex delivers.
        EXPECT_EQ(ffmpeg.frames.size(), ours["frames"].get<size_t>()) << file.path;
        EXPECT_EQ(ffmpeg.frames.size(), (*stream)["frame_count"].get<size_t>()) << file.path;
        // The same sound: 2016 stereo samples a sector.
        EXPECT_EQ(ffmpeg.samples.size(), sound_sectors(ours) * 2016 * 2) << file.path;
        // At the disc's speed the pictures last as long as the sound, within a frame.
        const double frame = 10.0 / (*stream)["frame_rate"].get<double>();
        const double pictures = frame * static_cast<double>(ffmpeg.frames.size());
        const double sound = static_cast<double>(ffmpeg.samples.size()) / 2 / ffmpeg.sample_rate;
        EXPECT_NEAR(pictures, sound, frame) << file.path;
        ++checked;
    }
    EXPECT_EQ(checked, 2u);
}

TEST(SampleDiscs, EveryMovieIsPacedAtTheDiscsSpeed) {
    // The disc's own sector timing: each frame spans the same disc time, and the sound sectors
    // cover it at the spacing that plays in real time.
    for (const discbuilder::SampleDisc& sample : discbuilder::sample_discs()) {
        const discbuilder::DiscImage image = sample.build();
        for (const auto& movie : image.movies()) {
            ASSERT_GE(movie.frame_lbas.size(), 2u) << sample.name;
            const double frame = movie.pictures_seconds / static_cast<double>(movie.frame_lbas.size());
            // 15, 30 or, for three movies sharing the disc, 10 frames a second.
            EXPECT_TRUE(std::abs(frame - 1.0 / 15) < 1e-9 || std::abs(frame - 1.0 / 30) < 1e-9 || std::abs(frame - 0.1) < 1e-9)
                << sample.name << ": " << frame << " s a frame";
            // Each frame's first chunk within its own span of disc time.
            for (size_t k = 0; k < movie.frame_lbas.size(); ++k) {
                const double at = static_cast<double>(movie.frame_lbas[k] - movie.frame_lbas[0]) / 150;
                EXPECT_NEAR(at, frame * static_cast<double>(k), frame) << sample.name << " frame " << k + 1;
            }
            EXPECT_NEAR(movie.sound_seconds, movie.pictures_seconds, frame) << sample.name;
        }
    }
}
