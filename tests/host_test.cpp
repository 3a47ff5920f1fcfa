// quorvex end to end: the commands on built images, and every error a user can cause.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

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
    EXPECT_TRUE(contains(r.output, "short.bin: size 5000 bytes is not a multiple of 2352")) << r.output;

    write_text(dir.file("bad.cue"), "FILE \"x.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 1:2\n");
    r = quorvex("scan " + dir.file("bad.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "bad.cue: line 3: bad time")) << r.output;

    std::vector<uint8_t> cooked(2048 * 40);
    std::memcpy(&cooked[16 * 2048 + 1], "CD001", 5);
    write_bytes(dir.file("cooked.iso"), cooked);
    r = quorvex("scan " + dir.file("cooked.iso"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "raw 2352-byte sectors are needed")) << r.output;
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
