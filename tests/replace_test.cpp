// quorvex replace on the sample discs, judged from outside: the new image read by quorvex, by
// FFmpeg (its STR demuxer, its XA decoder), by chdman and xdelta3, and byte by byte against the
// input, which must differ only in the replaced stream's sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/media_probe.h"
#include "support/run_program.h"
#include "support/signal_analysis.h"
#include "support/test_disc.h"

using namespace testing_support;
using Json = nlohmann::json;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }
RunResult ffmpeg(const std::string& args) { return run_program("ffmpeg -v error -y " + args); }
std::string sample(const std::string& name) { return build_path("samples/" + name); }
Json json_file(const std::string& path) { return Json::parse(read_text(path)); }

Json listed_stream(const std::string& cue, int number) {
    const RunResult r = quorvex("scan --json " + cue);
    EXPECT_EQ(r.status, 0) << r.output;
    const Json scan = Json::parse(r.output);
    for (const Json& s : scan["discs"][0]["streams"]) {
        if (s.contains("number") && s["number"].is_number() && s["number"].get<int>() == number) return s;
    }
    ADD_FAILURE() << "no stream " << number << " on " << cue << ": " << r.output.substr(0, 300);
    return {};
}

// The LBAs at which two images of the same size differ.
std::vector<uint32_t> differing_sectors(const std::string& a, const std::string& b) {
    const auto x = read_bytes(a), y = read_bytes(b);
    EXPECT_EQ(x.size(), y.size());
    std::vector<uint32_t> lbas;
    for (size_t at = 0; at + 2352 <= std::min(x.size(), y.size()); at += 2352) {
        if (!std::equal(x.begin() + std::ptrdiff_t(at), x.begin() + std::ptrdiff_t(at + 2352), y.begin() + std::ptrdiff_t(at))) {
            lbas.push_back(uint32_t(at / 2352));
        }
    }
    return lbas;
}

// Every changed sector lies in the stream's range and on its channel: no other stream, channel
// or file was touched.
void expect_only_stream_changed(const std::string& input_bin, const std::string& output_bin, const Json& stream) {
    const uint32_t start = stream["start_sector"], count = stream["sector_count"];
    const auto input = read_bytes(input_bin);
    const std::vector<uint32_t> changed = differing_sectors(input_bin, output_bin);
    EXPECT_FALSE(changed.empty());
    const uint8_t channel = input[size_t{changed.front()} * 2352 + 17];
    for (uint32_t lba : changed) {
        EXPECT_GE(lba, start);
        EXPECT_LT(lba, start + count);
        EXPECT_EQ(input[size_t{lba} * 2352 + 17], channel) << "sector " << lba << " is of another channel";
    }
}

// Every picture of `from` with a small white square in its corner, under its own name in `to`:
// pictures that differ from what the disc shows, so that every frame is encoded anew.
void mark_every_picture(const std::string& from, const std::string& to) {
    std::filesystem::create_directories(to);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(from)) {
        if (entry.path().extension() == ".png") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(ffmpeg("-pattern_type glob -i '" + from + "/*.png' -vf drawbox=x=0:y=0:w=8:h=8:color=white:t=fill " + to +
                     "/marked_%06d.png").status, 0);
    for (size_t i = 0; i < names.size(); ++i) {
        char marked[32];
        std::snprintf(marked, sizeof marked, "/marked_%06zu.png", i + 1);
        std::filesystem::rename(to + marked, to + "/" + names[i]);
    }
}

struct Layout {
    const char* disc;
    int stream;
    double least_round_trip_db;
};
constexpr Layout kLayouts[] = {{"selvane", 1, 48.5}, {"grivet", 2, 45}, {"tamsel", 1, 45}, {"walcite", 2, 45}, {"corvane", 3, 45}};

}  // namespace

TEST(Replace, EveryLayoutTakesBackItsOwnPicturesAndANewClip) {
    TempDir dir("replace-layouts");
    std::filesystem::create_directories(dir.file("clip"));
    ASSERT_EQ(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=15 -frames:v 32 " + dir.file("clip/clip_%03d.png")).status, 0);
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.disc);
        const std::string cue = sample(std::string(layout.disc) + ".cue"), bin = sample(std::string(layout.disc) + ".bin");
        const Json stream = listed_stream(cue, layout.stream);
        const std::string frames = dir.file(std::string(layout.disc) + "-frames"), out = dir.file(layout.disc);
        const std::string number = std::to_string(layout.stream);
        ASSERT_EQ(quorvex("extract " + cue + " --stream " + number + " --frames " + frames).status, 0);
        mark_every_picture(frames, frames + "-marked");

        // The round trip: the stream's own decoded pictures, each marked, put back.
        RunResult r = quorvex("replace " + cue + " --stream " + number + " --video " + frames + "-marked -o " + out + "/new.cue");
        ASSERT_EQ(r.status, 0) << r.output;
        const Json report = json_file(out + "/new.replace.json");
        EXPECT_GE(report["pictures"]["mean_psnr_db"].get<double>(), layout.least_round_trip_db);
        EXPECT_EQ(report["pictures"]["frames"], stream["frame_count"]);
        EXPECT_EQ(report["pictures"]["frames_replaced"], stream["frame_count"]);
        expect_only_stream_changed(bin, out + "/new.bin", stream);
        // The new disc lists the same streams, and the replaced one decodes every frame.
        EXPECT_EQ(Json::parse(quorvex("scan --json --all " + out + "/new.cue").output)["discs"][0]["streams"].size(),
                  Json::parse(quorvex("scan --json --all " + cue).output)["discs"][0]["streams"].size());
        r = quorvex("extract " + out + "/new.cue --stream " + number + " --frames " + out + "/back");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(json_file(out + "/back/frames.json")["pictures"].size(), stream["frame_count"].get<size_t>());
        EXPECT_TRUE(json_file(out + "/back/frames.json")["undecodable_frames"].empty());

        // A test clip of another size and frame count, taken at the stream's frame times.
        r = quorvex("replace " + cue + " --stream " + number + " --video " + dir.file("clip") + " --fit -o " + out + "/clip.chd");
        ASSERT_EQ(r.status, 0) << r.output;
    }
}

TEST(Replace, ATestClipInSelvanesFirstMovieReadsInFFmpegsStrDemuxer) {
    TempDir dir("replace-clip");
    std::filesystem::create_directories(dir.file("clip"));
    ASSERT_EQ(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=15 -frames:v 32 " + dir.file("clip/%03d.png")).status, 0);
    const std::string cue = sample("selvane.cue");
    RunResult r = quorvex("replace " + cue + " --stream 1 --video " + dir.file("clip") + " -o " + dir.file("new.cue"));
    ASSERT_EQ(r.status, 0) << r.output;
    const Json report = json_file(dir.file("new.replace.json"));
    EXPECT_GE(report["pictures"]["mean_psnr_db"].get<double>(), 42.0);
    for (const Json& f : report["pictures"]["per_frame"]) EXPECT_LE(f["bytes"], f["room"]);
    // The rate-distortion step never loses to the scale search alone.
    EXPECT_LE(report["pictures"]["coefficient_error"].get<double>(), report["pictures"]["scale_search_error"].get<double>());

    // The movie's file cut from the new BIN, decoded by FFmpeg alone: every frame.
    const Json stream = listed_stream(dir.file("new.cue"), 1);
    const uint32_t start = stream["start_sector"], count = stream["sector_count"];
    const auto bin = read_bytes(dir.file("new.bin"));
    write_bytes(dir.file("movie.str"), {bin.begin() + std::ptrdiff_t(size_t{start} * 2352),
                                        bin.begin() + std::ptrdiff_t(size_t{start + count} * 2352)});
    const ProbedMedia movie = probe_media(dir.file("movie.str"), "psxstr");
    ASSERT_TRUE(movie.opened);
    EXPECT_EQ(movie.frames.size(), 32u);
}

TEST(Replace, SubtitlesChangeTheFramesTheyCoverAndNoOther) {
    TempDir dir("replace-subtitles");
    write_text(dir.file("lines.srt"), "1\n00:00:00,500 --> 00:00:01,000\nThe first line\nand the second\n");
    const std::string cue = sample("selvane.cue");
    ASSERT_EQ(quorvex("extract " + cue + " --stream 1 --frames " + dir.file("before")).status, 0);
    RunResult r = quorvex("replace " + cue + " --stream 1 --subtitles " + dir.file("lines.srt") + " -o " + dir.file("new.cue"));
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(quorvex("extract " + dir.file("new.cue") + " --stream 1 --frames " + dir.file("after")).status, 0);
    const Json frames = json_file(dir.file("before/frames.json"))["pictures"];
    size_t covered = 0;
    for (const Json& f : frames) {
        const double t = f["time_seconds"];
        const bool shown = t >= 0.5 && t < 1.0;
        const std::string name = f["file"];
        const bool same = read_bytes(dir.file("before/" + name)) == read_bytes(dir.file("after/" + name));
        EXPECT_EQ(same, !shown) << name << " at " << t << " s";
        covered += shown;
    }
    EXPECT_GT(covered, 5u);
    // Inside the frames they cover, the macroblocks the line leaves alone decode as before: the
    // rows above it, as the console decodes them, in every frame not fitted anew.
    for (const char* side : {"before", "after"}) {
        ASSERT_EQ(ffmpeg("-pattern_type glob -i '" + dir.file(side) + "/*.png' -vf crop=320:160:0:0 " + dir.file(std::string(side) + "-top") +
                         "_%03d.png").status, 0);
    }
    const Json report = json_file(dir.file("new.replace.json"));
    size_t kept_any = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Json& f = report["pictures"]["per_frame"][i];
        if (f.value("refitted", false)) continue;
        kept_any += f.value("kept_macroblocks", 0) > 0;
        char name[32];
        std::snprintf(name, sizeof name, "-top_%03zu.png", i + 1);
        EXPECT_TRUE(read_bytes(dir.file(std::string("before") + name)) == read_bytes(dir.file(std::string("after") + name))) << f.dump();
    }
    EXPECT_GT(kept_any, 5u);
}

TEST(Replace, NewSoundDecodesBackCleanlyCutOrPadded) {
    TempDir dir("replace-sound");
    // 440 Hz at 44.1 kHz: converted to each stream's rate. Ten seconds is longer than any stream.
    ASSERT_EQ(ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 -ac 2 " + dir.file("long.wav")).status, 0);
    ASSERT_EQ(ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.5 -ac 2 " + dir.file("short.wav")).status, 0);
    struct Case {
        const char* disc;
        int stream;
    };
    for (const Case c : {Case{"ostrand", 1}, Case{"selvane", 1}, Case{"nimbrel", 1}}) {
        SCOPED_TRACE(c.disc);
        const std::string cue = sample(std::string(c.disc) + ".cue"), out = dir.file(c.disc), number = std::to_string(c.stream);
        RunResult r = quorvex("replace " + cue + " --stream " + number + " --sound " + dir.file("long.wav") + " -o " + out + "/new.cue");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("the rest is cut"), std::string::npos) << r.output;
        expect_only_stream_changed(sample(std::string(c.disc) + ".bin"), out + "/new.bin", listed_stream(cue, c.stream));
        ASSERT_EQ(quorvex("extract " + out + "/new.cue --stream " + number + " -o " + out + "/back.wav").status, 0);
        const ProbedMedia back = probe_media(out + "/back.wav");
        ASSERT_GT(back.samples.size(), 8000u);
        const size_t frames = back.samples.size() / size_t(back.channels);
        const double snr = sine_snr(back.samples, back.channels, 0, back.sample_rate, 440, 200, frames - 200);
        RecordProperty(std::string(c.disc) + "_sine_snr_db", std::to_string(snr));
        EXPECT_GE(snr, 55.0);

        r = quorvex("replace " + cue + " --stream " + number + " --sound " + dir.file("short.wav") + " -o " + out + "/short.cue");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("padded with silence"), std::string::npos) << r.output;
    }
}

// A PPF 3.0 patch applied as its layout says: a 60-byte header ("PPF30", method 2, a 50-byte
// description, the image type, block check, undo and a reserved byte), the block check (the
// original's 1024 bytes at 0x9320, which an applier compares first), then records of a 64-bit
// offset, a length and the bytes.
std::vector<uint8_t> apply_ppf3(std::vector<uint8_t> image, const std::vector<uint8_t>& ppf) {
    EXPECT_GE(ppf.size(), 1084u);
    EXPECT_EQ(std::string(ppf.begin(), ppf.begin() + 5), "PPF30");
    EXPECT_EQ(ppf[5], 2);
    EXPECT_EQ(ppf[57], 1);  // block check
    EXPECT_EQ(ppf[58], 0);  // no undo data
    EXPECT_TRUE(std::equal(ppf.begin() + 60, ppf.begin() + 1084, image.begin() + 0x9320)) << "the block check is the original's";
    for (size_t at = 1084; at < ppf.size();) {
        uint64_t offset = 0;
        for (int i = 7; i >= 0; --i) offset = offset << 8 | ppf[at + size_t(i)];
        const size_t n = ppf[at + 8];
        EXPECT_LE(offset + n, image.size());
        if (offset + n > image.size()) break;
        std::copy(ppf.begin() + std::ptrdiff_t(at + 9), ppf.begin() + std::ptrdiff_t(at + 9 + n), image.begin() + std::ptrdiff_t(offset));
        at += 9 + n;
    }
    return image;
}

TEST(Replace, WritesChdsAndPatchesOthersReadAndNeverItsInput) {
    TempDir dir("replace-outputs");
    const std::string cue = sample("tamsel.cue"), bin = sample("tamsel.bin");
    const auto input = read_bytes(bin);
    ASSERT_EQ(quorvex("extract " + cue + " --stream 1 --frames " + dir.file("frames")).status, 0);
    mark_every_picture(dir.file("frames"), dir.file("marked"));
    const std::string video = " --video " + dir.file("marked");
    RunResult r = quorvex("replace " + cue + " --stream 1" + video + " -o " + dir.file("new.cue") + " --patch " +
                          dir.file("new.xdelta"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::filesystem::exists(dir.file("new.replace.json")));
    // Another replace into the folder never writes over the first one's report.
    r = quorvex("replace " + cue + " --stream 1" + video + " -o " + dir.file("new.chd"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("new.replace.json: already exists and replace writes new files only"), std::string::npos) << r.output;
    r = quorvex("replace " + cue + " --stream 1" + video + " -o " + dir.file("new.chd") + " --patch " + dir.file("new.ppf"));
    EXPECT_EQ(r.status, 1);
    std::filesystem::remove(dir.file("new.replace.json"));
    r = quorvex("replace " + cue + " --stream 1" + video + " -o " + dir.file("new.chd") + " --patch " + dir.file("new.ppf"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_bytes(bin), input);

    r = run_program("xdelta3 -d -s " + bin + " " + dir.file("new.xdelta") + " " + dir.file("xdelta.bin"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_bytes(dir.file("xdelta.bin")), read_bytes(dir.file("new.bin")));
    EXPECT_EQ(apply_ppf3(input, read_bytes(dir.file("new.ppf"))), read_bytes(dir.file("new.bin")));
    r = run_program("chdman verify -i " + dir.file("new.chd"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Json::parse(quorvex("scan --json --all " + dir.file("new.chd")).output)["discs"][0]["streams"].size(),
              Json::parse(quorvex("scan --json --all " + dir.file("new.cue")).output)["discs"][0]["streams"].size());

    // What cannot be done is refused, and nothing is written.
    r = quorvex("replace " + dir.file("new.chd") + " --stream 1" + video + " --patch " + dir.file("chd.xdelta"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("convert it to BIN/CUE first"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("chd.xdelta")));
    r = quorvex("replace " + cue + " --stream 1" + video + " -o " + dir.file("new.cue"));
    EXPECT_EQ(r.status, 1) << "an existing output is never replaced";
    EXPECT_NE(r.output.find(": already exists and replace writes new files only"), std::string::npos) << r.output;
    std::filesystem::create_directories(dir.file("few"));
    std::filesystem::copy_file(dir.file("frames/frame_000001.png"), dir.file("few/frame_000001.png"));
    r = quorvex("replace " + cue + " --stream 1 --video " + dir.file("few") + " -o " + dir.file("few.cue"));
    EXPECT_EQ(r.status, 1) << "the disc's own picture changes nothing";
    EXPECT_NE(r.output.find("nothing would change"), std::string::npos) << r.output;
    r = quorvex("replace " + cue + " --stream 1" + video + " --min-psnr 98 -o " + dir.file("fine.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("32 frames come out below --min-psnr 98.00 dB, the worst frame"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("fine.cue")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("fine.bin")));
    r = quorvex("replace " + cue + " --stream 1" + video + " --min-psnr 98 --allow-coarse -o " + dir.file("fine.cue"));
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST(Replace, EveryTrackOfATwoFileSheetAsItWas) {
    TempDir dir("replace-tracks");
    std::filesystem::copy_file(sample("tamsel.bin"), dir.file("data.bin"));
    std::vector<uint8_t> audio(size_t{400} * 2352);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7 + i / 2352);
    write_bytes(dir.file("audio.bin"), audio);
    const std::string sheet = "REM a comment kept\r\nFILE \"data.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n"
                              "FILE \"audio.bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    FLAGS DCP\r\n    INDEX 00 00:00:00\r\n"
                              "    INDEX 01 00:02:00\r\n    POSTGAP 00:00:10\r\n";
    write_text(dir.file("disc.cue"), sheet);
    ASSERT_EQ(quorvex("extract " + dir.file("disc.cue") + " --stream 1 --frames " + dir.file("frames")).status, 0);
    mark_every_picture(dir.file("frames"), dir.file("marked"));
    const RunResult r = quorvex("replace " + dir.file("disc.cue") + " --stream 1 --video " + dir.file("marked") + " -o " + dir.file("new.cue"));
    ASSERT_EQ(r.status, 0) << r.output;
    std::string expected = sheet;
    expected.replace(expected.find("data.bin"), 8, "new (Track 01).bin");
    expected.replace(expected.find("audio.bin"), 9, "new (Track 02).bin");
    EXPECT_EQ(read_text(dir.file("new.cue")), expected);
    EXPECT_TRUE(read_bytes(dir.file("new (Track 02).bin")) == audio) << "the audio track's file, pregap included, byte for byte";
    EXPECT_EQ(std::filesystem::file_size(dir.file("new (Track 01).bin")), std::filesystem::file_size(dir.file("data.bin")));
}
