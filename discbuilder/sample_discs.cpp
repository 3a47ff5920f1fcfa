#include "sample_discs.h"

#include <algorithm>

#include "iso9660.h"
#include "str_movie.h"
#include "xa_adpcm.h"

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

DiscImage movie_disc() {
    DiscImage disc;
    Tone tone(37800, 440, 660);
    MovieSpec spec;
    spec.frames = 30;
    const WrittenMovie movie = write_str_movie(disc, kFirstFileLba + 8, spec, tone);
    put_data_file(disc, kFirstFileLba, 8, 1);
    put_data_file(disc, movie.end_lba, 16, 2);
    write_iso_volume(disc, "SAMPLE_MOVIES",
                     {{"DATA.BIN", kFirstFileLba, 8 * 2048},
                      {"MOVIE.STR", movie.first_lba, (movie.end_lba - movie.first_lba) * 2048}});
    return disc;
}

DiscImage music_disc() {
    DiscImage disc;
    const uint32_t first = kFirstFileLba;
    const uint32_t channels = 4, per_channel = 40;
    std::vector<Tone> tones;
    std::vector<XaAdpcmEncoder> encoders(channels, XaAdpcmEncoder(true));
    for (uint32_t c = 0; c < channels; ++c) tones.emplace_back(37800, 220.0 * (c + 1), 330.0 * (c + 1));
    for (uint32_t i = 0; i < channels * per_channel; ++i) {
        const uint8_t channel = static_cast<uint8_t>(i % channels);
        const auto payload = xa_audio_payload(encoders[channel], tones[channel], 0x01);
        disc.put(first + i, {1, channel, submodes::kXaAudio, 0x01}, payload);
    }
    const uint32_t end = first + channels * per_channel;
    put_data_file(disc, end, 8, 3);
    write_iso_volume(disc, "SAMPLE_MUSIC", {{"MUSIC.XA", first, channels * per_channel * 2048}});
    return disc;
}

}  // namespace

const std::vector<SampleDisc>& sample_discs() {
    static const std::vector<SampleDisc> discs = {
        {"movies", "STR movies with interleaved XA audio", movie_disc},
        {"music", "XA music interleaved on four channels", music_disc},
    };
    return discs;
}

DiscImage build_full_disc(uint32_t sectors) {
    DiscImage disc;
    Tone tone(37800, 440, 660);
    uint32_t lba = kFirstFileLba;
    uint32_t seed = 1;
    while (lba < sectors) {
        MovieSpec spec;
        spec.frames = 150;
        spec.seed = seed++;
        const WrittenMovie movie = write_str_movie(disc, lba, spec, tone);
        lba = movie.end_lba;
        const uint32_t gap = std::min<uint32_t>(64, sectors > lba ? sectors - lba : 0);
        put_data_file(disc, lba, gap, seed);
        lba += gap;
    }
    disc.resize(sectors);
    write_iso_volume(disc, "FULL_DISC", {});
    return disc;
}

}  // namespace discbuilder
