// quorvex run as a careless user runs it: on pipes and devices, cut and corrupted images, used
// and shared output folders, with signals mid-run. Every failure is named, no failure passes for
// success, and nothing half-written or mixed is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "contract/raw_sector.h"
#include "discbuilder/archive_audio.h"
#include "discbuilder/iso9660.h"
#include "support/run_program.h"
#include "support/test_disc.h"
#include "support/waiting.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
std::string sample(const std::string& name) { return build_path("samples/" + name); }

// Every entry under `dir`, hidden ones included, as relative paths.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); ++it) {
        out.push_back(fs::relative(it->path(), dir).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool has_staging(const std::string& dir) {
    for (const std::string& e : entries(dir)) {
        if (contains(e, ".quorvex-")) return true;
    }
    return false;
}

// A sample disc copied, cut to `sectors` sectors.
std::string cut_copy(const TempDir& dir, const std::string& name, uint32_t sectors) {
    auto bytes = read_bytes(sample(name + ".bin"));
    bytes.resize(std::min<size_t>(bytes.size(), size_t{sectors} * 2352));
    write_bytes(dir.file(name + "-cut.bin"), bytes);
    return dir.file(name + "-cut.bin");
}

Json json_of(const RunResult& r) { return Json::parse(r.output.substr(r.output.find('{'))); }

std::string base64_decode(const std::string& text) {
    static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<uint32_t>(kDigits.find(c));
        if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    return out;
}

}  // namespace

TEST(HostFaults, OnlyRegularFilesAreRead) {
    TempDir dir("faults-files");
    ASSERT_EQ(mkfifo(dir.file("pipe.bin").c_str(), 0644), 0);
    RunResult r = quorvex("scan " + dir.file("pipe.bin"));  // returns at once, not blocked on the pipe
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "pipe.bin: cannot open: not a regular file")) << r.output;

    write_text(dir.file("pipe.cue"), "FILE \"pipe.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
    r = quorvex("scan " + dir.file("pipe.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "pipe.cue: line 1: cannot open \"pipe.bin\": not a regular file")) << r.output;

    fs::create_symlink("/dev/zero", dir.file("zero.cue"));
    r = quorvex("scan " + dir.file("zero.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "zero.cue: cannot open: not a regular file")) << r.output;

    // A large file named .cue is refused by its size before a byte of it is read.
    { std::ofstream(dir.file("big.cue")); }
    fs::resize_file(dir.file("big.cue"), 2'000'000'000);
    r = quorvex("scan " + dir.file("big.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "big.cue: too large (2000000000 bytes; at most 1048576) for a CUE sheet")) << r.output;
}

TEST(HostFaults, CueSheetsAsPeopleWriteThem) {
    TempDir dir("faults-cue");
    fs::create_directory(dir.file("sub"));
    fs::copy_file(sample("selvane.bin"), dir.file("sub/img.bin"));
    // Old Mac line endings and a Windows path.
    write_text(dir.file("cr.cue"), "FILE \"sub\\img.bin\" BINARY\r  TRACK 01 MODE2/2352\r    INDEX 01 00:00:00\r");
    RunResult r = quorvex("scan " + dir.file("cr.cue"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "cr.cue: 2 streams")) << r.output;

    // UTF-16 with a byte-order mark, as some Windows tools save it.
    const std::string text = "FILE \"sub/img.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    std::vector<uint8_t> utf16 = {0xFF, 0xFE};
    for (char c : text) utf16.insert(utf16.end(), {static_cast<uint8_t>(c), 0});
    write_bytes(dir.file("wide.cue"), utf16);
    r = quorvex("scan " + dir.file("wide.cue"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "wide.cue: 2 streams")) << r.output;

    // A text sheet of 10 MB is too large, and says so, rather than "binary data".
    write_text(dir.file("long.cue"), std::string(10'000'000, ' '));
    r = quorvex("scan " + dir.file("long.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "long.cue: too large (10000000 bytes")) << r.output;

    // Two tracks at one sector: the first would have none.
    fs::copy_file(sample("selvane.bin"), dir.file("two.bin"));
    write_text(dir.file("two.cue"),
               "FILE \"two.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
               "  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");
    r = quorvex("scan " + dir.file("two.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "two.cue: line 2: track 1 has no sectors")) << r.output;
}

TEST(HostFaults, ManyImagesAreScannedOneAtATime) {
    TempDir dir("faults-many");
    std::string args;
    for (int i = 0; i < 40; ++i) {
        const std::string name = dir.file("disc" + std::to_string(i) + ".bin");
        fs::create_symlink(sample("selvane.bin"), name);
        args += " " + name;
    }
    args += " " + dir.file("missing.cue");
    // Fewer descriptors than images: each is opened, scanned and closed before the next.
    const RunResult r = run_program("bash -c 'ulimit -n 24; " + quorvex_command() + " scan" + args + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "missing.cue: cannot open")) << r.output;
    size_t scanned = 0;
    for (size_t at = r.output.find(": 2 streams"); at != std::string::npos; at = r.output.find(": 2 streams", at + 1)) ++scanned;
    EXPECT_EQ(scanned, 40u) << r.output;
}

TEST(HostFaults, JsonIsValidWhateverTheFileNames) {
    TempDir dir("faults-json");
    const std::string name = dir.file("caf\xE9.bin");  // Latin-1, not UTF-8
    fs::copy_file(sample("selvane.bin"), name);
    const RunResult r = quorvex("scan --json '" + name + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    const Json doc = json_of(r);  // the parser refuses invalid UTF-8
    EXPECT_EQ(doc["format_version"], 1);
    const Json& disc = doc["discs"][0];
    EXPECT_TRUE(contains(disc["image"].get<std::string>(), "caf\xEF\xBF\xBD.bin"));
    EXPECT_EQ(base64_decode(disc["image_base64"]), name);
    const Json& stream = disc["streams"][0];
    EXPECT_EQ(stream["kind"], 3);
    EXPECT_EQ(stream["video"], true);
    EXPECT_EQ(stream["audio"], true);
    EXPECT_EQ(stream["state"], "whole");
    EXPECT_DOUBLE_EQ(stream["frames_per_second"].get<double>(), stream["frame_rate"].get<double>() / 10);

    const RunResult plugins = quorvex("plugins --json");
    EXPECT_EQ(json_of(plugins)["plugins"][0]["decodes_audio"], false);
    // A scanned stream's exact range is described as the scan describes it; any other is an estimate.
    const std::string start = " --start " + std::to_string(stream["start_sector"].get<uint32_t>());
    const uint32_t count = stream["sector_count"];
    const RunResult info = quorvex("info --json " + sample("selvane.cue") + " --plugin selvane" + start + " --count " + std::to_string(count));
    EXPECT_EQ(json_of(info)["described_by"], "scan");
    const RunResult estimate =
        quorvex("info --json " + sample("selvane.cue") + " --plugin selvane" + start + " --count " + std::to_string(count - 1));
    EXPECT_EQ(json_of(estimate)["described_by"], "estimate");
}

TEST(HostFaults, WriteErrorsOnStandardOutputAreErrors) {
    for (const std::string& args : {"scan --json " + sample("selvane.cue"), std::string("plugins")}) {
        const RunResult r = run_program("sh -c '" + quorvex_command() + " " + args + " 2>&1 > /dev/full'");
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_TRUE(contains(r.output, "cannot write to standard output: No space left on device")) << r.output;
    }
}

TEST(HostFaults, OutputsNeverMixOldAndNew) {
    TempDir dir("faults-used");
    const std::string disc = sample("selvane.cue");
    const std::string out = dir.file("out");
    const Json scanned = json_of(quorvex("scan --all --json " + disc));
    const size_t frames0 = scanned["discs"][0]["streams"][0]["frame_count"], frames1 = scanned["discs"][0]["streams"][1]["frame_count"];
    ASSERT_EQ(quorvex("extract " + disc + " --plugin selvane --stream 0 -o " + out + "/").status, 0);
    const auto first = entries(out);
    EXPECT_EQ(first.size(), frames0 + 2);  // the frames, audio.xa, extract.json

    // An earlier output is refused, and left exactly as it was.
    RunResult r = quorvex("extract " + disc + " --plugin selvane --stream 1 -o " + out + "/");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "already exists")) << r.output;
    EXPECT_EQ(entries(out), first);
    // --force replaces quorvex's own output whole: the second stream's frames, not beside the first's.
    r = quorvex("extract " + disc + " --plugin selvane --stream 1 -o " + out + "/ --force");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(entries(out).size(), frames1 + 2);
    // Never a file quorvex did not write.
    write_text(out + "/notes.txt", "mine");
    r = quorvex("extract " + disc + " --plugin selvane --stream 0 -o " + out + "/ --force");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "holds notes.txt, which quorvex did not write")) << r.output;
    EXPECT_EQ(entries(out).size(), frames1 + 3);

    // A file of the user's beside the output, under the name staging once had, is left alone.
    write_text(dir.file("movie.mkv.partial"), "mine");
    ASSERT_EQ(quorvex("extract " + disc + " --plugin selvane --stream 0 -o " + dir.file("movie.mkv")).status, 0);
    EXPECT_EQ(read_bytes(dir.file("movie.mkv.partial")).size(), 4u);
    write_text(dir.file("other.mkv"), "mine");
    r = quorvex("extract " + disc + " --plugin selvane --stream 0 -o " + dir.file("other.mkv") + " --force");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_bytes(dir.file("other.mkv")).size(), 4u);
    // A media file quorvex wrote may be replaced.
    EXPECT_EQ(quorvex("extract " + disc + " --plugin selvane --stream 1 -o " + dir.file("movie.mkv") + " --force").status, 0);

    // A failed commit changes nothing: here the manifest's name is taken by a folder in the way.
    r = quorvex("extract " + disc + " --plugin selvane --stream 0 -o " + dir.file("new/deep/") + " --frames " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir.file("new"))) << "the folders a failed run made are gone";
    EXPECT_FALSE(has_staging(dir.path()));
    // Media output makes missing folders too.
    EXPECT_EQ(quorvex("extract " + disc + " --plugin selvane --stream 0 -o " + dir.file("a/b/movie.mkv")).status, 0);
}

// A shared rips folder may hold links planted by someone else: none carries a rip out of it. The
// folder the user gives may itself be a link.
TEST(HostFaults, LinksUnderTheOutputFolderAreNeverFollowed) {
    TempDir dir("faults-links");
    const std::string disc = sample("walcite.cue"), out = dir.file("out"), outside = dir.file("outside");
    fs::create_directories(out);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, out + "/walcite");
    RunResult r = quorvex("rip " + disc + " -o " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, out + "/walcite: is a symbolic link; quorvex writes only inside " + out)) << r.output;
    EXPECT_TRUE(entries(outside).empty());
    fs::remove(out + "/walcite");

    // A link inside the disc's folder, in place of rip.json or of a stream's file, is never
    // written through.
    ASSERT_EQ(quorvex("rip " + disc + " -o " + dir.file("first")).status, 0);
    const std::string stream = entries(dir.file("first/walcite")).front();
    for (const std::string& name : {std::string("rip.json"), stream}) {
        SCOPED_TRACE(name);
        fs::remove_all(out + "/walcite");
        fs::create_directories(out + "/walcite");
        write_text(outside + "/target", "mine");
        fs::create_symlink(outside + "/target", out + "/walcite/" + name);
        r = quorvex("rip " + disc + " -o " + out);
        EXPECT_NE(r.status, 0) << r.output;
        EXPECT_EQ(read_text(outside + "/target"), "mine");
    }

    // The output folder a link: written where it leads.
    fs::remove_all(out);
    fs::create_directory_symlink(outside, out);
    ASSERT_EQ(quorvex("rip " + disc + " -o " + out).status, 0);
    EXPECT_TRUE(fs::is_regular_file(outside + "/walcite/rip.json"));
}

TEST(HostFaults, OutputKindsAreNamedPlainly) {
    TempDir dir("faults-kinds");
    RunResult r = quorvex("extract " + sample("selvane.cue") + " --plugin selvane --stream 0 -o " + dir.file("movie.mov"));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.output, "quorvex writes no .mov files")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("movie.mov")));
    // Sound alone says so.
    r = quorvex("extract " + sample("selvane.cue") + " --plugin selvane --stream 0 -o " + dir.file("sound.wav"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, " audio units written to")) << r.output;
    EXPECT_FALSE(contains(r.output, "frames")) << r.output;
    // A place that cannot be written is named as the user named it, not as staging.
    write_text(dir.file("plain"), "a file, not a folder");
    r = quorvex("extract " + sample("selvane.cue") + " --plugin selvane --stream 0 --frames " + dir.file("plain/pictures"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "plain: not a folder")) << r.output;
    EXPECT_FALSE(contains(r.output, ".quorvex-")) << r.output;
}

TEST(HostFaults, SeekingPastTheEndIsAnErrorForEveryPlugin) {
    TempDir dir("faults-seek");
    const std::pair<const char*, const char*> streams[] = {{"selvane", "selvane"}, {"walcite", "walcite"},
                                                           {"corvane", "corvane"}, {"ostrand", "ostrand"},
                                                           {"nimbrel", "nimbrel_music"}};
    for (const auto& [disc, plugin] : streams) {
        const std::string out = dir.file(std::string(plugin) + "/");
        const RunResult r = quorvex("extract " + sample(std::string(disc) + ".cue") + " --plugin " + plugin +
                                    " --stream 0 --seek 600000 -o " + out);
        EXPECT_EQ(r.status, 1) << plugin << r.output;
        EXPECT_TRUE(contains(r.output, "--seek 600000 ms lies past the end of the stream, which lasts")) << r.output;
        EXPECT_FALSE(fs::exists(out)) << plugin;
    }
}

TEST(HostFaults, StreamsOutsideTheDiscAndCutStreams) {
    TempDir dir("faults-cut");
    // The archive plug-ins list tracks past the end of a cut disc: listed, never extracted.
    const std::string cut = cut_copy(dir, "nimbrel", 60);
    RunResult r = quorvex("scan --json " + cut);
    ASSERT_EQ(r.status, 0) << r.output;
    size_t unreadable = 0;
    const Json scanned = json_of(r);
    for (const Json& s : scanned["discs"][0]["streams"]) {
        if (s["start_sector"].get<uint32_t>() >= 60) {
            EXPECT_EQ(s["state"], "unreadable");
            ++unreadable;
        }
    }
    EXPECT_GT(unreadable, 0u);
    r = quorvex("extract " + cut + " --plugin nimbrel_music --stream 2 -o " + dir.file("voice/"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "cannot be read: it starts at sector 61, outside the data track")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("voice")));

    // A movie that lost its end: listed under its file's name as cut, before a frame is played.
    const std::string movie = cut_copy(dir, "selvane", 150);
    r = quorvex("scan --json " + movie);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(contains(r.output, "named by their sectors")) << r.output;
    const Json listed = json_of(r)["discs"][0]["streams"][0];
    EXPECT_EQ(listed["name"], "MOVIE_MOVIE0.STR-ch0");
    EXPECT_EQ(listed["state"], "cut");
    EXPECT_TRUE(contains(listed["note"].get<std::string>(), "the image ends at sector 150, inside MOVIE/MOVIE0.STR (sectors 32 to 351)"))
        << listed;
    // What the disc holds is written, and called cut.
    r = quorvex("extract " + movie + " --plugin selvane --stream 0 -o " + dir.file("movie/"));
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(contains(r.output, "the stream is cut:")) << r.output;
    const auto manifest = read_bytes(dir.file("movie/extract.json"));
    const Json m = Json::parse(std::string(manifest.begin(), manifest.end()));
    EXPECT_EQ(m["stream"]["state"], "cut");
    EXPECT_TRUE(contains(m["stream"]["note"].get<std::string>(), "frames its scan counted"));

    // A corrupted index record sends a track far past the disc.
    discbuilder::DiscImage image;
    const auto archive = discbuilder::write_archive(image, 30, 31, true, {8, 6}, 1);
    uint8_t index[2048];
    std::memcpy(index, image.raw(30) + 24, sizeof index);
    psr::store_le32(index + 8, 536870900);  // track 1's offset
    const uint8_t* sub = image.raw(30) + 16;
    image.put(30, {sub[0], sub[1], sub[2], sub[3]}, index);
    discbuilder::write_iso_volume(image, "MABOROSITUKIYO",
                                  {{"BGM.HED", archive.index_lba, archive.index_bytes},
                                   {"BGM.MRG", archive.data_lba, archive.data_sectors * 2048}});
    std::string error;
    ASSERT_TRUE(image.write(dir.file("index.bin"), error)) << error;
    r = quorvex("scan --json " + dir.file("index.bin"));
    ASSERT_EQ(r.status, 0) << r.output;
    bool far = false;
    const Json corrupted = json_of(r);
    for (const Json& s : corrupted["discs"][0]["streams"]) {
        if (s["start_sector"].get<uint32_t>() > 500000000) far = s["state"] == "unreadable";
    }
    EXPECT_TRUE(far) << r.output;
}

TEST(HostFaults, AMovieWithoutOneDecodablePictureFails) {
    TempDir dir("faults-pictures");
    // The sample movie with every first chunk's picture data wiped.
    auto bytes = read_bytes(sample("selvane.bin"));
    for (size_t lba = 0; lba < bytes.size() / 2352; ++lba) {
        uint8_t* s = &bytes[lba * 2352];
        if ((s[18] & 0x48) == 0x48 && (s[24] & 0xF0) == 0x60 && psr::load_le16(s + 24 + 4) == 0) {
            std::memset(s + 24 + 32 + 8, 0, 2000);
        }
    }
    write_bytes(dir.file("broken.bin"), bytes);
    const RunResult r = quorvex("extract " + dir.file("broken.bin") + " --plugin selvane --stream 0 -o " + dir.file("m.mkv"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "frames can be decoded (frame 1:")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("m.mkv")));
}

namespace {

// Holds `run` stopped at a moment when `holds` is true, checked again once it has stopped: the run
// cannot move on between the check and what the test does next. False if it ended first.
bool freeze_when(const Started& run, const std::function<bool()>& holds) {
    return wait_until([&] {
        if (!holds()) return false;
        if (!pause_program(run)) return true;  // it ended: nothing to freeze
        if (holds()) return true;
        resume_program(run);
        return false;
    }) && holds();
}

// A signal to a frozen run, taken as it goes on.
void interrupt(const Started& run, int signal) {
    signal_program(run, signal);
    resume_program(run);
}

}  // namespace

TEST(HostFaults, InterruptedRunsLeaveNothingHalfWritten) {
    TempDir dir("faults-signals");
    const std::string disc = dir.file("movies.bin");
    ASSERT_EQ(run_program(build_path("bin/discbuilder") + " full movies " + disc + " 6000").status, 0);
    const std::string cue = dir.file("movies.cue");

    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const std::string out = dir.file("movie-" + std::to_string(signal) + ".mkv");
        const Started run = start_program(quorvex_command() + " extract " + cue + " --plugin selvane --stream 0 -o " + out,
                                          dir.file("log.txt"));
        // Once it is writing, interrupt it.
        ASSERT_TRUE(freeze_when(run, [&] { return has_staging(dir.path()); }));
        interrupt(run, signal);
        EXPECT_EQ(wait_program(run), 128 + signal);
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(has_staging(dir.path())) << signal;
    }

    // A rip keeps the streams it finished, recorded as finished, and resumes.
    const std::string rips = dir.file("rips");
    Started run = start_program(quorvex_command() + " rip " + cue + " -o " + rips, dir.file("log.txt"));
    const std::string index = rips + "/movies/rip.json";
    // Interrupted with a stream finished and the next one being written.
    ASSERT_TRUE(freeze_when(run, [&] { return fs::exists(index) && has_staging(rips + "/movies"); }));
    interrupt(run, SIGINT);
    EXPECT_EQ(wait_program(run), 128 + SIGINT);
    EXPECT_FALSE(has_staging(rips));
    auto bytes = read_bytes(index);
    const Json partial = Json::parse(std::string(bytes.begin(), bytes.end()));
    ASSERT_GE(partial["streams"].size(), 1u);
    EXPECT_EQ(partial["summary"]["complete"], false);
    for (const Json& s : partial["streams"]) EXPECT_TRUE(fs::exists(rips + "/movies/" + s["file"].get<std::string>()));

    // Killed outright, it leaves staging that the next run clears, as no live run holds its lock.
    run = start_program(quorvex_command() + " rip " + cue + " -o " + rips, dir.file("log.txt"));
    ASSERT_TRUE(freeze_when(run, [&] { return has_staging(rips + "/movies"); }));
    signal_program(run, SIGKILL);
    wait_program(run);
    const RunResult resumed = quorvex("rip " + cue + " -o " + rips);
    EXPECT_TRUE(contains(resumed.output, "(ripped before)")) << resumed.output;
    EXPECT_FALSE(has_staging(rips));
    bytes = read_bytes(index);
    const Json whole = Json::parse(std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(whole["summary"]["complete"], true);
}

// A reader that goes away (quorvex ... | head) ends the run as Ctrl-C does: what was staged is
// removed, the lock let go, and the status says SIGPIPE.
TEST(HostFaults, AReaderThatGoesAwayEndsTheRunCleanly) {
    TempDir dir("faults-pipe");
    int n = 0;
    for (const std::string redirect : {"", " --progress json", " --progress json 2>&1"}) {
        SCOPED_TRACE(redirect);
        const std::string out = dir.file("out" + std::to_string(++n));
        const RunResult r = run_program("bash -c '" + quorvex_command() + " rip " + build_path("samples") + " -o " + out + redirect +
                                        " | head -c 10 >/dev/null; echo status ${PIPESTATUS[0]}'");
        EXPECT_TRUE(contains(r.output, "status 141")) << r.output;
        EXPECT_FALSE(has_staging(out)) << "a staged file, lock or marker is left";
        // The next run finds nothing in its way.
        EXPECT_EQ(quorvex("rip " + sample("walcite.cue") + " -o " + out).status, 0);
    }
}

TEST(HostFaults, TwoRunsToOneOutput) {
    TempDir dir("faults-two");
    const std::string out = dir.file("movie.mkv");
    // The sample disc's two movies, of different lengths, to the same file at once.
    const Started a = start_program(quorvex_command() + " extract " + sample("selvane.cue") + " --plugin selvane --stream 0 -o " + out,
                                    dir.file("a.txt"));
    const Started b = start_program(quorvex_command() + " extract " + sample("selvane.cue") + " --plugin selvane --stream 1 -o " + out,
                                    dir.file("b.txt"));
    const int sa = wait_program(a), sb = wait_program(b);
    EXPECT_EQ((sa == 0) + (sb == 0), 1) << sa << " " << sb;
    const auto log_a = read_bytes(dir.file("a.txt")), log_b = read_bytes(dir.file("b.txt"));
    const std::string winner(sa == 0 ? log_a.begin() : log_b.begin(), sa == 0 ? log_a.end() : log_b.end());
    const std::string loser(sa == 0 ? log_b.begin() : log_a.begin(), sa == 0 ? log_b.end() : log_a.end());
    EXPECT_TRUE(contains(loser, "movie.mkv: already exists") || contains(loser, "appeared while quorvex was writing it")) << loser;
    // The file holds the winner's stream.
    const RunResult probe = run_program("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 " + out);
    EXPECT_TRUE(contains(winner, probe.output.substr(0, probe.output.size() - 1) + " frames")) << winner << probe.output;
    EXPECT_FALSE(has_staging(dir.path()));

    // Two rips into one folder: the second is told the first is at work, and neither reports the
    // other's streams as failed.
    const Started r1 = start_program(quorvex_command() + " rip " + sample("walcite.cue") + " -o " + dir.file("rips"), dir.file("r1.txt"));
    const Started r2 = start_program(quorvex_command() + " rip " + sample("walcite.cue") + " -o " + dir.file("rips"), dir.file("r2.txt"));
    const int s1 = wait_program(r1), s2 = wait_program(r2);
    for (const char* log : {"r1.txt", "r2.txt"}) {
        const auto text = read_bytes(dir.file(log));
        EXPECT_FALSE(contains(std::string(text.begin(), text.end()), "FAILED"));
    }
    EXPECT_TRUE((s1 == 0 && (s2 == 0 || s2 == 1)) || (s2 == 0 && s1 == 1)) << s1 << " " << s2;
}

TEST(HostFaults, AFileSizeLimitStopsTheRunCleanly) {
    TempDir dir("faults-limit");
    // 50 KiB is far less than the movie: the write fails (SIGXFSZ, then "File too large").
    const RunResult r = run_program("bash -c 'ulimit -f 50; " + quorvex_command() + " extract " + sample("selvane.cue") +
                                    " --plugin selvane --stream 0 --lossless -o " + dir.file("movie.mkv") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "movie.mkv: cannot write: File too large")) << r.output;
    EXPECT_TRUE(entries(dir.path()).empty());
}
