// quorvex end to end: the commands on built images, and every error a user can cause.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "discbuilder/disc_image.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t files_in(const std::string& dir) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file()) ++n;
    }
    return n;
}

}  // namespace

TEST(Host, ListsEveryPlugin) {
    const RunResult r = quorvex("plugins");
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* name : {"walcite.PSR", "selvane.PSR", "grivet.PSR", "tamsel.PSR", "corvane.PSR", "ostrand.PSR",
                             "drumvale.PSR", "velocet.PSR", "nimbrel_music.PSR", "nimbrel_voice.PSR"}) {
        EXPECT_TRUE(contains(r.output, name)) << name;
    }
    EXPECT_TRUE(contains(r.output, "Tamsel Vireland  version 1.10"));
    const RunResult json = quorvex("plugins --json");
    EXPECT_TRUE(contains(json.output, "\"interface_version\": 220"));
}

TEST(Host, ScansTheSampleDiscs) {
    const RunResult r = quorvex(build_path("samples/selvane.cue") + " " + build_path("samples/ostrand.cue"));
    EXPECT_EQ(r.status, 2);  // no command
    const RunResult scan = quorvex("scan " + build_path("samples/selvane.cue") + " " + build_path("samples/ostrand.cue"));
    EXPECT_EQ(scan.status, 0) << scan.output;
    EXPECT_TRUE(contains(scan.output, "selvane.cue: 2 streams"));
    EXPECT_TRUE(contains(scan.output, "ostrand.cue:"));
    const RunResult json = quorvex("scan --all --json " + build_path("samples/ostrand.bin"));
    EXPECT_EQ(json.status, 0) << json.output;
    EXPECT_TRUE(contains(json.output, "\"streams\": ["));
}

TEST(Host, ImageErrorsNameTheFile) {
    TempDir dir("host-images");
    RunResult r = quorvex("scan " + dir.file("nothing.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "nothing.cue: cannot open")) << r.output;

    write_bytes(dir.file("short.bin"), std::vector<uint8_t>(5000));
    r = quorvex("scan " + dir.file("short.bin"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "short.bin is not a disc image: its size, 5000 bytes, is not a multiple of 2352")) << r.output;

    write_text(dir.file("bad.cue"), "FILE \"x.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 1:2\n");
    r = quorvex("scan " + dir.file("bad.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "bad.cue: line 3: bad time")) << r.output;

    std::vector<uint8_t> cooked(2048 * 40);
    std::memcpy(&cooked[16 * 2048 + 1], "CD001", 5);
    write_bytes(dir.file("cooked.iso"), cooked);
    r = quorvex("scan " + dir.file("cooked.iso"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "need the raw 2352-byte sectors")) << r.output;
    EXPECT_FALSE(contains(r.output, "stream"));  // nothing printed as if it had worked
}

TEST(Host, PluginFolderProblems) {
    TempDir dir("host-plugins");
    fs::copy_file(build_path("plugins/selvane.PSR"), dir.file("selvane.PSR"));
    write_text(dir.file("broken.PSR"), "not a library");
    // One bad file is named and left out; the others do their work.
    RunResult r = quorvex("scan --plugins " + dir.path() + " " + build_path("samples/selvane.cue"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "broken.PSR: not a loadable plug-in")) << r.output;
    EXPECT_TRUE(contains(r.output, "selvane.cue: 2 streams")) << r.output;

    fs::remove(dir.file("broken.PSR"));
    fs::copy_file(build_path("lib/libdiscwell.so"), dir.file("library.PSR"));
    // plugins as every other command: a bad file is a warning, an empty folder an error.
    r = quorvex("plugins --plugins " + dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.output, "warning: " + dir.file("library.PSR") + ": not a plug-in: the entry point PsrQueryPlugin is missing")) << r.output;
    EXPECT_TRUE(contains(r.output, "Selvane STR"));
    fs::create_directories(dir.file("empty"));
    r = quorvex("plugins --plugins " + dir.file("empty"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "no usable .PSR plug-ins")) << r.output;

    r = quorvex("info " + build_path("samples/selvane.cue") + " --plugins " + dir.path() +
                " --plugin nosuch --start 0 --count 10");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "no plug-in named 'nosuch'")) << r.output;

    r = quorvex("plugins --plugins " + dir.file("absent"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "cannot read the plug-in folder")) << r.output;
}

TEST(Host, RangesAndStreamIndexesOutOfRange) {
    TempDir dir("host-ranges");
    const std::string disc = build_path("samples/selvane.cue");
    RunResult r = quorvex("extract " + disc + " --plugin selvane --stream 99 -o " + dir.file("out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "selvane has no stream 99")) << r.output;
    EXPECT_EQ(files_in(dir.path()), 0u);

    r = quorvex("info " + disc + " --plugin selvane --start 99999999 --count 10");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "outside the disc")) << r.output;

    r = quorvex("extract " + disc + " --plugin selvane --start 0 --count 5 --stream 1 -o " + dir.file("out"));
    EXPECT_EQ(r.status, 2);
    r = quorvex("info " + disc + " --plugin selvane --start x12 --count 5");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.output, "'x12' is not a number")) << r.output;
    r = quorvex("scan --bogus");
    EXPECT_EQ(r.status, 2);
    r = quorvex("extract " + disc + " --plugin selvane --stream");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.output, "--stream")) << r.output;
    r = quorvex("info " + disc + " --plugin selvane --start 0 --count 0");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.output, "--count must be at least 1")) << r.output;
    r = quorvex("info " + disc + " --plugin selvane --start -1 --count 3");
    EXPECT_EQ(r.status, 2);
}

// One identity per stream: the name and number scan shows are what extract and info take, the
// same everywhere; a plug-in's own index still works with --plugin; filters keep the numbers;
// what only --all lists has no number and is named by its plug-in and index.
TEST(Host, AStreamIsNamedOneWayEverywhere) {
    TempDir dir("host-names");
    const std::string disc = build_path("samples/ostrand.cue");
    const auto listing = nlohmann::json::parse(quorvex("scan --json " + disc).output);
    const auto& streams = listing["discs"][0]["streams"];
    ASSERT_EQ(streams.size(), 5u);
    for (size_t i = 0; i < streams.size(); ++i) EXPECT_EQ(streams[i]["number"], i + 1);
    EXPECT_EQ(streams[1]["name"], "MUSIC0.XA-ch0-2");
    EXPECT_EQ(streams[1]["plugin"], "ostrand");
    EXPECT_EQ(streams[1]["index"], 3);

    // The same stream three ways: the same units.
    for (const std::string& named : {std::string("--stream MUSIC0.XA-ch0-2"), std::string("--stream 2"),
                                     std::string("--plugin ostrand --stream 3")}) {
        const std::string out = dir.file("by" + std::to_string(named.size()) + "/");
        ASSERT_EQ(quorvex("extract " + disc + " " + named + " -o " + out).status, 0) << named;
        EXPECT_TRUE(read_bytes(out + "audio.xa") == read_bytes(dir.file("by24/audio.xa"))) << named;
        const auto manifest = nlohmann::json::parse(read_text(out + "extract.json"));
        EXPECT_EQ(manifest["stream"]["name"], "MUSIC0.XA-ch0-2") << named;
        EXPECT_EQ(manifest["stream"]["number"], 2) << named;
    }
    const auto info = nlohmann::json::parse(quorvex("info --json " + disc + " --stream MUSIC0.XA-ch0-2").output);
    EXPECT_EQ(info["number"], 2);
    EXPECT_EQ(info["index"], 3);
    EXPECT_EQ(info["described_by"], "scan");

    // Filters keep the numbers; --all lists the rest without one, by plug-in and index.
    const auto filtered = nlohmann::json::parse(quorvex("scan --json --plugin ostrand " + disc).output)["discs"][0]["streams"];
    ASSERT_EQ(filtered.size(), 4u);
    EXPECT_EQ(filtered[0]["number"], 1);
    EXPECT_TRUE(filtered[1]["number"].is_null());
    EXPECT_EQ(filtered[1]["name"], "ostrand-1");
    EXPECT_EQ(filtered[3]["number"], 2);
    const auto longest = nlohmann::json::parse(quorvex("scan --json --min-length 3 " + disc).output)["discs"][0]["streams"];
    ASSERT_EQ(longest.size(), 3u);
    EXPECT_EQ(longest[0]["number"], 3);
    const auto all = nlohmann::json::parse(quorvex("scan --json --all " + disc).output)["discs"][0]["streams"];
    EXPECT_EQ(all.size(), 8u);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& s) { return s["number"].is_null(); }), 3);
    EXPECT_EQ(quorvex("extract " + disc + " --stream velocet-0 -o " + dir.file("all/")).status, 0);

    // The text listing shows the same number and name, and the plug-in's own index as P#.
    const RunResult table = quorvex("scan " + disc);
    EXPECT_TRUE(contains(table.output, "#  NAME             PLUG-IN  P#")) << table.output;
    EXPECT_TRUE(contains(table.output, "2  MUSIC0.XA-ch0-2  ostrand  3")) << table.output;
    const RunResult unknown = quorvex("extract " + disc + " --stream NOPE -o " + dir.file("x/"));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(contains(unknown.output, "no stream named or numbered NOPE")) << unknown.output;
    EXPECT_EQ(quorvex("extract " + disc + " --plugin ostrand --stream MUSIC0.XA-ch0-2 -o " + dir.file("y/")).status, 2);
}

// What a movie plays at is what is listed: walcite describes 30 fps for movies that play at 10.
TEST(Host, TheRateShownIsTheRateItPlaysAt) {
    const auto listing = nlohmann::json::parse(quorvex("scan --json " + build_path("samples/walcite.cue")).output);
    const auto& opening = listing["discs"][0]["streams"][0];
    EXPECT_EQ(opening["frames_per_second"], 30.0);
    EXPECT_EQ(opening["playing_frames_per_second"], 10.0);
    EXPECT_TRUE(contains(quorvex("scan " + build_path("samples/walcite.cue")).output, "320x240  10.0"));
    const auto selvane = nlohmann::json::parse(quorvex("scan --json " + build_path("samples/selvane.cue")).output);
    EXPECT_EQ(selvane["discs"][0]["streams"][0]["playing_frames_per_second"], 15.0);
}

// A tool: its version, the command a misspelling meant, folders scanned as rip takes them with
// the files that are no images named once (what they are, when known), plain words, and media never sent to a terminal.
TEST(Host, ATool) {
    TempDir dir("host-tool");
    EXPECT_TRUE(contains(quorvex("--version").output, "quorvex 1."));
    RunResult r = quorvex("scna " + build_path("samples/selvane.cue"));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.output, "there is no command 'scna'; did you mean 'scan'?")) << r.output;

    fs::create_directories(dir.file("shelf/sub"));
    fs::copy_file(build_path("samples/selvane.bin"), dir.file("shelf/selvane.bin"));
    fs::copy_file(build_path("samples/ostrand.bin"), dir.file("shelf/sub/ostrand.bin"));
    write_text(dir.file("shelf/notes.txt"), "not a disc\n");
    write_text(dir.file("shelf/sub/cover.jpg"), "not a disc either\n");
    write_text(dir.file("shelf/sub/extras.zip"), "PK\x03\x04 an archive\n");
    r = quorvex("scan " + dir.file("shelf"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "selvane.bin: 2 streams")) << r.output;
    EXPECT_TRUE(contains(r.output, "ostrand.bin: 5 streams")) << r.output;
    EXPECT_TRUE(contains(r.output, "3 files are not disc images: " + dir.file("shelf/notes.txt") + ", " +
                                       dir.file("shelf/sub/cover.jpg") + ", " + dir.file("shelf/sub/extras.zip") + " (a ZIP archive)")) << r.output;

    r = quorvex("rip " + dir.file("shelf/selvane.bin") + " -o " + dir.file("out") + " --dry-run");
    EXPECT_TRUE(contains(r.output, "2 streams of 1 disc would be written")) << r.output;
    r = quorvex("extract " + build_path("samples/selvane.cue") + " --stream 2 -o " + dir.file("one/"));
    EXPECT_TRUE(contains(r.output, "24 frames and 15 audio units written")) << r.output;

    // A terminal gets no media: script(1) gives quorvex one for its output.
    r = run_program("script -qec '" + quorvex_command() + " extract " + build_path("samples/selvane.cue") +
                    " --stream 1 -o - --format mkv' /dev/null");
    EXPECT_TRUE(contains(r.output, "would write mkv data to the terminal")) << r.output;
}
