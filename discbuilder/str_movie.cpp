#include "str_movie.h"

#include <algorithm>
#include <cstring>

#include "../contract/raw_sector.h"
#include "mdec_encoder.h"

namespace discbuilder {

using psr::store_le16;
using psr::store_le32;

MovieSpec selvane_movie() {
    MovieSpec plan;
    plan.frame_bytes = 16500;
    plan.frame_bytes_step = 600;
    plan.play_marker_after_frame = 2;
    return plan;
}

MovieSpec grivet_movie() {
    MovieSpec plan;
    plan.type_word = 0x8003;
    plan.height = 241;
    plan.frame_bytes = 17500;
    plan.frame_bytes_step = 400;
    plan.size_after_marker = true;
    return plan;
}

MovieSpec tamsel_movie() {
    MovieSpec plan;
    plan.size_in_header = false;
    plan.type_word = 0;
    plan.width = 320;
    plan.height = 224;
    plan.frame_bytes = 15000;
    plan.frame_bytes_step = 700;
    plan.audio_coding = 0x05;
    plan.audio_spacing = 16;
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
uint32_t frame_bytes_of(const MovieSpec& plan, uint32_t frame_index) {
    return plan.frame_bytes + (frame_index % 4) * plan.frame_bytes_step;
}
}  // namespace

std::array<uint8_t, kXaSectorAudioBytes> xa_audio_payload(XaAdpcmEncoder& encoder, Tone& tone, uint8_t coding) {
    const int channels = (coding & 0x01) ? 2 : 1;
    const auto pcm = tone.next(kXaSamplesPerSector / channels, channels);
    std::array<uint8_t, kXaSectorAudioBytes> payload{};
    encoder.encode_sector(pcm.data(), payload.data());
    return payload;
}

WrittenMovie write_str_movie(DiscImage& disc, uint32_t lba, const MovieSpec& plan, Tone& tone) {
    return write_str_movie(disc, plan, tone, [&lba] { return lba++; });
}

std::vector<WrittenMovie> write_interleaved_movies(DiscImage& disc, uint32_t lba, const std::vector<MovieSpec>& plans) {
    std::vector<WrittenMovie> movies;
    const auto n = static_cast<uint32_t>(plans.size());
    for (uint32_t i = 0; i < n; ++i) {
        Tone tone(37800, 300.0 + 70.0 * i, 450.0 + 60.0 * i);
        uint32_t next = lba + i;
        movies.push_back(write_str_movie(disc, plans[i], tone, [&next, n] {
            const uint32_t at = next;
            next += n;
            return at;
        }));
    }
    return movies;
}

MovieSpec walcite_movie(uint8_t channel) {
    MovieSpec plan;
    plan.channel = channel;
    plan.type_word = static_cast<uint16_t>(0x8001 | channel << 10);
    plan.frame_bytes = 16000 + 900u * channel;
    plan.frame_bytes_step = 500;
    plan.seed = 40u + channel;
    return plan;
}

WrittenMovie write_str_movie(DiscImage& disc, const MovieSpec& plan, Tone& tone, const Placement& place) {
    WrittenMovie movie;
    uint32_t lba = place();
    movie.first_lba = lba;
    XaAdpcmEncoder encoder((plan.audio_coding & 0x01) != 0);
    uint32_t position = 0;  // sectors written since the movie's start
    auto advance = [&] {
        movie.end_lba = lba + 1;
        lba = place();
        ++position;
    };

    auto put_audio = [&](bool end_of_file) {
        const auto payload = xa_audio_payload(encoder, tone, plan.audio_coding);
        const uint8_t submode = static_cast<uint8_t>(plan.audio_submode | (end_of_file ? 0x80 : 0));
        disc.put(lba, {plan.file, plan.channel, submode, plan.audio_coding}, payload);
        movie.audio.push_back(payload);
        movie.audio_lbas.push_back(lba);
        advance();
    };
    auto audio_due = [&] { return plan.audio_spacing && position % plan.audio_spacing == plan.audio_spacing - 1; };

    for (uint32_t f = 0; f < plan.frames; ++f) {
        const uint32_t number = plan.first_frame_number + f;
        std::vector<uint8_t> mdec;
        if (plan.real_pictures) {
            mdec = test_picture_frame(plan.picture_width ? plan.picture_width : plan.width,
                                      plan.picture_height ? plan.picture_height : plan.height, number - 1,
                                      plan.mdec_version, 16 * kChunkDataBytes - 2u * plan.junk_words);
        } else {
            const uint32_t size = frame_bytes_of(plan, f);
            mdec = plan.size_after_marker ? synthetic_mdec_frame(plan.seed, number, size, plan.width, plan.height)
                                          : synthetic_mdec_frame(plan.seed, number, size, 2, plan.mdec_version);
        }
        const auto bytes = static_cast<uint32_t>(mdec.size());
        // What the chunks carry: junk words, then the MDEC data, zero-padded to whole chunks.
        std::vector<uint8_t> carried(2u * plan.junk_words, 0x11);
        carried.insert(carried.end(), mdec.begin(), mdec.end());
        const uint32_t chunks = std::max<uint32_t>(1, static_cast<uint32_t>((carried.size() + kChunkDataBytes - 1) / kChunkDataBytes));
        carried.resize(static_cast<size_t>(chunks) * kChunkDataBytes, 0);

        for (uint32_t c = 0; c < chunks; ++c) {
            while (audio_due()) put_audio(false);
            uint8_t user[2048] = {};
            store_le16(user + 0, 0x0160);
            store_le16(user + 2, plan.type_word);
            store_le16(user + 4, static_cast<uint16_t>(c));
            store_le16(user + 6, static_cast<uint16_t>(chunks));
            store_le32(user + 8, number);
            store_le32(user + 12, bytes);
            if (plan.size_in_header) {
                store_le16(user + 16, plan.width);
                store_le16(user + 18, plan.height);
                std::memcpy(user + 20, mdec.data(), 8);  // a copy of the MDEC header words
            }
            std::memcpy(user + 32, carried.data() + static_cast<size_t>(c) * kChunkDataBytes, kChunkDataBytes);
            if (c == 0) movie.frame_lbas.push_back(lba);
            disc.put(lba, {plan.file, plan.channel, plan.video_submode, 0}, {user, sizeof user});
            advance();
        }
        movie.frames.push_back(mdec);
        movie.chunk_counts.push_back(chunks);
        if (f + 1 == plan.play_marker_after_frame) {
            const uint8_t marker[16] = {'P', 'l', 'a', 'y', ' ', 'm', 'o', 'v', 'i', 'e'};
            disc.put(lba, {plan.file, plan.channel, 0x08, 0}, marker);
            movie.marker_lbas.push_back(lba);
            advance();
        }
    }
    // The audio that belongs to the last frame's time.
    while (plan.audio_spacing && audio_due()) put_audio(plan.last_audio_end_of_file);
    if (plan.last_audio_end_of_file && plan.audio_spacing && movie.audio_lbas.back() + 1 != movie.end_lba) put_audio(true);
    return movie;
}

}  // namespace discbuilder
