#include "sample_discs.h"

#include <algorithm>
#include <string>

#include "archive_audio.h"
#include "countdown_movie.h"
#include "iso9660.h"
#include "str_movie.h"
#include "../codecs/xa_adpcm.h"
#include "xa_music.h"

namespace discbuilder {
namespace {

constexpr uint32_t kFirstFileLba = 24;

// Plain data sectors, as the files between streams look.
void put_data_file(DiscImage& disc, uint32_t lba, uint32_t sectors, uint32_t seed) {
    ByteStream bytes(seed);
    for (uint32_t i = 0; i < sectors; ++i) {
        uint8_t data[kForm1Bytes];
        for (uint8_t& b : data) b = bytes.next();
        disc.put(lba + i, {0, 0, i + 1 == sectors ? submodes::kDataEndOfFile : submodes::kData, 0}, data);
    }
}

// Movies one after another, each a file of its own with a data file between them.
DiscImage movie_disc(const char* volume_id, const std::vector<MoviePlan>& movies) {
    DiscImage disc;
    std::vector<IsoFile> files;
    Tone tone(37800, 440, 660);
    uint32_t lba = kFirstFileLba;
    for (size_t i = 0; i < movies.size(); ++i) {
        put_data_file(disc, lba, 8, static_cast<uint32_t>(i + 1));
        files.push_back({"DATA" + std::to_string(i) + ".BIN", lba, 8 * kForm1Bytes});
        lba += 8;
        const WrittenMovie movie = write_str_movie(disc, lba, movies[i], tone);
        files.push_back({"MOVIE/MOVIE" + std::to_string(i) + ".STR", lba, (movie.end_lba - lba) * kForm1Bytes});
        lba = movie.end_lba;
    }
    put_data_file(disc, lba, 16, 99);
    files.push_back({"END.BIN", lba, 16 * kForm1Bytes});
    write_iso_volume(disc, volume_id, files);
    return disc;
}

// A sample movie: real pictures, in MDEC version 2 or 3 by the seed, paced at `rate` tenths of a
// frame per second.
MoviePlan with(MoviePlan plan, uint32_t frames, uint32_t seed, uint16_t rate = 150) {
    plan.frames = frames;
    plan.frame_rate = rate;
    plan.seed = seed;
    plan.real_pictures = true;
    plan.mdec_version = static_cast<uint16_t>(seed % 2 ? 2 : 3);
    plan.size_after_marker = false;
    plan.picture_width = static_cast<uint16_t>(plan.width & 0xFFF0);
    plan.picture_height = static_cast<uint16_t>(plan.height & 0xFFF0);
    return plan;
}

// At 15 and 30 frames a second, as the games' movies play; their lengths hold whole sound
// sectors, so that sound and pictures end together.
DiscImage selvane_disc() {
    MoviePlan unmarked = with(selvane_movie(), 12, 3);
    unmarked.play_marker_after_frame = 0;  // never followed by a "Play" sector: not a movie of the game
    return movie_disc("SELVANE", {with(selvane_movie(), 32, 1), with(selvane_movie(), 24, 2, 300), unmarked});
}

DiscImage grivet_disc() {
    MoviePlan wide = grivet_movie();
    wide.width = 321;
    wide.height = 240;
    return movie_disc("GRIVET", {with(grivet_movie(), 32, 1), with(wide, 24, 2, 300)});
}

DiscImage tamsel_disc() {
    return movie_disc("TAMSEL", {with(tamsel_movie(), 32, 1), with(tamsel_movie(), 32, 2, 300)});
}

// Groups of movies interleaved on their own channels; a movie on its own is not walcite's.
DiscImage walcite_disc() {
    DiscImage disc;
    std::vector<IsoFile> files;
    uint32_t lba = kFirstFileLba;
    auto group = [&](std::vector<MoviePlan> plans, const std::string& name) {
        put_data_file(disc, lba, 4, lba);
        lba += 4;
        uint32_t end = lba;
        for (const WrittenMovie& m : write_interleaved_movies(disc, lba, plans)) end = std::max(end, m.end_lba);
        files.push_back({name, lba, (end - lba) * kForm1Bytes});
        lba = end;
    };
    // Three movies share the disc at 10 frames a second with 18900 Hz mono sound, two at 15 with
    // 18900 Hz stereo: each plays in real time within its share.
    // (A sector of 18900 Hz mono sound lasts 16/75 s: movies of 32 frames at 10 fps hold whole ones.)
    std::vector<MoviePlan> three = {with(walcite_movie(0), 64, 1, 100), with(walcite_movie(1), 32, 2, 100),
                                    with(walcite_movie(2), 32, 3, 100)};
    for (MoviePlan& m : three) m.audio_coding = 0x04;
    group(three, "OPENING.STR");
    std::vector<MoviePlan> two = {with(walcite_movie(0), 24, 4), with(walcite_movie(1), 16, 5)};
    for (MoviePlan& m : two) m.audio_coding = 0x05;
    group(two, "ENDING.STR");
    group({with(walcite_movie(0), 20, 6)}, "SINGLE.STR");
    put_data_file(disc, lba, 8, 99);
    write_iso_volume(disc, "WALCITE", files);
    return disc;
}

// The volume marker at sector 16; a movie alone at 30 fps, then two at once on channels 0 and 1
// at 15 fps with 18900 Hz stereo sound; the picture sizes such movies use.
DiscImage corvane_disc() {
    DiscImage disc;
    std::vector<IsoFile> files;
    uint32_t lba = kFirstFileLba;
    put_data_file(disc, lba, 4, 5);
    files.push_back({"SYSTEM.CNF", lba, 4 * kForm1Bytes});
    lba += 4;
    CountdownMoviePlan alone;
    alone.frames = 32;
    alone.real_pictures = true;
    alone.chunks_per_frame = 1;
    alone.frame_rate = 300;
    alone.width = 304;
    alone.height = 224;
    alone.form2_sectors = false;
    auto first = write_interleaved_countdown_movies(disc, lba, {alone});
    files.push_back({"INTRO.STR", lba, (first[0].end_lba - lba) * kForm1Bytes});
    lba = first[0].end_lba;
    put_data_file(disc, lba, 4, 6);
    lba += 4;
    CountdownMoviePlan a, b;
    a.frames = 40;
    a.real_pictures = true;
    a.chunks_per_frame = 1;
    a.frame_rate = 150;
    a.width = 320;
    a.height = 176;
    a.audio_coding = 0x05;
    b = a;
    b.channel = 1;
    b.frames = 32;
    b.seed = 2;
    uint32_t end = lba;
    for (const auto& m : write_interleaved_countdown_movies(disc, lba, {a, b})) end = std::max(end, m.end_lba);
    files.push_back({"DUEL.STR", lba, (end - lba) * kForm1Bytes});
    put_data_file(disc, end, 8, 99);
    write_iso_volume(disc, "ACE3ES_DISC", files);
    return disc;
}

// Music runs one after another, each a file of its own.
DiscImage music_disc(const char* volume_id, MusicLayout layout, const std::vector<std::vector<std::vector<uint32_t>>>& runs) {
    DiscImage disc;
    std::vector<IsoFile> files;
    uint32_t lba = kFirstFileLba;
    for (size_t i = 0; i < runs.size(); ++i) {
        put_data_file(disc, lba, 4, static_cast<uint32_t>(i + 1));
        lba += 4;
        const WrittenRun run = write_music_run(disc, lba, layout, runs[i], static_cast<uint32_t>(i + 1));
        files.push_back({"MUSIC" + std::to_string(i) + ".XA", lba, (run.end_lba - lba) * kForm1Bytes});
        lba = run.end_lba;
    }
    put_data_file(disc, lba, 8, 99);
    write_iso_volume(disc, volume_id, files);
    return disc;
}

// Four channels; channel 0 plays two songs; channel 3's song is too short to count.
DiscImage ostrand_disc() {
    return music_disc("OSTRAND", MusicLayout::kOstrand, {{{40, 30}, {60}, {50}, {5}}});
}

DiscImage drumvale_disc() {
    return music_disc("DRUMVALE", MusicLayout::kDrumvale, {{{40, 20}, {50}, {45}, {30}}});
}

// A run on two channels, then one on four.
DiscImage velocet_disc() {
    return music_disc("VELOCET", MusicLayout::kVelocet, {{{40}, {40}}, {{30}, {30}, {30}, {30}}});
}

// An archive's index and data files one after the other, listed in the volume.
uint32_t place_archive(DiscImage& disc, uint32_t lba, bool stereo, const std::vector<uint32_t>& tracks, uint32_t seed,
                       const std::string& name, std::vector<IsoFile>& files) {
    const uint32_t index_sectors = sectors_for_bytes(static_cast<uint32_t>(tracks.size() + 2) * 8);
    const WrittenArchive archive = write_archive(disc, lba, lba + index_sectors, stereo, tracks, seed);
    files.push_back({name + ".HED", archive.index_lba, archive.index_bytes});
    files.push_back({name + ".MRG", archive.data_lba, archive.data_sectors * kForm1Bytes});
    return archive.data_lba + archive.data_sectors;
}

// Both archives of the Nimbrel game: its music and two archives of voice clips.
DiscImage nimbrel_disc() {
    DiscImage disc;
    std::vector<IsoFile> files;
    uint32_t lba = kFirstFileLba;
    put_data_file(disc, lba, 4, 7);
    files.push_back({"SYSTEM.CNF", lba, 4 * kForm1Bytes});
    lba = place_archive(disc, lba + 4, true, {20, 12, 30, 8}, 1, "BGM", files);
    lba = place_archive(disc, lba, false, {6, 10, 4}, 2, "VOICE1", files);
    lba = place_archive(disc, lba, false, {8, 5}, 3, "VOICE2", files);
    put_data_file(disc, lba, 8, 99);
    write_iso_volume(disc, "MABOROSITUKIYO", files);
    return disc;
}

}  // namespace

const std::vector<SampleDisc>& sample_discs() {
    static const std::vector<SampleDisc> discs = {
        {"selvane", "selvane: STR movies with \"Play\" marker sectors", selvane_disc},
        {"grivet", "grivet: STR movies with a fixed chunk type and odd picture sizes", grivet_disc},
        {"tamsel", "tamsel: STR movies without picture sizes, 18900 Hz audio", tamsel_disc},
        {"walcite", "walcite: STR movies interleaved on several channels", walcite_disc},
        {"corvane", "corvane: countdown-header movies on a volume marked ACE3ES", corvane_disc},
        {"ostrand", "ostrand: XA songs on four channels, ended by blank sectors", ostrand_disc},
        {"drumvale", "drumvale: XA songs in a channel rotation, ended by marker sectors", drumvale_disc},
        {"velocet", "velocet: XA songs with data sectors, runs ended by a repeated data word", velocet_disc},
        {"nimbrel", "nimbrel_music and nimbrel_voice: archive ADPCM music and voice clips", nimbrel_disc},
    };
    return discs;
}

}  // namespace discbuilder
