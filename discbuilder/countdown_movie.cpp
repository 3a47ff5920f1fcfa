#include "countdown_movie.h"

#include <algorithm>
#include <cstring>

#include "../contract/raw_sector.h"
#include "../codecs/mdec_encoder.h"
#include "test_pictures.h"
#include "movie_pacing.h"

namespace discbuilder {
namespace {

uint32_t chunks_for(size_t bytes) { return static_cast<uint32_t>((bytes + kChunkDataBytes - 1) / kChunkDataBytes); }

std::vector<MovieTiming> timings_of(const std::vector<CountdownMoviePlan>& plans, uint32_t frame_sectors) {
    std::vector<MovieTiming> timings;
    for (size_t i = 0; i < plans.size(); ++i) {
        MovieTiming t;
        t.frames = plans[i].frames;
        t.frame_sectors = plans[i].frame_rate ? frame_sectors_at(plans[i].frame_rate) : std::vector<uint32_t>{frame_sectors};
        t.audio_spacing = plans[i].with_audio ? realtime_audio_spacing(plans[i].audio_coding) : 0;
        t.audio_phase = static_cast<uint32_t>(i);  // each movie's first sector is a sound sector
        t.frame_end_sector = plans[i].form2_sectors;
        timings.push_back(t);
    }
    return timings;
}

std::vector<uint8_t> frame_data(const CountdownMoviePlan& plan, uint32_t f, uint32_t chunks) {
    if (!plan.real_pictures) return synthetic_mdec_frame(plan.seed, f + 1, chunks * kChunkDataBytes);
    return test_picture_frame(plan.width, plan.height, f, 2, chunks * kChunkDataBytes);
}

}  // namespace

std::vector<WrittenCountdownMovie> write_interleaved_countdown_movies(DiscImage& disc, uint32_t lba,
                                                                      const std::vector<CountdownMoviePlan>& plans) {
    const size_t n = plans.size();
    // Frames paced by their data need room for their chunks, and a frame's end sector.
    uint32_t needed = 1;
    std::vector<std::vector<std::vector<uint8_t>>> data(n);
    for (size_t i = 0; i < n; ++i) {
        if (plans[i].frame_rate) continue;
        for (uint32_t f = 0; f < plans[i].frames; ++f) {
            data[i].push_back(frame_data(plans[i], f, std::max<uint32_t>(plans[i].chunks_per_frame, plans[i].real_pictures ? 16 : 0)));
            needed = std::max(needed, chunks_for(data[i].back().size()));
        }
    }
    Schedule schedule;
    for (uint32_t sectors = needed;; ++sectors) {
        schedule = schedule_movies(timings_of(plans, sectors));
        bool fits = true;
        for (size_t i = 0; i < n && fits; ++i) {
            for (size_t f = 0; f < data[i].size() && fits; ++f) fits = schedule.chunks[i][f] >= chunks_for(data[i][f].size());
        }
        if (fits) break;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!data[i].empty()) continue;
        for (uint32_t f = 0; f < plans[i].frames; ++f) data[i].push_back(frame_data(plans[i], f, std::max(1u, schedule.chunks[i][f])));
    }

    std::vector<WrittenCountdownMovie> movies(n);
    for (size_t i = 0; i < n; ++i) {
        const CountdownMoviePlan& plan = plans[i];
        WrittenCountdownMovie& movie = movies[i];
        Tone tone(37800, 250.0 + 80.0 * static_cast<double>(i), 380.0 + 90.0 * static_cast<double>(i));
        codecs::XaAdpcmEncoder stereo(true);
        uint8_t coding = plan.audio_coding;
        uint32_t chunk = 0, current = UINT32_MAX;
        std::vector<uint8_t> carried;
        movie.first_lba = lba + schedule.movies[i].front().position;
        // The movie's last chunk closes its stream: no sound of its own comes after it.
        uint32_t last_chunk = 0;
        for (const MovieSlot& slot : schedule.movies[i]) {
            if (slot.kind == MovieSlot::Kind::kVideo) last_chunk = slot.position;
        }
        for (const MovieSlot& slot : schedule.movies[i]) {
            const uint32_t at = lba + slot.position;
            const uint16_t frames_left = static_cast<uint16_t>(plan.frames - 1 - slot.frame);
            if (slot.position > last_chunk) {
                disc.put(at, {1, plan.channel, 0x00, 0}, {});
                continue;
            }
            movie.end_lba = at + 1;
            if (slot.kind == MovieSlot::Kind::kAudio) {
                if (plan.coding_change_after_frame && slot.frame >= plan.coding_change_after_frame) coding = 0x05;
                const auto payload = xa_audio_payload(stereo, tone, coding);
                disc.put(at, {1, plan.channel, 0x64, coding}, payload);
                movie.audio.push_back(payload);
                movie.audio_lbas.push_back(at);
                continue;
            }
            if (slot.kind == MovieSlot::Kind::kEndSector) {
                // A Form 2 video sector of the stream, which the reader passes over.
                uint8_t user[2324] = {1, 0};
                psr::store_le16(user + 2, 2);
                psr::store_le16(user + 6, frames_left);
                disc.put(at, {1, plan.channel, 0x68, 0}, user);
                continue;
            }
            if (slot.frame != current) {
                current = slot.frame;
                chunk = 0;
                carried = data[i][current];
                carried.resize(size_t{schedule.chunks[i][current]} * kChunkDataBytes, 0);  // a reader delivers whole chunks
                movie.frames.push_back(carried);
                movie.frame_lbas.push_back(at);
                movie.frame_end_lbas.push_back(at);
            }
            movie.frame_end_lbas.back() = at;
            uint8_t user[2048] = {};
            user[0] = 1;  // the marker byte real discs carry
            user[1] = static_cast<uint8_t>(chunk);
            psr::store_le16(user + 2, static_cast<uint16_t>(schedule.chunks[i][current]));
            psr::store_le16(user + 6, frames_left);
            psr::store_le16(user + 8, plan.width);
            psr::store_le16(user + 10, plan.height);
            std::memcpy(user + 32, carried.data() + size_t{chunk} * kChunkDataBytes, kChunkDataBytes);
            disc.put(at, {1, plan.channel, 0x48, 0}, user);
            ++chunk;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        double sound = 0;
        for (uint32_t at : movies[i].audio_lbas) {
            const uint8_t coding = disc.raw(at)[19];
            sound += (4032.0 / ((coding & 0x01) ? 2 : 1)) / ((coding & 0x04) ? 18900 : 37800);
        }
        disc.record_movie({movies[i].frame_lbas, movies[i].frame_end_lbas,
                           movies[i].audio_lbas.empty() ? UINT32_MAX : movies[i].audio_lbas.front(), plans[i].channel,
                           static_cast<double>(schedule.spans[i]) / kSectorsPerSecond, sound});
    }
    // A movie that ends first leaves its turns to empty sectors of the game's file.
    for (const auto& [position, i] : schedule.empty_turns) disc.put(lba + position, {1, plans[i].channel, 0x00, 0}, {});
    return movies;
}

}  // namespace discbuilder
