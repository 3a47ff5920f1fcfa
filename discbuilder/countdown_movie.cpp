#include "countdown_movie.h"

#include <algorithm>
#include <cstring>

#include "../contract/raw_sector.h"
#include "mdec_encoder.h"

namespace discbuilder {

WrittenCountdownMovie write_countdown_movie(DiscImage& disc, const CountdownMovieSpec& plan, Tone& tone,
                                            const Placement& place) {
    WrittenCountdownMovie movie;
    XaAdpcmEncoder stereo(true);
    uint32_t lba = place();
    movie.first_lba = lba;
    uint32_t position = 0;
    auto advance = [&] {
        movie.end_lba = lba + 1;
        lba = place();
        ++position;
    };
    uint8_t coding = plan.audio_coding;
    auto put_audio = [&] {
        const auto payload = xa_audio_payload(stereo, tone, coding);
        disc.put(lba, {1, plan.channel, 0x64, coding}, payload);
        movie.audio.push_back(payload);
        movie.audio_lbas.push_back(lba);
        advance();
    };
    // The movie opens with an audio sector: its stream then knows the audio's coding from the start.
    if (plan.audio_spacing) put_audio();
    for (uint32_t f = 0; f < plan.frames; ++f) {
        if (plan.coding_change_after_frame && f == plan.coding_change_after_frame) coding = 0x05;
        const uint16_t frames_left = static_cast<uint16_t>(plan.frames - 1 - f);
        uint16_t chunks = plan.chunks_per_frame;
        std::vector<uint8_t> data;
        if (plan.real_pictures) {
            data = test_picture_frame(plan.width, plan.height, f, 2, 16 * kChunkDataBytes);
            chunks = std::max<uint16_t>(chunks, static_cast<uint16_t>((data.size() + kChunkDataBytes - 1) / kChunkDataBytes));
            data.resize(size_t{chunks} * kChunkDataBytes, 0);  // a reader delivers whole chunks
        } else {
            data = synthetic_mdec_frame(plan.seed, f + 1, uint32_t{chunks} * kChunkDataBytes);
        }
        movie.frames.push_back(data);
        for (uint16_t c = 0; c < chunks; ++c) {
            // No audio after the movie's last chunk: that closes the movie.
            while (plan.audio_spacing && position % plan.audio_spacing == plan.audio_spacing - 1) put_audio();
            uint8_t user[2048] = {};
            user[0] = 0;
            user[1] = static_cast<uint8_t>(c);
            psr::store_le16(user + 2, chunks);
            psr::store_le16(user + 6, frames_left);
            psr::store_le16(user + 8, plan.width);
            psr::store_le16(user + 10, plan.height);
            std::memcpy(user + 32, data.data() + size_t{c} * kChunkDataBytes, kChunkDataBytes);
            if (c == 0) movie.frame_lbas.push_back(lba);
            disc.put(lba, {1, plan.channel, 0x48, 0}, user);
            advance();
        }
        if (plan.form2_sectors && frames_left != 0) {
            // A Form 2 video sector of the stream, which the reader passes over.
            uint8_t user[2324] = {1, 0};
            psr::store_le16(user + 2, 2);
            psr::store_le16(user + 6, frames_left);
            disc.put(lba, {1, plan.channel, 0x68, 0}, user);
            advance();
        }
    }
    return movie;
}

std::vector<WrittenCountdownMovie> write_interleaved_countdown_movies(DiscImage& disc, uint32_t lba,
                                                                      const std::vector<CountdownMovieSpec>& plans) {
    std::vector<WrittenCountdownMovie> movies;
    const auto n = static_cast<uint32_t>(plans.size());
    for (uint32_t i = 0; i < n; ++i) {
        Tone tone(37800, 250.0 + 80.0 * i, 380.0 + 90.0 * i);
        uint32_t next = lba + i;
        movies.push_back(write_countdown_movie(disc, plans[i], tone, [&next, n] {
            const uint32_t at = next;
            next += n;
            return at;
        }));
    }
    // A movie that ends first leaves its turns to empty sectors of the game's file, which the
    // others' streams pass over.
    uint32_t end = lba;
    for (const auto& m : movies) end = std::max(end, m.end_lba);
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t at = movies[i].end_lba - 1 + n; at < end; at += n) disc.put(at, {1, plans[i].channel, 0x00, 0}, {});
    }
    return movies;
}

}  // namespace discbuilder
