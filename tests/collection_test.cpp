// A shelf of discs ripped as a user with hundreds of them rips it: folders of images found by
// content, streams named by the files they lie in and written once, several at a time, resumed
// after damage, split into shards and indexed together again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "host/commands.h"
#include "host/scan.h"
#include "host/stream_groups.h"
#include "support/run_program.h"
#include "support/test_disc.h"
#include "discbuilder/iso9660.h"
#include "discbuilder/str_movie.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

RunResult run(const std::string& args) { return run_program(quorvex_command() + " " + args); }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
std::string sample(const std::string& name) { return build_path("samples/" + name); }
Json json_of(const RunResult& r) { return Json::parse(r.output.substr(r.output.find('{'))); }
Json json_file(const std::string& path) {
    std::ifstream in(path);
    return Json::parse(in);
}

// A sample disc's BIN and CUE copied into `folder` as `name`.bin and `name`.cue.
void shelve(const std::string& disc, const std::string& folder, const std::string& name) {
    fs::create_directories(folder);
    fs::copy_file(sample(disc + ".bin"), folder + "/" + name + ".bin", fs::copy_options::overwrite_existing);
    write_text(folder + "/" + name + ".cue", "FILE \"" + name + ".bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

// The disc folders a dry run lists.
std::set<std::string> dry_run_discs(const RunResult& r, const std::string& out) {
    std::set<std::string> discs;
    size_t at = 0;
    while ((at = r.output.find(out + "/", at)) != std::string::npos) {
        at += out.size() + 1;
        discs.insert(r.output.substr(at, r.output.find('/', at) - at));
    }
    return discs;
}

}  // namespace

TEST(Collection, AFolderOfDiscsIsRippedByFileNamesOnceEach) {
    TempDir dir("shelf");
    const std::string shelf = dir.file("shelf"), out = dir.file("out");
    shelve("ostrand", shelf + "/music", "ostrand");
    shelve("walcite", shelf + "/movies", "walcite");
    shelve("selvane", shelf + "/movies", "selvane");
    shelve("nimbrel", shelf, "nimbrel");
    write_text(shelf + "/readme.txt", "not a disc\n");
    write_bytes(shelf + "/movies/cover.jpg", std::vector<uint8_t>(5000, 0xD8));

    const RunResult r = run("rip " + shelf + " -o " + out + " -j 2");
    ASSERT_EQ(r.status, 0) << r.output;
    // One folder per disc: a CUE sheet's BIN is part of its disc, the rest are not discs.
    EXPECT_EQ(names_in(out), (std::set<std::string>{"nimbrel", "ostrand", "selvane", "walcite"}));
    EXPECT_EQ(names_in(out + "/walcite"),
              (std::set<std::string>{"ENDING.STR-ch0.mkv", "ENDING.STR-ch1.mkv", "OPENING.STR-ch0.mkv",
                                     "OPENING.STR-ch1.mkv", "OPENING.STR-ch2.mkv", "rip.json"}));
    // Subdirectories flattened into the name; archive tracks by number.
    EXPECT_TRUE(fs::exists(out + "/selvane/MOVIE_MOVIE0.STR-ch0.mkv"));
    EXPECT_TRUE(fs::exists(out + "/nimbrel/BGM.MRG-track4.flac"));
    EXPECT_TRUE(fs::exists(out + "/nimbrel/VOICE2.MRG-track2.flac"));

    // The music disc's songs are found by three plug-ins; each is written once, by the split of
    // the plug-in that holds most of its sectors, and the others' views are recorded.
    const Json ostrand = json_file(out + "/ostrand/rip.json");
    EXPECT_EQ(ostrand["disc"]["volume_id"], "OSTRAND");
    ASSERT_EQ(ostrand["streams"].size(), 5u);
    for (const Json& s : ostrand["streams"]) {
        EXPECT_EQ(s["status"], "done");
        EXPECT_EQ(s["disc_file"], "MUSIC0.XA");
        EXPECT_TRUE(fs::exists(out + "/ostrand/" + s["file"].get<std::string>()));
    }
    // Channel 0's two songs, as ostrand splits them at their gap, rather than velocet's one
    // stream over both.
    EXPECT_EQ(ostrand["streams"][0]["file"], "MUSIC0.XA-ch0-1.flac");
    EXPECT_EQ(ostrand["streams"][0]["plugin"], "ostrand");
    EXPECT_EQ(ostrand["streams"][0]["number"], 1);
    EXPECT_EQ(ostrand["streams"][0]["also_found_by"][0]["plugin"], "velocet");
    EXPECT_EQ(ostrand["streams"][1]["file"], "MUSIC0.XA-ch0-2.flac");
    EXPECT_TRUE(contains(r.output, "4 discs: 21 streams ripped, 0 failures")) << r.output;

    // scan shows the same: each stream once with the file and channel, --all every list.
    const Json grouped = json_of(run("scan --json " + sample("ostrand.cue")));
    const Json all = json_of(run("scan --all --json " + sample("ostrand.cue")));
    EXPECT_EQ(grouped["discs"][0]["streams"].size(), 5u);
    EXPECT_EQ(all["discs"][0]["streams"].size(), 8u);
    EXPECT_EQ(grouped["discs"][0]["streams"][3]["channel"], 2);
    EXPECT_EQ(grouped["discs"][0]["streams"][3]["file"], "MUSIC0.XA");
    EXPECT_EQ(grouped["discs"][0]["streams"][3]["also_found_by"], Json::array({"ostrand"}));
    const RunResult table = run("scan " + sample("ostrand.cue"));
    EXPECT_TRUE(contains(table.output, "5 streams (8 as the plug-ins list them")) << table.output;
    EXPECT_TRUE(contains(table.output, "ALSO FOUND BY")) << table.output;
}

TEST(Collection, SameNamesGetTheirOwnFoldersAndBadImagesDoNotStopTheRest) {
    TempDir dir("names");
    const std::string shelf = dir.file("shelf"), out = dir.file("out");
    shelve("selvane", shelf + "/x", "game");
    shelve("tamsel", shelf + "/y", "game");
    auto cut = read_bytes(sample("corvane.bin"));
    cut.resize(cut.size() - 1000);
    write_bytes(shelf + "/broken.bin", cut);

    const RunResult r = run("rip " + shelf + " -o " + out);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "failed: " + shelf + "/broken.bin")) << r.output;
    EXPECT_TRUE(contains(r.output, "3 discs: 4 streams ripped, 1 failure")) << r.output;
    EXPECT_EQ(names_in(out), (std::set<std::string>{"game", "game-2"}));
    EXPECT_EQ(json_file(out + "/game/rip.json")["disc"]["volume_id"], "SELVANE");
    EXPECT_EQ(json_file(out + "/game-2/rip.json")["disc"]["volume_id"], "TAMSEL");

    // Another disc under a name whose folder holds a rip already: refused, nothing touched.
    const std::string other = dir.file("other");
    shelve("walcite", other, "game");
    const auto before = names_in(out + "/game");
    const RunResult again = run("rip " + other + "/game.cue -o " + out);
    EXPECT_EQ(again.status, 1) << again.output;
    EXPECT_TRUE(contains(again.output, "holds the rip of another disc")) << again.output;
    EXPECT_EQ(names_in(out + "/game"), before);
}

// A shelf of PBPs, every one named EBOOT.PBP: each disc is named by the title it holds (made fit
// for a folder), and its files' album tag is that title.
TEST(Collection, PbpsAreNamedByTheirTitles) {
    TempDir dir("pbp-titles");
    const std::string builder = build_path("bin/discbuilder");
    ASSERT_EQ(run_program(builder + " convert " + sample("selvane.bin") + " pbp " + dir.file("shelf/a/EBOOT.PBP") + " 'Selvane: The Movie'").status, 0);
    ASSERT_EQ(run_program(builder + " convert " + sample("ostrand.bin") + " pbp " + dir.file("shelf/b/EBOOT.PBP") + " 'Ostrand Songs'").status, 0);
    const RunResult r = run("rip " + dir.file("shelf") + " -o " + dir.file("out"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(names_in(dir.file("out")), (std::set<std::string>{"Selvane- The Movie", "Ostrand Songs"}));
    const RunResult album = run_program("ffprobe -v error -show_entries format_tags=album -of csv=p=0 '" +
                                        dir.file("out/Selvane- The Movie/MOVIE_MOVIE0.STR-ch0.mkv") + "'");
    EXPECT_EQ(album.output, "Selvane: The Movie\n");
}

// A rip in MP4 over one in MKV: each movie ripped again, the MKV removed once its MP4 is whole,
// and said.
TEST(Collection, ARipInAnotherFormatRipsTheMoviesAgain) {
    TempDir dir("formats");
    const std::string out = dir.file("out"), folder = out + "/walcite";
    ASSERT_EQ(run("rip " + sample("walcite.cue") + " -o " + out).status, 0);
    const RunResult r = run("rip " + sample("walcite.cue") + " -o " + out + " --format mp4");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "OPENING.STR-ch0.mp4: ripped before as OPENING.STR-ch0.mkv, which is removed once this is whole")) << r.output;
    EXPECT_FALSE(fs::exists(folder + "/OPENING.STR-ch0.mkv"));
    const Json index = json_file(folder + "/rip.json");
    EXPECT_EQ(index["streams"][0]["file"], "OPENING.STR-ch0.mp4");
    EXPECT_EQ(index["streams"][0]["format"], "mp4");
    const RunResult codecs = run_program("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + folder + "/OPENING.STR-ch0.mp4");
    EXPECT_EQ(codecs.output, "h264\naac\n");
    EXPECT_EQ(run("rip " + sample("walcite.cue") + " -o " + out + " --format mkv2").status, 2);
}

TEST(Collection, ARipResumesWhatIsMissingOrDamaged) {
    TempDir dir("resume");
    const std::string out = dir.file("out");
    ASSERT_EQ(run("rip " + sample("walcite.cue") + " -o " + out).status, 0);
    const std::string folder = out + "/walcite";
    fs::remove(folder + "/OPENING.STR-ch1.mkv");
    fs::resize_file(folder + "/ENDING.STR-ch0.mkv", 100);
    const Json first = json_file(folder + "/rip.json");

    const RunResult r = run("rip " + sample("walcite.cue") + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "2 streams ripped to " + folder + ", 3 ripped before")) << r.output;
    const Json second = json_file(folder + "/rip.json");
    ASSERT_EQ(second["streams"].size(), first["streams"].size());
    for (size_t i = 0; i < first["streams"].size(); ++i) {
        EXPECT_EQ(second["streams"][i]["sha256"], first["streams"][i]["sha256"]) << i;  // the same stream again
        EXPECT_EQ(fs::file_size(folder + "/" + second["streams"][i]["file"].get<std::string>()),
                  second["streams"][i]["bytes"].get<uint64_t>());
    }
}

TEST(Collection, ShardsSplitTheShelfAndTheIndexJoinsThem) {
    TempDir dir("shards");
    const std::string shelf = dir.file("shelf"), out = dir.file("out");
    for (const char* disc : {"selvane", "grivet", "tamsel", "corvane", "walcite", "nimbrel"}) shelve(disc, shelf, disc);

    std::set<std::string> seen;
    size_t total = 0;
    // The shares as given, as a Slurm job array (tasks 5, 7, 9) and a Kubernetes Indexed Job give them.
    const std::string clean = "env -u SLURM_ARRAY_TASK_ID -u SLURM_ARRAY_TASK_MIN -u SLURM_ARRAY_TASK_COUNT -u SLURM_ARRAY_TASK_STEP "
                              "-u JOB_COMPLETION_INDEX ";
    for (int i = 0; i < 3; ++i) {
        const std::string rip = quorvex_command() + " rip " + shelf + " -o " + out + " --dry-run --shard ";
        const RunResult given = run_program(clean + rip + std::to_string(i + 1) + "/3");
        ASSERT_EQ(given.status, 0) << given.output;
        const auto discs = dry_run_discs(given, out);
        const RunResult slurm = run_program(clean + "SLURM_ARRAY_TASK_ID=" + std::to_string(5 + 2 * i) +
                                            " SLURM_ARRAY_TASK_MIN=5 SLURM_ARRAY_TASK_STEP=2 SLURM_ARRAY_TASK_COUNT=3 " + rip + "auto");
        const RunResult kubernetes = run_program(clean + "JOB_COMPLETION_INDEX=" + std::to_string(i) + " " + rip + "auto/3");
        EXPECT_EQ(dry_run_discs(slurm, out), discs) << slurm.output;
        EXPECT_EQ(dry_run_discs(kubernetes, out), discs) << kubernetes.output;
        total += discs.size();
        seen.insert(discs.begin(), discs.end());
    }
    EXPECT_EQ(total, 6u);  // disjoint
    EXPECT_EQ(seen.size(), 6u);  // and whole
    EXPECT_FALSE(fs::exists(out));  // a dry run writes nothing
    for (const char* outside : {"auto", "auto/3"}) {
        const RunResult r = run_program(clean + quorvex_command() + " rip " + shelf + " -o " + out + " --dry-run --shard " + outside);
        EXPECT_EQ(r.status, 2) << outside;
        EXPECT_NE(r.output.find(std::string(outside) + ": no "), std::string::npos) << r.output;
    }

    for (const char* shard : {"1/2", "2/2"}) ASSERT_EQ(run("rip " + shelf + " -o " + out + " --shard " + shard).status, 0);
    const RunResult index = run("index " + out);
    ASSERT_EQ(index.status, 0) << index.output;
    const Json collection = json_file(out + "/collection.json");
    EXPECT_EQ(collection["disc_count"], 6);
    std::set<std::string> volumes;
    for (const Json& d : collection["discs"]) volumes.insert(d["disc"]["volume_id"].get<std::string>());
    EXPECT_EQ(volumes.size(), 6u);

    for (const char* bad : {"0/2", "3/2", "1/0", "1", "a/b", "1/2/3"}) {
        EXPECT_EQ(run("rip " + shelf + " -o " + out + " --dry-run --shard " + std::string(bad)).status, 2) << bad;
    }
}

TEST(Collection, WhatToRipIsChosenByKindLengthAndPlugin) {
    TempDir dir("choose");
    const std::string out = dir.file("out");
    const std::string discs = sample("walcite.cue") + " " + sample("ostrand.cue");
    const RunResult audio = run("rip " + discs + " -o " + out + " --dry-run --kind audio");
    EXPECT_EQ(dry_run_discs(audio, out), std::set<std::string>{"ostrand"}) << audio.output;
    const RunResult longer = run("rip " + discs + " -o " + out + " --dry-run --min-length 3.7");
    EXPECT_TRUE(contains(longer.output, "4 streams of 2 discs would be written")) << longer.output;  // 3.786 s songs
    const RunResult own = run("rip " + sample("ostrand.cue") + " -o " + out + " --dry-run --plugin ostrand");
    EXPECT_TRUE(contains(own.output, "4 streams of 1 disc would")) << own.output;
    EXPECT_TRUE(contains(own.output, "MUSIC0.XA-ch0-1.flac  ostrand 0")) << own.output;  // ostrand's split of channel 0
    EXPECT_FALSE(fs::exists(out));
}

TEST(Collection, DirectoriesThatLoopOrPointOutsideFallBackToSectorNames) {
    TempDir dir("loops");
    auto bytes = read_bytes(sample("walcite.bin"));
    // OPENING.STR's record in the root directory (sector 22).
    uint8_t* root = &bytes[22 * 2352 + 24];
    uint8_t* name = std::search(root, root + 2048, "OPENING.STR;1", "OPENING.STR;1" + 13);
    ASSERT_NE(name, root + 2048);
    uint8_t* record = name - 33;
    const auto set_extent = [&](uint32_t lba) {
        for (int i = 0; i < 4; ++i) record[2 + i] = record[9 - i] = static_cast<uint8_t>(lba >> (8 * i));
        for (int i = 0; i < 4; ++i) record[10 + i] = record[17 - i] = static_cast<uint8_t>(2048u >> (8 * i));
    };
    struct Case {
        const char* what;
        uint8_t flags;
        uint32_t extent;
    };
    for (const Case c : {Case{"loops back to sector 22", 0x02, 22}, Case{"lies outside the disc", 0x00, 5000000}, Case{"lies outside the disc", 0x02, 5000000}}) {
        record[25] = c.flags;
        set_extent(c.extent);
        write_bytes(dir.file("walcite.bin"), bytes);
        const RunResult r = run("scan --json " + dir.file("walcite.bin"));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(contains(r.output, "streams are named by their sectors")) << r.output;
        EXPECT_TRUE(contains(r.output, c.what)) << r.output;
        const Json scan = json_of(r);
        EXPECT_EQ(scan["discs"][0]["streams"][0]["name"], "walcite-00-lba000028");
        EXPECT_TRUE(scan["discs"][0]["streams"][0]["file"].is_null());
    }
}

// The rule that picks a group's split, on streams made up for it.
TEST(Collection, AGroupIsShownByThePluginHoldingMostOfItsSectors) {
    quorvex::PluginFile alpha, beta, gamma;
    alpha.stem = "alpha";
    beta.stem = "beta";
    gamma.stem = "gamma";
    quorvex::ScanReport report;
    report.first_lba = 100;
    // Channels 0 and 1 in turn over 100 sectors.
    for (int i = 0; i < 100; ++i) report.channels.push_back(static_cast<uint8_t>(i % 2));
    const auto stream = [&](const quorvex::PluginFile& p, int32_t index, uint32_t start, uint32_t count) {
        quorvex::FoundStream s;
        s.plugin = &p;
        s.index = index;
        s.info.start_sector = start;
        s.info.sector_count = count;
        report.streams.push_back(s);
    };
    stream(beta, 0, 100, 60);   // channel 0: 30 of its sectors
    stream(alpha, 0, 100, 30);  // channel 0, two clips: 15 + 15 sectors
    stream(alpha, 1, 130, 30);
    stream(gamma, 0, 101, 99);  // channel 1 alone
    stream(beta, 1, 170, 20);   // channel 0, after everything above on it: a group of its own
    const auto places = quorvex::place_streams(report, quorvex::DiscDirectory{});
    auto groups = quorvex::group_streams(report, places);
    ASSERT_EQ(groups.size(), 3u);
    // A tie (30 sectors each) goes to the first by name.
    EXPECT_EQ(groups[0].chosen, &alpha);
    EXPECT_EQ(groups[0].chosen_streams, (std::vector<size_t>{1, 2}));
    ASSERT_EQ(groups[0].also_found.size(), 1u);
    EXPECT_EQ(groups[0].also_found[0], &beta);
    EXPECT_EQ(groups[1].chosen, &gamma);
    EXPECT_EQ(groups[1].channel, 1);
    EXPECT_EQ(groups[2].chosen, &beta);

    // One more sector of channel 0 for beta: now it holds most.
    report.streams[0].info.sector_count = 62;
    groups = quorvex::group_streams(report, quorvex::place_streams(report, quorvex::DiscDirectory{}));
    EXPECT_EQ(groups[0].chosen, &beta);
    EXPECT_EQ(groups[0].chosen_streams, (std::vector<size_t>{0}));
}

// Image names that would make a disc folder outside the output, hidden, or unprintable: the
// folder gets a stable name of its own, and nothing appears outside the folder given.
TEST(Collection, NamesOfDotsAndControlsStayInsideTheOutput) {
    TempDir dir("dots");
    const std::string shelf = dir.file("shelf"), parent = dir.file("parent"), out = parent + "/out";
    fs::create_directories(shelf);
    fs::create_directories(parent);
    for (const char* name : {"...bin", "..bin", ".hidden.bin", "new\nline.bin"}) fs::copy_file(sample("walcite.bin"), shelf + "/" + name);

    const RunResult dry = run("rip " + shelf + " -o " + out + " --dry-run");
    ASSERT_EQ(dry.status, 0) << dry.output;
    EXPECT_FALSE(contains(dry.output, "/../")) << dry.output;
    // A name with a newline is printed on one line, quoted.
    EXPECT_TRUE(contains(dry.output, "\"" + out + "/new\\nline/OPENING.STR-ch0.mkv\"")) << dry.output;
    EXPECT_EQ(run("rip " + shelf + " -o " + out + " --dry-run").output, dry.output);  // stable names

    const RunResult r = run("rip " + shelf + " -o " + out + " -j 2");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(names_in(parent), std::set<std::string>{"out"});
    std::set<std::string> discs = names_in(out);
    ASSERT_EQ(discs.size(), 4u);
    EXPECT_EQ(discs.count("new\nline"), 1u);
    for (const std::string& d : discs) {
        if (d == "new\nline") continue;
        EXPECT_EQ(d.rfind("disc-", 0), 0u) << d;
        EXPECT_EQ(d.size(), 13u) << d;
        EXPECT_TRUE(fs::exists(out + "/" + d + "/rip.json")) << d;
    }
}

TEST(Collection, AHugeJobCountIsACommandLineError) {
    for (const char* jobs : {"4294967295", "20000", "257"}) {
        const RunResult r = run("rip " + sample("walcite.cue") + " -o unused --dry-run -j " + std::string(jobs));
        EXPECT_EQ(r.status, 2) << jobs << r.output;
        EXPECT_TRUE(contains(r.output, "at most 256")) << r.output;
    }
    EXPECT_EQ(run("rip " + sample("walcite.cue") + " -o unused --dry-run -j 256").status, 0);
}

// A rip.json with fields of the wrong type: rip names the file and the field and rips the disc's
// streams again; index leaves that folder out with a note and indexes the rest.
TEST(Collection, DamagedRecordsAreNamedAndNeverTrusted) {
    TempDir dir("damaged-records");
    const std::string out = dir.file("out");
    ASSERT_EQ(run("rip " + sample("walcite.cue") + " " + sample("corvane.cue") + " -o " + out).status, 0);
    const std::string index = out + "/walcite/rip.json";
    const Json good = json_file(index);
    for (const auto& [field, value] : {std::pair{"sha256", Json(nullptr)}, {"status", Json::array()}, {"bytes", Json("x")}}) {
        Json damaged = good;
        damaged["streams"][1][field] = value;
        write_text(index, damaged.dump());
        const RunResult r = run("rip " + sample("walcite.cue") + " -o " + out);
        EXPECT_EQ(r.status, 0) << field << r.output;
        EXPECT_TRUE(contains(r.output, index + ": stream 2 \"" + std::string(field) + "\" is not")) << r.output;
        EXPECT_TRUE(contains(r.output, "5 streams ripped")) << r.output;
        EXPECT_TRUE(json_file(index)["streams"] == good["streams"]);  // the same streams, ripped again
    }

    Json damaged = good;
    damaged["streams"][0]["key"] = 7;
    write_text(index, damaged.dump());
    const RunResult r = run("index " + out);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(contains(r.output, index + ": damaged: stream 1 \"key\" is not a text; left out")) << r.output;
    Json collection = json_file(out + "/collection.json");
    ASSERT_EQ(collection["disc_count"], 1);
    EXPECT_EQ(collection["discs"][0]["folder"], out + "/corvane");
    EXPECT_EQ(collection["left_out"][0]["folder"], out + "/walcite");

    // A rip.json that is not a regular file is named too.
    fs::remove(index);
    ASSERT_EQ(mkfifo(index.c_str(), 0644), 0);
    const RunResult fifo = run("index " + out);
    EXPECT_EQ(fifo.status, 1);
    EXPECT_TRUE(contains(fifo.output, index + ": not a regular file; left out")) << fifo.output;
}

// A better dump of the same disc: the streams whose sectors changed are ripped again on resume,
// those whose sectors are the same are kept. A rip.json from before the sectors were recorded
// keeps its streams and gets their checksums.
TEST(Collection, AResumeRipsAgainWhatTheImageNowHoldsOtherwise) {
    TempDir dir("better-dump");
    const std::string shelf = dir.file("shelf"), out = dir.file("out");
    shelve("walcite", shelf, "walcite");
    ASSERT_EQ(run("rip " + shelf + " -o " + out).status, 0);
    const std::string folder = out + "/walcite";
    const Json first = json_file(folder + "/rip.json");
    for (const Json& s : first["streams"]) EXPECT_EQ(s["sectors_sha256"].get<std::string>().size(), 64u);

    // Sector 995 lies in both of ENDING.STR's streams: its parity changes, not what it delivers.
    auto bytes = read_bytes(shelf + "/walcite.bin");
    bytes[995 * 2352 + 2351] ^= 0xFF;
    write_bytes(shelf + "/walcite.bin", bytes);
    fs::remove(folder + "/OPENING.STR-ch1.mkv");
    const RunResult r = run("rip " + shelf + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "3 streams ripped to " + folder + ", 2 ripped before")) << r.output;
    EXPECT_TRUE(contains(r.output, "ENDING.STR-ch0.mkv: the image holds other sectors there")) << r.output;
    const Json second = json_file(folder + "/rip.json");
    for (size_t i = 0; i < first["streams"].size(); ++i) {
        const bool ending = contains(first["streams"][i]["file"].get<std::string>(), "ENDING");
        EXPECT_EQ(second["streams"][i]["sectors_sha256"] != first["streams"][i]["sectors_sha256"], ending) << i;
        EXPECT_EQ(second["streams"][i]["sha256"], first["streams"][i]["sha256"]) << i;
    }

    Json older = second;
    for (Json& s : older["streams"]) s.erase("sectors_sha256");
    write_text(folder + "/rip.json", older.dump());
    const RunResult again = run("rip " + shelf + " -o " + out);
    EXPECT_TRUE(contains(again.output, "0 streams ripped to " + folder + ", 5 ripped before")) << again.output;
    EXPECT_TRUE(json_file(folder + "/rip.json")["streams"] == second["streams"]);
}

// A rip of streams named from an earlier look at a disc (as the viewer asks for them): a name the
// disc no longer holds is a failure, never a rip that quietly did less, and a rip that wrote
// nothing leaves no rip.json (nor a folder) behind.
TEST(Collection, ARipOfNamesTheDiscDoesNotHoldFails) {
    TempDir dir("named");
    quorvex::RipRequest options;
    options.output = dir.file("out");
    quorvex::PluginFolder folder;
    quorvex::Error failed;
    ASSERT_TRUE(quorvex::load_plugin_folder(build_path("plugins"), folder, failed)) << failed.text();
    std::vector<quorvex::CollectionImage> images;
    std::string error;
    ASSERT_TRUE(quorvex::find_images({sample("walcite.cue")}, images, error));

    options.only_names = {"NOPE.STR-ch0"};
    std::vector<quorvex::RippedStream> results;
    EXPECT_EQ(quorvex::rip_collection(options, quorvex::all_plugins(folder), images, {}, &results), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].state, "failed");
    EXPECT_TRUE(contains(results[0].error, "no stream named NOPE.STR-ch0")) << results[0].error;
    EXPECT_FALSE(fs::exists(dir.file("out/walcite")));

    options.only_names = {"NOPE.STR-ch0", "ENDING.STR-ch1"};
    results.clear();
    EXPECT_EQ(quorvex::rip_collection(options, quorvex::all_plugins(folder), images, {}, &results), 1);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].state, "done");
    EXPECT_EQ(json_file(dir.file("out/walcite/rip.json"))["streams"].size(), 1u);
}

// Long work shows how far it has got: a line on a terminal, JSON steps when asked, nothing when
// nobody watches.
TEST(Collection, WorkShowsHowFarItHasGot) {
    TempDir dir("progress");
    const std::string disc = sample("walcite.cue");
    RunResult r = run("--progress json rip " + disc + " -o " + dir.file("json"));
    ASSERT_EQ(r.status, 0) << r.output;
    size_t steps = 0, done = 0;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;
        const Json step = Json::parse(line);
        ++steps;
        if (step["step"] == "stream" && step["state"] == "done") ++done;
    }
    EXPECT_EQ(done, 5u) << r.output;
    EXPECT_GT(steps, 10u);
    r = run("rip " + disc + " -o " + dir.file("quiet"));
    EXPECT_FALSE(contains(r.output, "\r")) << r.output;
    r = run_program("script -qec 'stty cols 60; " + quorvex_command() + " rip " + disc + " -o " + dir.file("terminal") + "' /dev/null");
    EXPECT_TRUE(contains(r.output, "5 streams]")) << r.output;
    // Each line fits the terminal, its counts first, and a movie's frames are counted as frames.
    std::istringstream drawn(r.output);
    const std::regex frames(R"((\d+)/(\d+) frames)");
    for (std::string line; std::getline(drawn, line, '\r');) {
        const std::string text = line.substr(0, line.find("\x1b["));
        EXPECT_LE(text.size(), 59u) << text;
        std::smatch m;
        if (std::regex_search(text, m, frames)) {
            EXPECT_LE(std::stoi(m[1]), std::stoi(m[2])) << text;
        }
    }
}

// A folder ripped under another split: the streams chosen now are ripped, and the files recorded
// for streams no longer chosen as such stay, listed as superseded. A rip of some of a disc's
// streams keeps the records of the others.
TEST(Collection, AnEarlierSplitIsSupersededNeverDeleted) {
    TempDir dir("superseded");
    const std::string out = dir.file("out"), folder = out + "/ostrand";
    ASSERT_EQ(run("rip " + sample("ostrand.cue") + " -o " + out).status, 0);
    Json earlier = json_file(folder + "/rip.json");
    // As a rip before the split people expect would have left channel 0: velocet's one stream.
    Json old = earlier["streams"][0];
    old["key"] = "velocet:0:28:285";
    old["file"] = "MUSIC0.XA-ch0.flac";
    earlier["streams"].push_back(old);
    write_text(folder + "/rip.json", earlier.dump());
    fs::copy_file(folder + "/MUSIC0.XA-ch0-1.flac", folder + "/MUSIC0.XA-ch0.flac");
    const RunResult r = run("rip " + sample("ostrand.cue") + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    const Json now = json_file(folder + "/rip.json");
    ASSERT_EQ(now["superseded"].size(), 1u);
    EXPECT_EQ(now["superseded"][0]["file"], "MUSIC0.XA-ch0.flac");
    EXPECT_EQ(now["streams"].size(), 5u);
    EXPECT_TRUE(fs::exists(folder + "/MUSIC0.XA-ch0.flac"));

    ASSERT_EQ(run("rip " + sample("ostrand.cue") + " -o " + out + " --min-length 3.7").status, 0);
    EXPECT_EQ(json_file(folder + "/rip.json")["streams"].size(), 5u);
}

// Two movies whose file names flatten to one stream name: MOVIE/MOVIE0.STR and MOVIE_MOVIE0.STR.
// Each keeps its own name, the second told apart by its plug-in, through the rip's files, tags,
// record and progress.
TEST(Collection, StreamsOfOneNameKeepTheirOwnThroughARip) {
    using namespace discbuilder;
    TempDir dir("one-name");
    DiscImage disc;
    Tone tone(37800, 440, 660);
    MoviePlan plan = selvane_movie();
    plan.frames = 8;
    plan.real_pictures = true;
    plan.picture_width = 320;
    plan.picture_height = 240;
    const WrittenMovie first = write_str_movie(disc, 40, plan, tone);
    plan.seed = 2;
    const WrittenMovie second = write_str_movie(disc, first.end_lba + 8, plan, tone);
    write_iso_volume(disc, "ONENAME",
                     {{"MOVIE/MOVIE0.STR", first.first_lba, (first.end_lba - first.first_lba) * 2048},
                      {"MOVIE_MOVIE0.STR", second.first_lba, (second.end_lba - second.first_lba) * 2048}});
    std::string error;
    ASSERT_TRUE(disc.write(dir.file("onename.bin"), error)) << error;

    const std::string out = dir.file("out");
    const RunResult r = run("rip " + dir.file("onename.cue") + " -o " + out + " --progress json");
    ASSERT_EQ(r.status, 0) << r.output;
    const Json record = json_file(out + "/onename/rip.json");
    ASSERT_EQ(record["streams"].size(), 2u);
    const std::string names[2] = {"MOVIE_MOVIE0.STR-ch0", "MOVIE_MOVIE0.STR-ch0-selvane"};
    for (int i = 0; i < 2; ++i) {
        const Json& s = record["streams"][size_t(i)];
        EXPECT_EQ(s["name"], names[i]);
        EXPECT_EQ(s["file"], names[i] + ".mkv");
        const RunResult title = run_program("ffprobe -v error -show_entries format_tags=title -of default=nw=1:nk=1 " +
                                            out + "/onename/" + names[i] + ".mkv");
        EXPECT_EQ(title.output, names[i] + "\n");
        EXPECT_TRUE(contains(r.output, "\"name\":\"" + names[i] + "\",\"file\":\"" + names[i] + ".mkv\"")) << r.output;
    }
}
