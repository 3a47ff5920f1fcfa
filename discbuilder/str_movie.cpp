#include "str_movie.h"

#include <algorithm>
#include <cstring>

#include "../contract/raw_sector.h"
#include "../codecs/mdec_encoder.h"
#include "test_pictures.h"
#include "movie_pacing.h"

namespace discbuilder {

using psr::store_le16;
using psr::store_le32;

MoviePlan selvane_movie() {
    MoviePlan plan;
    plan.frame_bytes = 16500;
    plan.frame_bytes_step = 600;
    plan.play_marker_after_frame = 2;
    return plan;
}

MoviePlan grivet_movie() {
    MoviePlan plan;
    plan.type_word = 0x8003;
    plan.height = 241;
    plan.frame_bytes = 17500;
    plan.frame_bytes_step = 400;
    plan.size_after_marker = true;
    return plan;
}

MoviePlan tamsel_movie() {
    MoviePlan plan;
    plan.size_in_header = false;
    plan.type_word = 0;
    plan.width = 320;
    plan.height = 224;
    plan.frame_bytes = 15000;
    plan.frame_bytes_step = 700;
    plan.audio_coding = 0x05;
    plan.last_audio_end_of_file = true;
    return plan;
}

std::vector<uint8_t> synthetic_mdec_frame(uint32_t seed, uint32_t frame_number, uint32_t bytes, uint16_t word2,
                                          uint16_t word3) {
    std::vector<uint8_t> data(std::max<uint32_t>(bytes, 8));
    store_le16(&data[0], static_cast<uint16_t>((bytes - 8) / 4));
    store_le16(&data[2], 0x3800);
    store_le16(&data[4], word2);
    store_le16(&data[6], word3);
    ByteStream filler(seed * 7919u + frame_number);
    for (size_t i = 8; i < data.size(); ++i) data[i] = filler.next();
    data.resize(bytes);
    return data;
}

namespace {

uint32_t frame_bytes_of(const MoviePlan& plan, uint32_t frame_index) {
    return plan.frame_bytes + (frame_index % 4) * plan.frame_bytes_step;
}

// The MDEC data of frame f, as a reader must deliver it; a real picture fits `budget` bytes.
std::vector<uint8_t> frame_data(const MoviePlan& plan, uint32_t f, uint32_t budget) {
    const uint32_t number = plan.first_frame_number + f;
    if (plan.real_pictures) {
        return test_picture_frame(plan.picture_width ? plan.picture_width : plan.width,
                                  plan.picture_height ? plan.picture_height : plan.height, number - 1, plan.mdec_version,
                                  budget);
    }
    const uint32_t size = frame_bytes_of(plan, f);
    return plan.size_after_marker ? synthetic_mdec_frame(plan.seed, number, size, plan.width, plan.height)
                                  : synthetic_mdec_frame(plan.seed, number, size, 2, plan.mdec_version);
}

uint32_t chunks_for(size_t bytes) { return static_cast<uint32_t>((bytes + kChunkDataBytes - 1) / kChunkDataBytes); }

// The timings of movies played at once: each one's sound at its real-time spacing.
std::vector<MovieTiming> timings_of(const std::vector<MoviePlan>& plans, const std::vector<uint32_t>& frame_sectors) {
    std::vector<MovieTiming> timings;
    const auto n = static_cast<uint32_t>(plans.size());
    for (uint32_t i = 0; i < n; ++i) {
        MovieTiming t;
        t.frames = plans[i].frames;
        t.frame_sectors = plans[i].frame_rate ? frame_sectors_at(plans[i].frame_rate) : frame_sectors;
        t.audio_spacing = plans[i].with_audio ? realtime_audio_spacing(plans[i].audio_coding) : 0;
        // Each movie's first sound sector follows the first sectors of all movies, so that its own
        // first two sectors never follow each other (walcite takes such a stream for no movie),
        // and the sound then leads the pictures by less than a sector's worth, never lags.
        t.audio_phase = t.audio_spacing ? (n + i) % t.audio_spacing : 0;
        t.marker_after_frame = plans[i].play_marker_after_frame;
        timings.push_back(t);
    }
    return timings;
}

// Places the movies: paced by their rates, or, for plans without one, with every frame spanning
// as few disc sectors as the largest frame's data needs.
Schedule place_movies(const std::vector<MoviePlan>& plans, std::vector<std::vector<std::vector<uint8_t>>>& data,
                      uint32_t& sectors_by_data) {
    const size_t n = plans.size();
    uint32_t needed = 1;
    data.assign(n, {});
    for (size_t i = 0; i < n; ++i) {
        if (plans[i].frame_rate && plans[i].real_pictures) continue;  // encoded to fit, once placed
        for (uint32_t f = 0; f < plans[i].frames; ++f) {
            data[i].push_back(frame_data(plans[i], f, 16 * kChunkDataBytes - 2u * plans[i].junk_words));
            needed = std::max(needed, chunks_for(data[i].back().size() + 2u * plans[i].junk_words));
        }
    }
    Schedule schedule;
    for (uint32_t sectors = needed;; ++sectors) {
        schedule = schedule_movies(timings_of(plans, {sectors}));
        bool fits = true;
        for (size_t i = 0; i < n && fits; ++i) {
            for (size_t f = 0; f < data[i].size() && fits; ++f) {
                fits = schedule.chunks[i][f] >= std::max(1u, chunks_for(data[i][f].size() + 2u * plans[i].junk_words));
            }
        }
        if (fits) {
            sectors_by_data = sectors;
            break;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (!data[i].empty()) continue;
        for (uint32_t f = 0; f < plans[i].frames; ++f) {
            const uint32_t room = std::max(1u, schedule.chunks[i][f]) * kChunkDataBytes - 2u * plans[i].junk_words;
            data[i].push_back(frame_data(plans[i], f, room));
        }
    }
    return schedule;
}

WrittenMovie write_placed_movie(DiscImage& disc, uint32_t lba, const MoviePlan& plan, Tone& tone,
                                const std::vector<MovieSlot>& slots, const std::vector<std::vector<uint8_t>>& frames,
                                const std::vector<uint32_t>& chunks, const std::vector<uint32_t>& frame_sectors) {
    WrittenMovie movie;
    movie.first_lba = lba + (slots.empty() ? 0 : slots.front().position);
    movie.frame_sectors = frame_sectors;
    codecs::XaAdpcmEncoder encoder((plan.audio_coding & 0x01) != 0);
    size_t last_audio = slots.size();
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].kind == MovieSlot::Kind::kAudio) last_audio = i;
    }
    std::vector<uint8_t> carried;
    uint32_t chunk = 0, current = UINT32_MAX;
    for (size_t i = 0; i < slots.size(); ++i) {
        const MovieSlot& slot = slots[i];
        const uint32_t at = lba + slot.position;
        movie.end_lba = at + 1;
        if (slot.kind == MovieSlot::Kind::kAudio) {
            const auto payload = xa_audio_payload(encoder, tone, plan.audio_coding);
            const bool end_of_file = plan.last_audio_end_of_file && i == last_audio;
            disc.put(at, {plan.file, plan.channel, static_cast<uint8_t>(plan.audio_submode | (end_of_file ? 0x80 : 0)), plan.audio_coding},
                     payload);
            movie.audio.push_back(payload);
            movie.audio_lbas.push_back(at);
            continue;
        }
        if (slot.kind == MovieSlot::Kind::kMarker) {
            const uint8_t marker[16] = {'P', 'l', 'a', 'y', ' ', 'm', 'o', 'v', 'i', 'e'};
            disc.put(at, {plan.file, plan.channel, 0x08, 0}, marker);
            movie.marker_lbas.push_back(at);
            continue;
        }
        if (slot.frame != current) {
            // A frame's chunks carry junk words, then the MDEC data, zero-padded to whole chunks.
            current = slot.frame;
            chunk = 0;
            const std::vector<uint8_t>& mdec = frames[current];
            carried.assign(2u * plan.junk_words, 0x11);
            carried.insert(carried.end(), mdec.begin(), mdec.end());
            carried.resize(size_t{chunks[current]} * kChunkDataBytes, 0);
            movie.frames.push_back(mdec);
            movie.chunk_counts.push_back(chunks[current]);
            movie.frame_lbas.push_back(at);
            movie.frame_end_lbas.push_back(at);
        }
        movie.frame_end_lbas.back() = at;
        const std::vector<uint8_t>& mdec = frames[current];
        uint8_t user[2048] = {};
        store_le16(user + 0, 0x0160);
        store_le16(user + 2, plan.type_word);
        store_le16(user + 4, static_cast<uint16_t>(chunk));
        store_le16(user + 6, static_cast<uint16_t>(chunks[current]));
        store_le32(user + 8, plan.first_frame_number + current);
        store_le32(user + 12, static_cast<uint32_t>(mdec.size()));
        if (plan.size_in_header) {
            store_le16(user + 16, plan.width);
            store_le16(user + 18, plan.height);
            std::memcpy(user + 20, mdec.data(), 8);  // a copy of the MDEC header words
        }
        std::memcpy(user + 32, carried.data() + size_t{chunk} * kChunkDataBytes, kChunkDataBytes);
        disc.put(at, {plan.file, plan.channel, plan.video_submode, 0}, {user, sizeof user});
        ++chunk;
    }
    return movie;
}

std::vector<WrittenMovie> write_movies(DiscImage& disc, uint32_t lba, const std::vector<MoviePlan>& plans,
                                       std::vector<Tone>& tones) {
    std::vector<std::vector<std::vector<uint8_t>>> data;
    uint32_t sectors_by_data = 0;
    const Schedule schedule = place_movies(plans, data, sectors_by_data);
    const std::vector<MovieTiming> timings = timings_of(plans, {sectors_by_data});
    std::vector<WrittenMovie> movies;
    for (size_t i = 0; i < plans.size(); ++i) {
        const std::vector<uint32_t>& frame_sectors = timings[i].frame_sectors;
        movies.push_back(write_placed_movie(disc, lba, plans[i], tones[i], schedule.movies[i], data[i], schedule.chunks[i],
                                            frame_sectors));
        const uint32_t channels = (plans[i].audio_coding & 0x01) ? 2 : 1, rate = (plans[i].audio_coding & 0x04) ? 18900 : 37800;
        disc.record_movie({movies.back().frame_lbas, movies.back().frame_end_lbas,
                           movies.back().audio_lbas.empty() ? UINT32_MAX : movies.back().audio_lbas.front(), plans[i].channel,
                           static_cast<double>(schedule.spans[i]) / kSectorsPerSecond,
                           static_cast<double>(movies.back().audio.size()) * (4032.0 / channels) / rate});
    }
    return movies;
}

}  // namespace

std::array<uint8_t, codecs::kXaSectorAudioBytes> xa_audio_payload(codecs::XaAdpcmEncoder& encoder, Tone& tone, uint8_t coding) {
    const int channels = (coding & 0x01) ? 2 : 1;
    const auto pcm = tone.next(codecs::kXaSamplesPerSector / channels, channels);
    std::array<uint8_t, codecs::kXaSectorAudioBytes> payload{};
    encoder.encode_sector(pcm.data(), payload.data());
    return payload;
}

WrittenMovie write_str_movie(DiscImage& disc, uint32_t lba, const MoviePlan& plan, Tone& tone) {
    std::vector<Tone> tones = {tone};
    WrittenMovie movie = write_movies(disc, lba, {plan}, tones).front();
    tone = tones.front();
    return movie;
}

std::vector<WrittenMovie> write_interleaved_movies(DiscImage& disc, uint32_t lba, const std::vector<MoviePlan>& plans) {
    std::vector<Tone> tones;
    for (size_t i = 0; i < plans.size(); ++i) tones.emplace_back(37800, 300.0 + 70.0 * static_cast<double>(i), 450.0 + 60.0 * static_cast<double>(i));
    return write_movies(disc, lba, plans, tones);
}

MoviePlan walcite_movie(uint8_t channel) {
    MoviePlan plan;
    plan.channel = channel;
    plan.type_word = static_cast<uint16_t>(0x8001 | channel << 10);
    plan.frame_bytes = 16000 + 900u * channel;
    plan.frame_bytes_step = 500;
    plan.seed = 40u + channel;
    return plan;
}

}  // namespace discbuilder
