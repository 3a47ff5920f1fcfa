// Movies through quorvex: scan, extract and seek on images written to disk, checked against what
// the plug-ins report in-process and what the builder put on the disc.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "discbuilder/countdown_movie.h"
#include "discbuilder/iso9660.h"
#include "discbuilder/str_movie.h"
#include "plugins/str/single_stream_plugin.h"
#include "plugins/str/walcite_plugin.h"
#include "plugins/str/corvane_plugin.h"
#include "support/json_fields.h"
#include "support/run_program.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
namespace fs = std::filesystem;
using discbuilder::DiscImage;
using discbuilder::MoviePlan;
using discbuilder::WrittenMovie;

namespace {

struct BuiltDisc {
    DiscImage image;
    std::vector<WrittenMovie> movies;
};

BuiltDisc movies_disc(std::vector<MoviePlan> plans) {
    BuiltDisc built;
    discbuilder::Tone tone(37800, 440, 660);
    uint32_t lba = 30;
    std::vector<discbuilder::IsoFile> files;
    for (size_t i = 0; i < plans.size(); ++i) {
        put_data(built.image, lba++);
        plans[i].seed = static_cast<uint32_t>(i + 1);
        built.movies.push_back(discbuilder::write_str_movie(built.image, lba, plans[i], tone));
        lba = built.movies.back().end_lba;
    }
    put_data(built.image, lba);
    discbuilder::write_iso_volume(built.image, "MOVIES", files);
    return built;
}

std::string write_image(const TempDir& dir, DiscImage& image) {
    std::string error;
    EXPECT_TRUE(image.write(dir.file("disc.bin"), error)) << error;
    return dir.file("disc.cue");
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

template <class Plugin>
void check_scan_matches(const std::string& plugin, const std::string& cue, DiscImage& image) {
    const auto expected = scan_image<Plugin>(image);
    const RunResult r = run_program(quorvex_command() + " scan --all --json " + cue);
    ASSERT_EQ(r.status, 0) << r.output;
    std::vector<JsonObject> wanted;
    for (size_t i = 0; i < expected.size(); ++i) wanted.push_back(json_of(expected[i], static_cast<int32_t>(i), true));
    EXPECT_EQ(json_streams_of(r.output, plugin), wanted) << r.output;
}

void check_extract(const TempDir& dir, const std::string& plugin, const std::string& cue, const WrittenMovie& movie,
                   int stream, bool silent_last_audio) {
    const std::string out = dir.file("out-" + plugin + std::to_string(stream));
    const RunResult r =
        run_program(quorvex_command() + " extract " + cue + " --plugin " + plugin + " --stream " + std::to_string(stream) + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    for (size_t f = 0; f < movie.frames.size(); ++f) {
        char name[48];
        std::snprintf(name, sizeof name, "/frame_%06zu.mdec", f + 1);
        EXPECT_EQ(read_bytes(out + name), movie.frames[f]) << plugin << name;
    }
    std::vector<uint8_t> audio;
    for (size_t i = 0; i < movie.audio.size(); ++i) {
        if (silent_last_audio && i + 1 == movie.audio.size()) {
            audio.insert(audio.end(), 2304, 0);
        } else {
            audio.insert(audio.end(), movie.audio[i].begin(), movie.audio[i].end());
        }
    }
    EXPECT_EQ(read_bytes(out + "/audio.xa"), audio) << plugin;
    const auto json = read_bytes(out + "/extract.json");
    const std::string manifest(json.begin(), json.end());
    EXPECT_EQ(json_numbers(manifest, "frames").at(0), static_cast<int64_t>(movie.frames.size()));
}

}  // namespace

TEST(MovieEndToEnd, SelvaneScansAndExtractsItsMovies) {
    TempDir dir("e2e-selvane");
    MoviePlan unmarked = discbuilder::selvane_movie();
    unmarked.play_marker_after_frame = 0;
    unmarked.frames = 10;
    MoviePlan a = discbuilder::selvane_movie(), b = discbuilder::selvane_movie();
    a.frames = 30;
    b.frames = 18;
    b.frame_bytes = 21000;
    BuiltDisc disc = movies_disc({a, unmarked, b});
    const std::string cue = write_image(dir, disc.image);
    check_scan_matches<plugins::str::SingleStreamPlugin<plugins::str::Selvane>>("selvane", cue, disc.image);
    check_extract(dir, "selvane", cue, disc.movies[0], 0, false);
    check_extract(dir, "selvane", cue, disc.movies[2], 1, false);
}

TEST(MovieEndToEnd, GrivetAndTamselScanAndExtractTheirMovies) {
    TempDir dir("e2e-grivet-tamsel");
    MoviePlan g = discbuilder::grivet_movie();
    g.frames = 20;
    BuiltDisc grivet = movies_disc({g, g});
    std::string cue = write_image(dir, grivet.image);
    check_scan_matches<plugins::str::SingleStreamPlugin<plugins::str::Grivet>>("grivet", cue, grivet.image);
    check_extract(dir, "grivet", cue, grivet.movies[1], 1, false);

    TempDir dir2("e2e-tamsel");
    MoviePlan t = discbuilder::tamsel_movie();
    t.frames = 26;
    BuiltDisc tamsel = movies_disc({t});
    cue = write_image(dir2, tamsel.image);
    check_scan_matches<plugins::str::SingleStreamPlugin<plugins::str::Tamsel>>("tamsel", cue, tamsel.image);
    check_extract(dir2, "tamsel", cue, tamsel.movies[0], 0, true);
}

// A seek is a time on the timeline the files are timed by: the output starts with the frame shown
// then, on every layout, named by stream or by range (walcite's own clock runs three times too
// fast for its movies).
TEST(MovieEndToEnd, SeekLandsOnTheHostsTimeline) {
    TempDir dir("e2e-seek");
    for (const char* disc : {"selvane", "grivet", "tamsel", "walcite", "corvane"}) {
        const std::string cue = build_path("samples/" + std::string(disc) + ".cue");
        const RunResult scan = run_program(quorvex_command() + " scan --json --kind video " + cue);
        ASSERT_EQ(scan.status, 0) << scan.output;
        const auto listing = nlohmann::json::parse(scan.output.substr(scan.output.find('{')));
        for (const auto& stream : listing["discs"][0]["streams"]) {
            const std::string number = std::to_string(stream["number"].get<int>());
            const std::string full = dir.file(std::string(disc) + number + "/");
            ASSERT_EQ(run_program(quorvex_command() + " extract " + cue + " --stream " + number + " -o " + full).status, 0);
            const auto whole = nlohmann::json::parse(read_text(full + "extract.json"));
            std::vector<std::pair<std::string, double>> frames;  // file and time
            for (const auto& u : whole["units"]) {
                if (u["type"] == "frame") frames.push_back({full + u["file"].get<std::string>(), u["time_seconds"]});
            }
            const double length = whole["measured"]["duration_seconds"];
            const std::string range = " --plugin " + stream["plugin"].get<std::string>() + " --start " +
                                      std::to_string(stream["start_sector"].get<int>()) + " --count " +
                                      std::to_string(stream["sector_count"].get<int>());
            for (const double share : {0.3, 0.6, 0.9}) {
                const auto ms = static_cast<int64_t>(length * share * 1000);
                size_t shown = 0;  // the frame shown then: the last to start by then
                while (shown + 1 < frames.size() && frames[shown + 1].second * 1000 <= static_cast<double>(ms) + 1e-6) ++shown;
                for (const std::string& named : {" --stream " + number, range}) {
                    const std::string out = dir.file("seek/");
                    fs::remove_all(out);
                    const RunResult r = run_program(quorvex_command() + " extract " + cue + named + " --seek " +
                                                    std::to_string(ms) + " -o " + out);
                    ASSERT_EQ(r.status, 0) << disc << named << r.output;
                    const auto sought = nlohmann::json::parse(read_text(out + "extract.json"));
                    std::vector<std::string> got;  // a reader may number the frames after a seek afresh
                    for (const auto& u : sought["units"]) {
                        if (u["type"] == "frame") got.push_back(out + u["file"].get<std::string>());
                    }
                    ASSERT_FALSE(got.empty()) << disc << named << " at " << ms;
                    EXPECT_TRUE(read_bytes(got.front()) == read_bytes(frames[shown].first)) << disc << named << " at " << ms << " ms";
                    EXPECT_EQ(got.size(), frames.size() - shown) << disc << named << " at " << ms << " ms";
                    EXPECT_EQ(sought["seek_ms"], ms);
                }
            }
        }
    }
}

// A range the host picks: info describes it from a sample.
TEST(MovieEndToEnd, InfoDescribesARangeFromASample) {
    TempDir dir("e2e-info");
    MoviePlan s = discbuilder::selvane_movie();
    s.frames = 40;
    BuiltDisc disc = movies_disc({s});
    const std::string cue = write_image(dir, disc.image);
    const WrittenMovie& movie = disc.movies[0];
    const RunResult info = run_program(quorvex_command() + " info " + cue + " --json --plugin selvane --start " +
                                       std::to_string(movie.first_lba) + " --count " +
                                       std::to_string(movie.end_lba - movie.first_lba));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_EQ(json_numbers(info.output, "start_sector").at(0), movie.first_lba);
    EXPECT_TRUE(contains(info.output, "\"has_audio\": 1"));
}

TEST(MovieEndToEnd, WalciteScansAndExtractsEachInterleavedMovie) {
    TempDir dir("e2e-walcite");
    BuiltDisc built;
    std::vector<MoviePlan> plans = {discbuilder::walcite_movie(0), discbuilder::walcite_movie(1), discbuilder::walcite_movie(2)};
    plans[0].frames = 18;
    plans[1].frames = 15;
    plans[2].frames = 12;
    put_data(built.image, 40);
    built.movies = discbuilder::write_interleaved_movies(built.image, 41, plans);
    uint32_t end = 0;
    for (const auto& m : built.movies) end = std::max(end, m.end_lba);
    put_data(built.image, end);
    discbuilder::write_iso_volume(built.image, "WALCITE", {});
    const std::string cue = write_image(dir, built.image);
    check_scan_matches<plugins::str::WalcitePlugin>("walcite", cue, built.image);
    for (int k = 0; k < 3; ++k) check_extract(dir, "walcite", cue, built.movies[static_cast<size_t>(k)], k, false);
}

TEST(MovieEndToEnd, CorvaneScansAndExtractsItsMovies) {
    TempDir dir("e2e-corvane");
    DiscImage image;
    discbuilder::CountdownMoviePlan alone, a, b;
    alone.frames = 25;
    alone.chunks_per_frame = 4;
    a.frames = 20;
    b = a;
    b.channel = 1;
    b.frames = 16;
    b.seed = 7;
    auto first = discbuilder::write_interleaved_countdown_movies(image, 30, {alone});
    put_data(image, first[0].end_lba);
    auto pair = discbuilder::write_interleaved_countdown_movies(image, first[0].end_lba + 1, {a, b});
    uint32_t end = 0;
    for (const auto& m : pair) end = std::max(end, m.end_lba);
    put_data(image, end);
    discbuilder::write_iso_volume(image, "ACE3ES_MOVIES", {});
    const std::string cue = write_image(dir, image);
    check_scan_matches<plugins::str::CorvanePlugin>("corvane", cue, image);

    const std::vector<const discbuilder::WrittenCountdownMovie*> movies = {&first[0], &pair[0], &pair[1]};
    for (size_t k = 0; k < movies.size(); ++k) {
        const std::string out = dir.file("out" + std::to_string(k));
        const RunResult r = run_program(quorvex_command() + " extract " + cue + " --plugin corvane --stream " +
                                        std::to_string(k) + " -o " + out);
        ASSERT_EQ(r.status, 0) << r.output;
        for (size_t f = 0; f < movies[k]->frames.size(); ++f) {
            char name[48];
            std::snprintf(name, sizeof name, "/frame_%06zu.mdec", f + 1);
            EXPECT_EQ(read_bytes(out + name), movies[k]->frames[f]) << k << name;
        }
        std::vector<uint8_t> audio;
        for (const auto& payload : movies[k]->audio) audio.insert(audio.end(), payload.begin(), payload.end());
        EXPECT_EQ(read_bytes(out + "/audio.xa"), audio) << k;
    }
}
