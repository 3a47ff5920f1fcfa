// quorvex's media files, read back with FFmpeg's libraries: every frame there and on time, close
// to the picture the builder encoded, and the audio the length and pitch of the builder's tone.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "discbuilder/iso9660.h"
#include "discbuilder/sample_discs.h"
#include "codecs/mdec_decoder.h"
#include "codecs/mdec_encoder.h"
#include "discbuilder/test_pictures.h"
#include "discbuilder/str_movie.h"
#include "discbuilder/xa_music.h"
#include "discbuilder/archive_audio.h"
#include "plugins/str/single_stream_plugin.h"
#include "support/json_fields.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include "support/media_probe.h"
#include "support/run_program.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
namespace fs = std::filesystem;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }
std::string sample(const std::string& name) { return build_path("samples/" + name); }

struct Movie {
    DiscImage image;
    discbuilder::WrittenMovie written;
    StreamInfo info{};
};

// A selvane movie of real pictures with a 440/660 Hz tone.
Movie movie(uint32_t frames, uint16_t version) {
    Movie m;
    discbuilder::MoviePlan plan = discbuilder::selvane_movie();
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

// When the console has each frame, from where the builder put the sectors: the sector that
// completes it, read at 150 sectors a second, counted from the first sound sector (time 0).
std::vector<double> sector_times(const discbuilder::WrittenMovie& movie) {
    std::vector<double> times;
    for (uint32_t lba : movie.frame_end_lbas) times.push_back((static_cast<double>(lba) - movie.audio_lbas.front()) / 150.0);
    return times;
}

double mean_gap(const ProbedMedia& media) {
    return (media.frames.back().seconds - media.frames.front().seconds) / static_cast<double>(media.frames.size() - 1);
}

// Paced as the disc paces them: each picture within half a frame of its sector time (give or
// take the container's rounding), and no gap between two more than a quarter off the mean.
void check_paced(const ProbedMedia& media, const std::vector<double>& times, double rounding) {
    ASSERT_EQ(media.frames.size(), times.size());
    ASSERT_GE(times.size(), 2u);
    const double gap = mean_gap(media);
    for (size_t k = 0; k < times.size(); ++k) EXPECT_NEAR(media.frames[k].seconds, times[k], gap / 2 + rounding) << "frame " << k + 1;
    for (size_t k = 1; k < times.size(); ++k) {
        EXPECT_NEAR(media.frames[k].seconds - media.frames[k - 1].seconds, gap, gap / 4) << "frame " << k + 1;
    }
}

// The picture ends within one frame of the sound, give or take one sound sector where a movie's
// length does not hold whole sectors (a disc holds its sound in whole sectors; AAC may add up to a
// frame of its own of padding). `sector` is a sound sector's length: 4/75 s for 37800 Hz stereo.
// On the sample discs every movie's length holds whole sound sectors (`sector` 0): there the
// picture ends within one frame of the sound.
void check_ends_together(const ProbedMedia& media, double sector = 4.0 / 75) {
    ASSERT_GE(media.frames.size(), 2u);
    const double frame = mean_gap(media);
    EXPECT_GT(frame, 0.0);
    const double padding = media.audio_codec == "aac" ? 1024.0 / media.sample_rate : 0.0;
    EXPECT_NEAR(pictures_end(media), sound_end(media), frame + sector + padding + 0.0011);
}

// A sound sector's length in a stream's description: 4032 samples in all.
double sector_of(const nlohmann::json& info) {
    return 4032.0 / info["channels"].get<double>() / info["sample_rate"].get<double>();
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
    // Each frame at its time by the sound before it, rounded once to Matroska's milliseconds.
    check_paced(media, sector_times(m.written), 0.0006);
    check_ends_together(media);
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
    check_pictures(lossless, 12, 40.0);
    check_paced(lossless, sector_times(m.written), 0.0006);

    // Lossless is the console decoder's own planes, every sample of them, in both containers.
    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 --lossless -o " + dir.file("a.mp4")).status, 0);
    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("units/")).status, 0);
    const ProbedMedia lossless_mp4 = probe_media(dir.file("a.mp4"));
    EXPECT_EQ(lossless_mp4.video_codec, "h264");
    std::vector<codecs::Picture> planes;
    const nlohmann::json manifest = nlohmann::json::parse(read_text(dir.file("units/extract.json")));
    for (const nlohmann::json& unit : manifest["units"]) {
        if (unit["type"] != "frame") continue;
        std::string why;
        ASSERT_TRUE(codecs::decode_mdec(read_bytes(dir.file("units/" + unit["file"].get<std::string>())), unit["width"], unit["height"],
                                        planes.emplace_back(), why)) << why;
    }
    for (const ProbedMedia* media : {&lossless, &lossless_mp4}) {
        ASSERT_EQ(media->frames.size(), planes.size()) << media->video_codec;
        for (size_t i = 0; i < planes.size(); ++i) {
            std::vector<uint8_t> chroma = planes[i].cb;
            chroma.insert(chroma.end(), planes[i].cr.begin(), planes[i].cr.end());
            EXPECT_TRUE(media->frames[i].luma == planes[i].y && media->frames[i].chroma == chroma) << media->video_codec << " frame " << i;
        }
    }

    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("b.mp4")).status, 0);
    const ProbedMedia mp4 = probe_media(dir.file("b.mp4"));
    check_paced(mp4, sector_times(m.written), 1e-6);  // 1/90000 s holds every sector's time exactly
    EXPECT_EQ(mp4.audio_codec, "aac");
    EXPECT_EQ(mp4.sample_rate, 48000);
    check_pictures(mp4, 12, 30.0);
    EXPECT_NEAR(dominant_frequency(mp4.samples, 2, 0, 48000), 440, 1.0);

    ASSERT_EQ(quorvex("extract " + cue + " --plugin selvane --stream 0 -o " + dir.file("c.avi")).status, 0);
    const ProbedMedia avi = probe_media(dir.file("c.avi"));
    EXPECT_EQ(avi.audio_codec, "pcm_s16le");
    check_pictures(avi, 12, 30.0);
    // A constant rate, the measured average: the last picture ends where the others' average puts it.
    EXPECT_NEAR(pictures_end(avi), mp4.frames.back().seconds + mean_gap(mp4), 0.002);
    for (const ProbedMedia* media : {&lossless, &mp4, &avi}) check_ends_together(*media);

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
    EXPECT_NE(r.output.find("1 frames cannot be decoded and are left out of the pictures (frames 4;"), std::string::npos)
        << r.output;
    const ProbedMedia media = probe_media(dir.file("movie.mkv"));
    ASSERT_EQ(media.frames.size(), 9u);
    // The gap stays where frame 4 was.
    EXPECT_NEAR(media.frames[3].seconds - media.frames[2].seconds, 2 * (media.frames[2].seconds - media.frames[1].seconds), 0.0011);
    EXPECT_NEAR(media.frames[3].seconds, sector_times(m.written)[4], 1.0 / 30);
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

// Files say what they hold, in the tags players read: the stream's name, the disc, the stream's
// number, quorvex's comment naming the plug-in; BT.601 full-range pictures with centred chroma;
// the tracks marked default. No path and no time: the same stream gives the same bytes.
TEST(Media, FilesSayWhatTheyHold) {
    TempDir dir("media-tags");
    const std::string selvane = sample("selvane.cue"), ostrand = sample("ostrand.cue");
    for (const char* file : {"movie.mkv", "movie.mp4", "again.mkv"}) {
        ASSERT_EQ(quorvex("extract " + selvane + " --stream MOVIE_MOVIE0.STR-ch0 -o " + dir.file(file)).status, 0);
    }
    for (const char* file : {"song.flac", "song.wav"}) {
        ASSERT_EQ(quorvex("extract " + ostrand + " --stream 2 -o " + dir.file(file)).status, 0);
    }
    for (const char* file : {"movie.mkv", "movie.mp4"}) {
        const ProbedMedia m = probe_media(dir.file(file));
        EXPECT_EQ(m.tags.at("title"), "MOVIE_MOVIE0.STR-ch0") << file;
        EXPECT_EQ(m.tags.at("album"), "selvane") << file;  // the image's name, not its volume id
        EXPECT_EQ(m.tags.at("track"), "1") << file;
        EXPECT_EQ(m.tags.at("comment").rfind("quorvex: selvane stream from selvane.cue, read by the Selvane STR plug-in", 0), 0u) << file;
        EXPECT_EQ(m.color_space, "smpte170m") << file;
        EXPECT_EQ(m.chroma_location, "center") << file;
        EXPECT_EQ(m.color_range, "pc") << file;
        EXPECT_TRUE(m.video_default && m.audio_default) << file;
    }
    for (const char* file : {"song.flac", "song.wav"}) {
        const ProbedMedia m = probe_media(dir.file(file));
        EXPECT_EQ(m.tags.at("title"), "MUSIC0.XA-ch0-2") << file;
        EXPECT_EQ(m.tags.at("album"), "ostrand") << file;
        EXPECT_EQ(m.tags.at("track"), "2") << file;
        EXPECT_NE(m.tags.at("comment").find("read by the Ostrand plug-in"), std::string::npos) << file;
    }
    EXPECT_TRUE(read_bytes(dir.file("movie.mkv")) == read_bytes(dir.file("again.mkv")));
}

// A stream written to standard output plays as it comes, read by FFmpeg's own tools: a whole
// movie through a pipe, the same pictures and sound as the file the stream makes; a cut stream
// writes what the disc holds and says so.
TEST(Media, AStreamDownAPipe) {
    TempDir dir("media-pipe");
    const std::string selvane = sample("selvane.cue");
    const auto frames_in = [](const std::string& source) {
        const RunResult r = run_program(source + " | ffprobe -v error -count_frames -select_streams v "
                                                 "-show_entries stream=nb_read_frames -of csv=p=0 -");
        return r.output.substr(0, r.output.find_first_not_of("0123456789"));
    };
    const auto sound_of = [](const std::string& file) {
        return run_program("ffmpeg -v error -i " + file + " -f s16le - | sha256sum").output;
    };
    EXPECT_EQ(frames_in(quorvex_command() + " extract " + selvane + " --stream MOVIE_MOVIE0.STR-ch0 -o - --format mkv"), "32");
    for (const char* format : {"mkv", "flac", "wav"}) {
        const std::string piped = dir.file(std::string("piped.") + format), file = dir.file(std::string("file.") + format);
        const RunResult r = run_program("{ " + quorvex_command() + " extract " + selvane + " --stream 1 -o - --format " + format + " > " + piped + "; }");
        ASSERT_EQ(r.status, 0) << format << r.output;
        ASSERT_EQ(quorvex("extract " + selvane + " --stream 1 -o " + file).status, 0);
        EXPECT_EQ(sound_of(piped), sound_of(file)) << format;
    }
    EXPECT_EQ(quorvex("extract " + selvane + " --stream 1 -o - > /dev/null").status, 2);  // no --format
    EXPECT_EQ(quorvex("extract " + selvane + " --stream 1 -o - --format mp4 > /dev/null").status, 2);  // cannot stream
    auto cut = read_bytes(sample("selvane.bin"));
    cut.resize(200 * 2352);
    write_bytes(dir.file("cut.bin"), cut);
    const RunResult r = run_program("{ " + quorvex_command() + " extract " + dir.file("cut.bin") + " --stream 1 -o - --format mkv > " +
                                    dir.file("cut.mkv") + "; }");
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_EQ(frames_in("cat " + dir.file("cut.mkv")), "16");
}

TEST(Media, EverySampleDiscRipsToFilesThatPlay) {
    TempDir dir("media-rip");
    for (const auto& entry : fs::directory_iterator(build_path("samples"))) {
        if (entry.path().extension() != ".cue") continue;
        const std::string name = entry.path().stem().string();
        const std::string out = dir.file(name);
        const RunResult r = quorvex("rip " + entry.path().string() + " -o " + dir.path());
        ASSERT_EQ(r.status, 0) << r.output;
        const auto bytes = read_bytes(out + "/rip.json");
        const auto index = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(index["format_version"], 1);
        ASSERT_FALSE(index["streams"].empty()) << name;
        for (const auto& stream : index["streams"]) {
            const std::string file = stream["file"];
            ASSERT_EQ(stream["status"], "done") << file;
            const ProbedMedia media = probe_media(out + "/" + file);
            ASSERT_TRUE(media.opened) << file;
            EXPECT_EQ(media.frames.size(), stream["frames_written"].get<size_t>()) << file;
            if (stream["sample_rate"] != 0) {
                EXPECT_EQ(media.sample_rate, stream["sample_rate"].get<int>()) << file;
            }
            const auto& times = stream["frame_times_seconds"];
            ASSERT_EQ(times.size(), media.frames.size()) << file;
            for (size_t k = 0; k < times.size(); ++k) EXPECT_NEAR(media.frames[k].seconds, times[k].get<double>(), 0.0006) << file;
            if (!media.frames.empty() && !media.samples.empty()) check_ends_together(media, 0);
            const double measured = stream["measured"]["duration_seconds"];
            EXPECT_NEAR(std::max(pictures_end(media), sound_end(media)), measured, 0.002) << file;
        }
    }
}

namespace {

struct SampleStream {
    std::string disc, plugin;
    nlohmann::json info;  // as the scan describes it
};

std::vector<SampleStream> sample_movies() {
    std::vector<SampleStream> out;
    for (const char* disc : {"selvane", "grivet", "tamsel", "walcite", "corvane"}) {
        const RunResult r = quorvex("scan --all --json " + build_path("samples/" + std::string(disc) + ".cue"));
        const auto doc = nlohmann::json::parse(r.output);
        for (const auto& s : doc["discs"][0]["streams"]) {
            if (s["plugin"] == disc && s["video"] == true) out.push_back({disc, disc, s});
        }
    }
    return out;
}

}  // namespace

namespace {

// The builder's record of the sample movie `stream` is: on its channel, its first frame in range.
const discbuilder::MovieRecord* record_of(const discbuilder::DiscImage& image, const nlohmann::json& stream) {
    const uint32_t start = stream["start_sector"], end = start + stream["sector_count"].get<uint32_t>();
    for (const auto& movie : image.movies()) {
        if (stream["channel"] == movie.channel && movie.frame_lbas.front() >= start && movie.frame_lbas.front() < end) return &movie;
    }
    return nullptr;
}

// The sector clock of a recorded movie: each frame when its last chunk is read, at 150 sectors a
// second, from its first sound sector.
std::vector<double> sector_times(const discbuilder::MovieRecord& movie) {
    std::vector<double> times;
    for (uint32_t lba : movie.frame_end_lbas) times.push_back((static_cast<double>(lba) - movie.first_sound_lba) / 150.0);
    return times;
}

}  // namespace

TEST(Clock, EverySampleMovieKeepsPictureAndSoundTogether) {
    TempDir dir("clock-samples");
    const auto movies = sample_movies();
    ASSERT_GE(movies.size(), 10u);
    std::map<std::string, discbuilder::DiscImage> images;
    for (const discbuilder::SampleDisc& sample : discbuilder::sample_discs()) images.emplace(sample.name, sample.build());
    for (const SampleStream& m : movies) {
        const std::string cue = build_path("samples/" + m.disc + ".cue");
        const std::string index = std::to_string(m.info["index"].get<int>());
        const std::string name = m.plugin + index;
        const discbuilder::MovieRecord* record = record_of(images.at(m.disc), m.info);
        ASSERT_NE(record, nullptr) << name;
        const std::vector<double> clock = sector_times(*record);
        const std::string by_stream = " --plugin " + m.plugin + " --stream " + index;
        const std::string by_range = " --plugin " + m.plugin + " --start " + std::to_string(m.info["start_sector"].get<int>()) +
                                     " --count " + std::to_string(m.info["sector_count"].get<int>());
        for (const char* ext : {".mkv", ".mp4", ".avi"}) {
            const std::string file = dir.file(name + ext);
            const RunResult r = quorvex("extract " + cue + by_stream + " -o " + file);
            ASSERT_EQ(r.status, 0) << r.output;
            const ProbedMedia media = probe_media(file);
            ASSERT_FALSE(media.frames.empty()) << file;
            ASSERT_FALSE(media.samples.empty()) << file;
            check_ends_together(media, 0);
            // Paced as the disc paces it (AVI holds one rate from time 0 and is not held to it).
            if (std::string(ext) != ".avi") {
                SCOPED_TRACE(file);
                check_paced(media, clock, 0.0006);
            }
        }
        // Named by its exact range, the same stream gives the same units at the same times, and
        // each frame's listed time is within half a frame of its sector.
        ASSERT_EQ(quorvex("extract " + cue + by_stream + " -o " + dir.file(name + "-stream/")).status, 0);
        ASSERT_EQ(quorvex("extract " + cue + by_range + " -o " + dir.file(name + "-range/")).status, 0);
        auto a = read_bytes(dir.file(name + "-stream/extract.json")), b = read_bytes(dir.file(name + "-range/extract.json"));
        auto ja = nlohmann::json::parse(std::string(a.begin(), a.end())), jb = nlohmann::json::parse(std::string(b.begin(), b.end()));
        EXPECT_EQ(ja["units"], jb["units"]) << name;
        EXPECT_EQ(ja["measured"], jb["measured"]) << name;
        EXPECT_EQ(jb["stream"]["described_by"], "scan");
        const double frame = 1.0 / ja["measured"]["average_frames_per_second"].get<double>();
        size_t k = 0;
        for (const auto& unit : ja["units"]) {
            if (unit["type"] != "frame") continue;
            ASSERT_LT(k, clock.size()) << name;
            EXPECT_NEAR(unit["time_seconds"].get<double>(), clock[k++], frame / 2 + 1e-9) << name << " frame " << k;
        }
        EXPECT_EQ(k, clock.size()) << name;
    }
}

TEST(Clock, SoundThatStopsEarly) {
    TempDir dir("clock-early");
    Movie m = movie(24, 2);
    // The sound of the last third turned into plain data sectors.
    const uint32_t cut_at = m.written.frame_lbas[16];
    size_t kept = 0;
    for (uint32_t lba : m.written.audio_lbas) {
        if (lba < cut_at) {
            ++kept;
            continue;
        }
        const uint8_t data[4] = {'D', 'A', 'T', 'A'};
        m.image.put(lba, {0, 0, 0x08, 0}, data);
    }
    const std::string cue = write_image(dir, m.image);
    const RunResult r = quorvex("extract " + cue + " --plugin selvane --start " + std::to_string(m.written.first_lba) +
                                " --count " + std::to_string(m.written.end_lba - m.written.first_lba) + " -o " + dir.file("m.mkv"));
    ASSERT_EQ(r.status, 0) << r.output;
    const ProbedMedia media = probe_media(dir.file("m.mkv"));
    ASSERT_EQ(media.frames.size(), 24u);
    EXPECT_EQ(media.samples.size(), kept * 2016 * 2);
    // From the last frame the sound times on, frames follow at the rate measured before it.
    std::vector<double> times;
    for (const auto& f : media.frames) times.push_back(f.seconds);
    const int last_timed = 16;
    const double step = (times[last_timed] - times[0]) / last_timed;
    for (int k = last_timed; k < static_cast<int>(times.size()); ++k) {
        EXPECT_NEAR(times[static_cast<size_t>(k)], times[last_timed] + step * (k - last_timed), 0.0011) << k;
    }
    EXPECT_GT(pictures_end(media), sound_end(media) + 5 * step);
}

TEST(Clock, WholeBuiltDiscsKeepPictureAndSoundTogether) {
    TempDir dir("clock-whole");
    for (const char* family : {"movies", "corvane"}) {
        const std::string bin = dir.file(std::string(family) + ".bin");
        ASSERT_EQ(run_program(build_path("bin/discbuilder") + " full " + family + " " + bin + " 12000").status, 0);
        const RunResult r = quorvex("rip " + dir.file(std::string(family) + ".cue") + " -o " + dir.file("rips"));
        ASSERT_NE(r.status, 2) << r.output;
        const auto bytes = read_bytes(dir.file("rips/") + family + "/rip.json");
        const auto index = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
        size_t checked = 0;
        for (const auto& s : index["streams"]) {
            if (s["status"] != "done" || s["video"] != true) continue;
            const ProbedMedia media = probe_media(dir.file("rips/") + family + "/" + s["file"].get<std::string>());
            ASSERT_EQ(media.frames.size(), s["frames_written"].get<size_t>());
            check_ends_together(media, sector_of(s));
            ++checked;
        }
        EXPECT_GE(checked, 2u) << family;
    }
}
