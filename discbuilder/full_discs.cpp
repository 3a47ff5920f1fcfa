// Full-length discs: each family's streams repeated until the disc is full, for measuring whole
// scans and extractions.
#include <algorithm>
#include <string>
#include <utility>

#include "archive_audio.h"
#include "countdown_movie.h"
#include "iso9660.h"
#include "sample_discs.h"
#include "str_movie.h"
#include "xa_music.h"

namespace discbuilder {
namespace {

constexpr uint32_t kStart = 24;

// What a full disc holds, in the order written.
class Written {
public:
    explicit Written(std::vector<FullDiscStream>& streams) : streams_(streams) {}
    uint32_t add(std::string what, uint32_t first, uint32_t end) {
        streams_.push_back({std::move(what), first, end});
        return end;
    }

private:
    std::vector<FullDiscStream>& streams_;
};

void gap(DiscImage& disc, uint32_t& lba, uint32_t sectors) {
    for (uint32_t i = 0; i < sectors; ++i, ++lba) {
        const uint8_t data[8] = {'G', 'A', 'P', static_cast<uint8_t>(i)};
        disc.put(lba, {0, 0, 0x08, 0}, data);
    }
}

void movies(DiscImage& disc, uint32_t sectors, Written& written) {
    Tone tone(37800, 440, 660);
    uint32_t lba = kStart, seed = 1;
    while (lba < sectors) {
        for (auto [name, plan] : {std::pair{"a selvane movie", selvane_movie()}, {"a grivet movie", grivet_movie()}, {"a tamsel movie", tamsel_movie()}}) {
            plan.frames = 300;
            plan.frame_rate = seed % 2 ? 150 : 300;
            plan.seed = seed++;
            plan.real_pictures = true;
            plan.size_after_marker = false;
            plan.picture_width = static_cast<uint16_t>(plan.width & 0xFFF0);
            plan.picture_height = static_cast<uint16_t>(plan.height & 0xFFF0);
            lba = written.add(name, lba, write_str_movie(disc, lba, plan, tone).end_lba);
            gap(disc, lba, 16);
        }
        std::vector<MoviePlan> group = {walcite_movie(0), walcite_movie(1), walcite_movie(2)};
        for (MoviePlan& plan : group) {
            plan.frames = 200;
            plan.real_pictures = true;
            plan.frame_rate = 100;
            plan.audio_coding = 0x04;  // 18900 Hz mono: the sound of three movies fits their shares
        }
        uint32_t end = lba;
        for (const WrittenMovie& m : write_interleaved_movies(disc, lba, group)) end = std::max(end, m.end_lba);
        lba = written.add("three walcite movies", lba, end);
        gap(disc, lba, 16);
    }
    write_iso_volume(disc, "FULL_MOVIES", {});
}

void music(DiscImage& disc, uint32_t sectors, Written& written) {
    uint32_t lba = kStart, seed = 1;
    while (lba < sectors) {
        for (auto [name, layout] : {std::pair{"ostrand music", MusicLayout::kOstrand}, {"drumvale music", MusicLayout::kDrumvale},
                                    {"velocet music", MusicLayout::kVelocet}}) {
            lba = written.add(name, lba, write_music_run(disc, lba, layout, {{600}, {550}, {500}, {450}}, seed++, 64).end_lba);
            gap(disc, lba, 8);
        }
    }
    write_iso_volume(disc, "FULL_MUSIC", {});
}

void archive(DiscImage& disc, uint32_t sectors, Written& written) {
    std::vector<IsoFile> files;
    const uint32_t room = sectors > 200 ? sectors - 200 : 0;
    auto place = [&](uint32_t lba, bool stereo, uint32_t share, const std::string& name, uint32_t seed) {
        std::vector<uint32_t> tracks(share / 300, 300);
        const uint32_t index_sectors = sectors_for_bytes(static_cast<uint32_t>(tracks.size() + 2) * 8);
        const WrittenArchive a = write_archive(disc, lba, lba + index_sectors, stereo, tracks, seed, 64);
        files.push_back({name + ".HED", a.index_lba, a.index_bytes});
        files.push_back({name + ".MRG", a.data_lba, a.data_sectors * kForm1Bytes});
        return written.add(name + ".MRG", a.data_lba, a.data_lba + a.data_sectors);
    };
    uint32_t lba = place(kStart, true, room / 2, "BGM", 1);
    lba = place(lba, false, room / 4, "VOICE1", 2);
    place(lba, false, room / 4, "VOICE2", 3);
    write_iso_volume(disc, "MABOROSITUKIYO", files);
}

void corvane(DiscImage& disc, uint32_t sectors, Written& written) {
    uint32_t lba = kStart;
    uint32_t seed = 1;
    while (lba < sectors) {
        CountdownMoviePlan a, b;
        a.frames = 300;
        a.seed = seed++;
        a.real_pictures = true;
        a.chunks_per_frame = 1;
        a.frame_rate = 150;
        a.width = 304;
        a.height = 224;
        a.audio_coding = 0x05;
        b = a;
        b.channel = 1;
        b.seed = seed++;
        uint32_t end = lba;
        for (const auto& m : write_interleaved_countdown_movies(disc, lba, {a, b})) end = std::max(end, m.end_lba);
        lba = written.add("two corvane movies", lba, end);
        gap(disc, lba, 16);
    }
    write_iso_volume(disc, "ACE3ES_FULL", {});
}

// One long movie, for measuring what a whole movie costs (replacing it, extracting it).
void long_movie(DiscImage& disc, Written& written) {
    Tone tone(37800, 440, 660);
    MoviePlan plan = selvane_movie();
    plan.frames = 2000;
    plan.frame_rate = 150;
    plan.seed = 1;
    plan.real_pictures = true;
    plan.size_after_marker = false;
    plan.picture_width = static_cast<uint16_t>(plan.width & 0xFFF0);
    plan.picture_height = static_cast<uint16_t>(plan.height & 0xFFF0);
    uint32_t lba = kStart;
    lba = written.add("a selvane movie of 2,000 frames", lba, write_str_movie(disc, lba, plan, tone).end_lba);
    gap(disc, lba, 16);
    write_iso_volume(disc, "LONG_MOVIE", {});
}

}  // namespace

bool full_disc_named(const std::string& name, FullDisc& kind) {
    if (name == "movies") {
        kind = FullDisc::kMovies;
    } else if (name == "music") {
        kind = FullDisc::kMusic;
    } else if (name == "archive") {
        kind = FullDisc::kArchive;
    } else if (name == "corvane") {
        kind = FullDisc::kCorvane;
    } else if (name == "long-movie") {
        kind = FullDisc::kLongMovie;
    } else {
        return false;
    }
    return true;
}

DiscImage build_full_disc(FullDisc kind, uint32_t sectors, std::function<void(uint32_t)> progress, std::vector<FullDiscStream>* streams) {
    DiscImage disc;
    disc.on_growth(std::move(progress));
    std::vector<FullDiscStream> held;
    Written written(streams ? *streams : held);
    switch (kind) {
        case FullDisc::kMovies: movies(disc, sectors, written); break;
        case FullDisc::kMusic: music(disc, sectors, written); break;
        case FullDisc::kArchive: archive(disc, sectors, written); break;
        case FullDisc::kCorvane: corvane(disc, sectors, written); break;
        case FullDisc::kLongMovie: long_movie(disc, written); break;
    }
    disc.resize(sectors);  // the last streams may be cut where the disc ends: `streams` says which
    return disc;
}

}  // namespace discbuilder
