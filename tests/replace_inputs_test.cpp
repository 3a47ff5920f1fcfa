// quorvex replace given what a careless or hostile user gives it: pipes and devices, subtitles
// with impossible times, foreign encodings and enormous sizes, sound far longer than the stream
// or damaged, pictures in a folder with gaps, a damaged sector in the stream, a disc much larger
// than the stream. Each is refused early with one message, or done within memory bounded by
// what changes; none passes for a success that changed nothing or wrote a damaged sector.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

RunResult quorvex(const std::string& args) { return run_program("timeout 300 " + quorvex_command() + " " + args); }
RunResult ffmpeg(const std::string& args) { return run_program("ffmpeg -v error -y " + args); }
std::string sample(const std::string& name) { return build_path("samples/" + name); }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A run of quorvex with the most memory it held at once.
struct Measured {
    int status = -1;
    std::string output;
    long peak_mib = 0;
};

Measured measured(const std::string& args, const std::string& log) {
    const Started run = start_program("timeout 300 " + quorvex_command() + " " + args, log);
    Measured m;
    long kib = 0;
    m.status = wait_program(run, &kib);
    m.peak_mib = kib / 1024;
    m.output = read_text(log);
    return m;
}

// The first movie of the tamsel sample: 32 frames over 2.13 s.
const std::string kMovie = " --stream 1";

// An SRT of one line per (start, end, text).
std::string srt(std::initializer_list<std::tuple<const char*, const char*, const char*>> lines) {
    std::string text;
    int n = 0;
    for (const auto& [start, end, words] : lines) text += std::to_string(++n) + "\n" + start + " --> " + end + "\n" + words + "\n\n";
    return text;
}

// An ASS script whose style and dialogue carry the given fields.
std::string ass(const std::string& style, const std::string& text) {
    return "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n[V4+ Styles]\n"
           "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, "
           "StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
           "Style: " + style + "\n\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
           "Dialogue: 0,0:00:00.00,0:00:02.00,Default,,0,0,0,," + text + "\n";
}

std::string style(const std::string& field, const std::string& value) {
    const char* names[] = {"Name", "Fontname", "Fontsize", "PrimaryColour", "SecondaryColour", "OutlineColour", "BackColour", "Bold",
                           "Italic", "Underline", "StrikeOut", "ScaleX", "ScaleY", "Spacing", "Angle", "BorderStyle", "Outline",
                           "Shadow", "Alignment", "MarginL", "MarginR", "MarginV", "Encoding"};
    const char* values[] = {"Default", "Arial", "16", "&Hffffff", "&Hffffff", "&H0", "&H0", "0", "0", "0", "0", "100",
                            "100", "0", "0", "1", "1", "0", "2", "10", "10", "10", "0"};
    std::string out;
    for (size_t i = 0; i < std::size(names); ++i) out += (i ? "," : "") + (names[i] == field ? value : std::string(values[i]));
    return out;
}

}  // namespace

TEST(ReplaceInputs, PipesDevicesAndFoldersAreRefusedBeforeAnythingIsRead) {
    TempDir dir("inputs-kinds");
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0644), 0);
    const std::string cue = sample("tamsel.cue"), out = " -o " + dir.file("new.cue");
    struct Case {
        std::string option, path, problem;
    };
    for (const Case& c : {Case{"--video", dir.file("pipe"), "is a named pipe"}, Case{"--sound", dir.file("pipe"), "is a named pipe"},
                          Case{"--subtitles", dir.file("pipe"), "is a named pipe"}, Case{"--video", "/dev/zero", "is a device"},
                          Case{"--sound", "/dev/null", "is a device"}, Case{"--subtitles", "/dev/null", "is a device"},
                          Case{"--sound", dir.path(), "is a folder"}, Case{"--subtitles", dir.path(), "is a folder"},
                          Case{"--subtitles", dir.file("none.srt"), "no such file"}}) {
        SCOPED_TRACE(c.option + " " + c.path);
        // Returns at once: a pipe is never opened, so it never waits for a writer.
        const RunResult r = quorvex("replace " + cue + kMovie + " " + c.option + " " + c.path + out);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.output, c.option + " " + c.path + ": " + c.problem)) << r.output;
        EXPECT_FALSE(fs::exists(dir.file("new.cue")));
        EXPECT_FALSE(fs::exists(dir.file("new.bin")));
    }
}

TEST(ReplaceInputs, SubtitleTimesThatCannotBeShownAreNamed) {
    TempDir dir("inputs-times");
    const std::string cue = sample("tamsel.cue");
    const auto run = [&](const std::string& name, const std::string& text) {
        write_text(dir.file(name), text);
        return quorvex("replace " + cue + kMovie + " --subtitles " + dir.file(name) + " -o " + dir.file(name + ".cue"));
    };
    struct Refused {
        const char* name;
        std::string text, message;
    };
    for (const Refused& c :
         {Refused{"reversed.srt", srt({{"00:00:00,700", "00:00:00,300", "typo"}}), "line 2 ends at 0.300 s, before it starts at 0.700 s"},
          Refused{"negative.srt", srt({{"-00:00:01,000", "00:00:01,000", "early"}}), "line 2 starts at -1.000 s, before the stream does"},
          Refused{"after.srt", srt({{"00:00:05,000", "00:00:06,000", "late"}, {"00:01:00,000", "00:01:02,000", "later"}}),
                  "no line is shown within the stream's 2.183 s (lines 2, 6 start after it ends)"},
          Refused{"empty.srt", "\n\n", "no line is shown within the stream's 2.183 s (the file holds no subtitle)"},
          Refused{"zero.srt", srt({{"00:00:01,000", "00:00:01,000", "never"}}),
                  "no line is shown within the stream's 2.183 s (lines 2 last no time)"},
          Refused{"reversed.ass", ass(style("", ""), "x").replace(ass(style("", ""), "x").find("0:00:00.00,0:00:02.00"), 21,
                                                                   "0:00:01.50,0:00:00.50"),
                  "line 12 ends at 0.500 s, before it starts at 1.500 s"},
          Refused{"garbled.srt", "1\n00:00:01 -> 00:00:02\nhello\n", "line 2 is no subtitle's times"}}) {
        SCOPED_TRACE(c.name);
        const RunResult r = run(c.name, c.text);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.output, c.name + std::string(": ") + c.message) || contains(r.output, c.message)) << r.output;
        EXPECT_FALSE(fs::exists(dir.file(c.name + std::string(".bin"))));
    }
    // Lines outside the stream or lasting no time are named; the rest are burnt.
    const RunResult r = run("mixed.srt", srt({{"00:00:00,500", "00:00:01,500", "shown"},
                                              {"00:00:01,000", "00:00:01,000", "never"},
                                              {"00:00:09,000", "00:00:10,000", "late"}}));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "lines 6 last no time")) << r.output;
    EXPECT_TRUE(contains(r.output, "lines 10 start after the stream's 2.183 s")) << r.output;
}

TEST(ReplaceInputs, SubtitlesInOtherEncodingsAreRead) {
    TempDir dir("inputs-encodings");
    const std::string cue = sample("tamsel.cue");
    // "Café, naïve" in Windows-1252, as many SRTs are saved.
    write_text(dir.file("cp1252.srt"), srt({{"00:00:00,000", "00:00:02,000", "Caf\xE9, na\xEFve \x93quoted\x94"}}));
    RunResult r = quorvex("replace " + cue + kMovie + " --subtitles " + dir.file("cp1252.srt") + " -o " + dir.file("a.cue"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "is not UTF-8: read as Windows-1252")) << r.output;
    // The same in UTF-16 with its byte-order mark, as Windows' Notepad saves "Unicode".
    const std::string utf8 = srt({{"00:00:00,000", "00:00:02,000", "Caf\xC3\xA9, na\xC3\xAFve \xE2\x80\x9Cquoted\xE2\x80\x9D"}});
    std::string utf16 = "\xFF\xFE";
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        uint32_t code = c;
        size_t n = 1;
        if (c >= 0xE0) code = (c & 0x0Fu) << 12 | (utf8[i + 1] & 0x3Fu) << 6 | (utf8[i + 2] & 0x3Fu), n = 3;
        else if (c >= 0xC0) code = (c & 0x1Fu) << 6 | (utf8[i + 1] & 0x3Fu), n = 2;
        utf16 += static_cast<char>(code & 0xFF);
        utf16 += static_cast<char>(code >> 8);
        i += n;
    }
    write_text(dir.file("utf16.srt"), utf16);
    r = quorvex("replace " + cue + kMovie + " --subtitles " + dir.file("utf16.srt") + " -o " + dir.file("b.cue"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(contains(r.output, "Windows-1252")) << r.output;
    // Both burn the same letters.
    EXPECT_EQ(read_bytes(dir.file("a.bin")), read_bytes(dir.file("b.bin")));
}

TEST(ReplaceInputs, SizesBeyondThePictureAreClampedAndCostNoMore) {
    TempDir dir("inputs-sizes");
    const std::string cue = sample("tamsel.cue");
    int n = 0;
    const auto run = [&](const std::string& script) {
        const std::string name = "s" + std::to_string(++n);
        write_text(dir.file(name + ".ass"), script);
        return measured("replace " + cue + kMovie + " --subtitles " + dir.file(name + ".ass") + " -o " + dir.file(name + ".cue"),
                        dir.file(name + ".log"));
    };
    const Measured baseline = run(ass(style("", ""), "Hello"));
    ASSERT_EQ(baseline.status, 0) << baseline.output;
    std::vector<std::string> scripts;
    for (const char* field : {"Fontsize", "ScaleX", "ScaleY", "Spacing", "Outline", "Shadow", "MarginL", "MarginR", "MarginV"}) {
        scripts.push_back(ass(style(field, "100000"), "Hello"));
    }
    for (const char* tag : {"fs", "fscx", "fscy", "fsp", "bord", "xbord", "ybord", "shad", "xshad", "yshad", "blur", "be", "fax", "fay"}) {
        scripts.push_back(ass(style("", ""), std::string("{\\") + tag + "100000}Hello"));
    }
    scripts.push_back(srt({{"00:00:00,000", "00:00:02,000", "<font size=\"100000\">Hello</font>"}}));
    for (const std::string& script : scripts) {
        SCOPED_TRACE(script.find("Style:") == std::string::npos ? script : script.substr(script.find("Style:"), 160) + script.substr(script.rfind(",,") + 2));
        const Measured m = run(script);
        // Done as asked, or refused as drawing on no frame: never a run that hangs or climbs.
        EXPECT_TRUE(m.status == 0 || contains(m.output, "the subtitles draw on no frame of the stream")) << m.output;
        EXPECT_TRUE(contains(m.output, "were clamped")) << m.output;
        EXPECT_LE(m.peak_mib, baseline.peak_mib + 64) << "baseline " << baseline.peak_mib << " MiB";
    }
}

TEST(ReplaceInputs, ASizeLimitHoldsEveryFrame) {
    TempDir dir("inputs-limit");
    const std::string cue = sample("tamsel.cue");
    ASSERT_EQ(ffmpeg("-f lavfi -i testsrc2=size=320x224:rate=15:duration=3 " + dir.file("clip.mkv")).status, 0);
    const std::string video = kMovie + " --video " + dir.file("clip.mkv") + " --fit --allow-coarse";
    for (const std::string limit : {"original", "4000"}) {
        const RunResult r = quorvex("replace " + cue + video + " --size-limit " + limit + " -o " + dir.file(limit + ".cue"));
        ASSERT_EQ(r.status, 0) << r.output;
        const Json report = Json::parse(read_text(dir.file(limit + ".replace.json")));
        for (const Json& f : report["pictures"]["per_frame"]) {
            EXPECT_LE(f["bytes"], limit == "original" ? f["original_bytes"].get<uint32_t>() : 4000u) << f.dump();
        }
    }
    for (const char* bad : {"0", "-5", "lots", "99999999"}) {
        EXPECT_EQ(quorvex("replace " + cue + video + " --size-limit " + bad + " -o " + dir.file("bad.cue")).status, 2) << bad;
    }
}

TEST(ReplaceInputs, SoundIsReadOnlyAsFarAsTheStreamNeeds) {
    TempDir dir("inputs-sound");
    // Four seconds, and twenty minutes, for a stream of 2.19 s.
    ASSERT_EQ(ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=4 -ac 2 " + dir.file("short.flac")).status, 0);
    ASSERT_EQ(ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1200 -ac 2 " + dir.file("long.flac")).status, 0);
    const std::string cue = sample("ostrand.cue");
    const Measured small = measured("replace " + cue + " --stream 1 --sound " + dir.file("short.flac") + " -o " + dir.file("a.cue"),
                                    dir.file("a.log"));
    ASSERT_EQ(small.status, 0) << small.output;
    const Measured large = measured("replace " + cue + " --stream 1 --sound " + dir.file("long.flac") + " -o " + dir.file("b.cue"),
                                    dir.file("b.log"));
    ASSERT_EQ(large.status, 0) << large.output;
    EXPECT_TRUE(contains(large.output, "the rest is cut")) << large.output;
    EXPECT_LE(large.peak_mib, small.peak_mib + 32) << "a 4 s file: " << small.peak_mib << " MiB";
    EXPECT_EQ(read_bytes(dir.file("a.bin")), read_bytes(dir.file("b.bin"))) << "the same sine, cut where the stream ends";

    // A FLAC damaged a little way in: named as damaged, not made silence.
    auto bytes = read_bytes(dir.file("short.flac"));
    ASSERT_GT(bytes.size(), 20000u);
    for (size_t i = 12000; i < 16000; ++i) bytes[i] = static_cast<uint8_t>(i * 7919 >> 3);
    write_bytes(dir.file("damaged.flac"), bytes);
    const RunResult r = quorvex("replace " + cue + " --stream 1 --sound " + dir.file("damaged.flac") + " -o " + dir.file("c.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "damaged.flac: damaged at")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("c.bin")));
}

TEST(ReplaceInputs, PicturesInAFolderGoToTheFramesTheirNamesGive) {
    TempDir dir("inputs-folder");
    const std::string cue = sample("tamsel.cue");
    ASSERT_EQ(quorvex("extract " + cue + kMovie + " --frames " + dir.file("frames")).status, 0);
    // One edited picture changes its own frame alone, whether it comes alone or among the rest.
    fs::create_directories(dir.file("one"));
    ASSERT_EQ(run_program("ffmpeg -v error -y -i " + dir.file("frames/frame_000005.png") +
                          " -vf drawbox=x=16:y=16:w=64:h=32:color=red:t=fill " + dir.file("one/frame_000005.png")).status, 0);
    fs::copy(dir.file("frames"), dir.file("all"));
    fs::copy_file(dir.file("one/frame_000005.png"), dir.file("all/frame_000005.png"), fs::copy_options::overwrite_existing);
    for (const char* source : {"one", "all"}) {
        const RunResult r = quorvex("replace " + cue + kMovie + " --video " + dir.file(source) + " -o " + dir.file(std::string(source) + ".cue"));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(contains(r.output, "1 of 32 frames")) << r.output;
    }
    EXPECT_TRUE(read_bytes(dir.file("one.bin")) == read_bytes(dir.file("all.bin")));
    // Paths as typed from the folder above the game's and from a folder beside it.
    const fs::path top = fs::absolute(dir.file(""));
    fs::create_directories(top / "game");
    fs::create_directories(top / "work");
    for (const char* file : {"tamsel.cue", "tamsel.bin"}) fs::copy_file(sample(file), top / "game" / file);
    const std::string run = quorvex_command() + " replace ";
    RunResult typed = run_program("cd '" + top.string() + "' && " + run + "game/tamsel.cue" + kMovie + " --video one --patch p.xdelta");
    ASSERT_EQ(typed.status, 0) << typed.output;
    typed = run_program("cd '" + (top / "work").string() + "' && " + run + "../game/tamsel.cue" + kMovie + " --video ../one --patch ../q.ppf -o n.cue");
    ASSERT_EQ(typed.status, 0) << typed.output;
    EXPECT_TRUE(fs::exists(top / "p.xdelta.replace.json") && fs::exists(top / "work" / "n.replace.json"));
    ASSERT_EQ(run_program("xdelta3 -d -s '" + (top / "game/tamsel.bin").string() + "' '" + (top / "p.xdelta").string() + "' '" +
                          (top / "patched.bin").string() + "'").status, 0);
    EXPECT_TRUE(read_bytes((top / "patched.bin").string()) == read_bytes(dir.file("one.bin")));
    ASSERT_EQ(quorvex("extract " + dir.file("one.cue") + kMovie + " --frames " + dir.file("back")).status, 0);
    for (const auto& entry : fs::directory_iterator(dir.file("frames"))) {
        const std::string name = entry.path().filename().string();
        if (name == "frames.json") continue;
        EXPECT_EQ(read_bytes(entry.path().string()) == read_bytes(dir.file("back/" + name)), name != "frame_000005.png") << name;
    }
    // --fit spreads the one picture over every frame, and says so.
    const RunResult spread = quorvex("replace " + cue + kMovie + " --video " + dir.file("one") + " --fit -o " + dir.file("spread.cue"));
    ASSERT_EQ(spread.status, 0) << spread.output;
    EXPECT_TRUE(contains(spread.output, "--fit: 31 frames show the picture before again")) << spread.output;
    fs::rename(dir.file("frames/frame_000010.png"), dir.file("frames/frame_000040.png"));
    const RunResult r = quorvex("replace " + cue + kMovie + " --video " + dir.file("frames") + " -o " + dir.file("new.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, ": frame_000040.png names no frame of the stream")) << r.output;
    EXPECT_TRUE(contains(r.output, "the stream's 32 frames are numbered 1 to 32, as --frames names them")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("new.bin")));
}

TEST(ReplaceInputs, APlanChangesSeveralStreamsInOneImageAndOnePatch) {
    TempDir dir("inputs-plan");
    const fs::path top = fs::absolute(dir.file(""));
    const std::string cue = sample("selvane.cue");
    for (const char* stream : {"1", "2"}) {
        const std::string frames = dir.file(std::string("frames") + stream), edited = dir.file(std::string("edited") + stream);
        ASSERT_EQ(quorvex("extract " + cue + " --stream " + stream + " --frames " + frames).status, 0);
        fs::create_directories(edited);
        ASSERT_EQ(ffmpeg("-i " + frames + "/frame_000003.png -vf drawbox=x=0:y=0:w=32:h=32:color=blue:t=fill " + edited +
                         "/frame_000003.png").status, 0);
    }
    fs::create_directories(top / "plans");
    write_text((top / "plans/p.json").string(),
               R"({"streams": [{"stream": 1, "video": "../edited1"}, {"stream": "2", "video": "../edited2", "size_limit": "original"}]})");
    const std::string run = "cd '" + top.string() + "' && " + quorvex_command() + " replace " + cue;
    RunResult r = run_program(run + " --plan plans/p.json -o out/new.cue --patch out/new.xdelta");
    ASSERT_EQ(r.status, 0) << r.output;
    const Json report = Json::parse(read_text((top / "out/new.replace.json").string()));
    ASSERT_EQ(report["streams"].size(), 2u);
    EXPECT_EQ(report["streams"][1]["stream"], "MOVIE_MOVIE1.STR-ch0");
    ASSERT_EQ(run_program("xdelta3 -d -s " + sample("selvane.bin") + " '" + (top / "out/new.xdelta").string() + "' '" +
                          (top / "rebuilt.bin").string() + "'").status, 0);
    EXPECT_TRUE(read_bytes((top / "rebuilt.bin").string()) == read_bytes((top / "out/new.bin").string()));
    // A plan takes the place of the options that name a stream's changes; it names each stream once.
    EXPECT_EQ(run_program(run + " --plan plans/p.json --stream 1 -o out/other.cue").status, 2);
    write_text((top / "plans/twice.json").string(), R"({"streams": [{"stream": 1, "video": "../edited1"}, {"stream": "MOVIE_MOVIE0.STR-ch0", "video": "../edited1"}]})");
    r = run_program(run + " --plan plans/twice.json -o out/other.cue");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "names stream MOVIE_MOVIE0.STR-ch0 twice")) << r.output;
}

TEST(ReplaceInputs, ADamagedSectorInTheStreamIsNeverWrittenAsGood) {
    TempDir dir("inputs-sync");
    auto bytes = read_bytes(sample("tamsel.bin"));
    bytes[size_t{40} * 2352 + 5] = 0x00;  // sector 40, a picture sector of the first movie: its sync pattern broken
    write_bytes(dir.file("bad.bin"), bytes);
    // Pictures unlike the disc's own, so that every frame changes.
    ASSERT_EQ(ffmpeg("-f lavfi -i testsrc=size=320x224:rate=15:duration=3 " + dir.file("clip.mkv")).status, 0);
    const RunResult r = quorvex("replace " + dir.file("bad.bin") + kMovie + " --video " + dir.file("clip.mkv") + " --fit" + " -o " + dir.file("new.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "sector 40 of the stream has no sync pattern")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("new.bin")));
}

TEST(ReplaceInputs, MemoryFollowsWhatChangesNotTheDisc) {
    TempDir dir("inputs-large");
    // The sample, and the sample followed by 120,000 blank sectors (282 MB, most of a CD).
    fs::copy_file(sample("tamsel.bin"), dir.file("large.bin"));
    fs::resize_file(dir.file("large.bin"), fs::file_size(sample("tamsel.bin")) + uint64_t{120000} * 2352);
    ASSERT_EQ(ffmpeg("-f lavfi -i testsrc=size=320x224:rate=15:duration=3 " + dir.file("clip.mkv")).status, 0);
    const std::string video = kMovie + " --video " + dir.file("clip.mkv") + " --fit";
    for (const char* out : {"cue-new.cue", "chd-new.chd"}) {
        SCOPED_TRACE(out);
        const Measured small = measured("replace " + sample("tamsel.bin") + video + " -o " + dir.file(std::string("small-") + out),
                                        dir.file("small.log"));
        ASSERT_EQ(small.status, 0) << small.output;
        const Measured large = measured("replace " + dir.file("large.bin") + video + " -o " + dir.file(std::string("large-") + out) +
                                            " --patch " + dir.file(std::string(out) + ".xdelta"),
                                        dir.file("large.log"));
        ASSERT_EQ(large.status, 0) << large.output;
        EXPECT_LE(large.peak_mib, small.peak_mib + 48) << "for the sample alone: " << small.peak_mib << " MiB";
        RecordProperty(std::string(out) + "_peak_mib", std::to_string(small.peak_mib) + " / " + std::to_string(large.peak_mib));
        fs::remove(dir.file(std::string("large-") + out));
        fs::remove(dir.file("large-cue-new.bin"));
    }
    // The patch of the bare BIN applies to it.
    const RunResult r = run_program("xdelta3 -d -s " + dir.file("large.bin") + " " + dir.file("cue-new.cue.xdelta") + " " + dir.file("applied.bin"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(fs::file_size(dir.file("applied.bin")), fs::file_size(dir.file("large.bin")));
}

TEST(ReplaceInputs, ARunThatWouldChangeNothingIsAnError) {
    TempDir dir("inputs-nothing");
    const std::string cue = sample("tamsel.cue");
    ASSERT_EQ(quorvex("extract " + cue + kMovie + " --frames " + dir.file("frames")).status, 0);
    // The disc's own pictures given back keep every frame as it is.
    const RunResult r = quorvex("replace " + cue + kMovie + " --video " + dir.file("frames") + " -o " + dir.file("twice.cue"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.output, "nothing would change: what was given is what the stream already holds")) << r.output;
    EXPECT_FALSE(fs::exists(dir.file("twice.bin")));
    for (const char* bad : {"nan", "inf", "-nan", "1e999"}) {
        const RunResult p = quorvex("replace " + cue + kMovie + " --video " + dir.file("frames") + " --min-psnr " + bad + " -o " + dir.file("x.cue"));
        EXPECT_EQ(p.status, 2) << bad << ": " << p.output;
        EXPECT_TRUE(contains(p.output, "--min-psnr")) << p.output;
    }
}
