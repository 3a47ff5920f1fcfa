#include "xa_music.h"

#include <algorithm>

#include "../contract/raw_sector.h"
#include "str_movie.h"
#include "test_signal.h"

namespace discbuilder {
namespace {
constexpr uint8_t kVelocetSpareChannel = 31;  // carries no song
}  // namespace

WrittenRun write_music_run(DiscImage& disc, uint32_t lba, MusicLayout layout,
                           const std::vector<std::vector<uint32_t>>& songs, uint32_t seed, uint32_t unique_sectors) {
    struct Channel {
        size_t song = 0;        // the song playing, or songs.size() when all have played
        uint32_t played = 0;    // audio sectors of it written
        int written = -1;       // its index in the run's list
        uint32_t counted = 0;   // its sectors, data sectors included
        Tone tone;
        codecs::XaAdpcmEncoder encoder{true};
        std::vector<std::array<uint8_t, codecs::kXaSectorAudioBytes>> encoded;  // up to unique_sectors of them
        size_t repeated = 0;
    };
    WrittenRun run;
    run.first_lba = lba;
    const auto channels = static_cast<uint32_t>(songs.size());
    std::vector<Channel> state;
    for (uint32_t c = 0; c < channels; ++c) {
        state.push_back(Channel{0, 0, -1, 0, Tone(37800, 200.0 + 110.0 * c + seed, 300.0 + 130.0 * c + seed),
                                codecs::XaAdpcmEncoder(true), {}, 0});
    }
    uint32_t data_word = seed * 0x1000;
    auto busy = [&] {
        return std::any_of(state.begin(), state.end(), [&](const Channel& ch) {
            const size_t index = static_cast<size_t>(&ch - state.data());
            return ch.song < songs[index].size();
        });
    };

    // A sector its game passes over, for a channel with nothing to play.
    auto put_filler = [&](uint8_t channel) {
        uint8_t user[2048] = {};
        if (layout == MusicLayout::kOstrand) {
            disc.put(lba, {1, channel, 0x64, 0x01}, {});  // blank audio on a channel with no open stream
        } else if (layout == MusicLayout::kDrumvale) {
            user[0] = 0xAA;
            disc.put(lba, {1, channel, 0x48, 0x01}, user);  // a marker where no stream is open
        } else {
            psr::store_le32(user, ++data_word);
            disc.put(lba, {1, kVelocetSpareChannel, 0x48, 0x01}, user);  // data on a channel of no stream
        }
    };

    for (uint32_t position = 0; busy(); ++position, ++lba) {
        const uint32_t c = position % channels;
        Channel& ch = state[c];
        const auto channel = static_cast<uint8_t>(c);
        if (ch.song >= songs[c].size()) {
            put_filler(channel);
            continue;
        }
        if (ch.written < 0) {
            ch.written = static_cast<int>(run.songs.size());
            run.songs.push_back(WrittenSong{channel, {}, {}, {}, 0});
        }
        WrittenSong& song = run.songs[static_cast<size_t>(ch.written)];
        if (ch.played == songs[c][ch.song]) {
            // The song is over. velocet's songs run to the end of the run; the others get an end
            // sector, then the channel's next song.
            if (layout == MusicLayout::kVelocet) {
                ch.song = songs[c].size();
                put_filler(channel);
                continue;
            }
            if (layout == MusicLayout::kDrumvale) {
                const uint8_t word[4] = {0xEE, 0, 0, 0};
                disc.put(lba, {1, channel, 0x48, 0x01}, word);
            } else {
                disc.put(lba, {1, channel, 0x64, 0x01}, {});
            }
            song.end_lba = lba;
            ch.song++;
            ch.played = 0;
            ch.counted = 0;
            ch.written = -1;
            // Each song plays on its own, so it starts from a clean encoder.
            ch.encoder = codecs::XaAdpcmEncoder(true);
            ch.encoded.clear();
            ch.repeated = 0;
            continue;
        }
        if (layout == MusicLayout::kVelocet && ch.counted % 8 == 7) {
            uint8_t user[2048] = {};
            psr::store_le32(user, ++data_word);
            disc.put(lba, {1, channel, 0x48, 0x01}, user);
            song.data_lbas.push_back(lba);
            ch.counted++;
            continue;
        }
        std::array<uint8_t, codecs::kXaSectorAudioBytes> payload;
        if (ch.encoded.size() < unique_sectors) {
            payload = xa_audio_payload(ch.encoder, ch.tone, 0x01);
            ch.encoded.push_back(payload);
        } else {
            payload = ch.encoded[ch.repeated++ % unique_sectors];
        }
        disc.put(lba, {1, channel, 0x64, 0x01}, payload);
        song.audio_lbas.push_back(lba);
        song.audio.push_back(payload);
        ch.played++;
        ch.counted++;
    }
    if (layout == MusicLayout::kVelocet) {
        // The run ends at a data sector that repeats the previous one's first word.
        uint8_t user[2048] = {};
        psr::store_le32(user, 0x5EC0DE00u + seed);
        disc.put(lba++, {1, kVelocetSpareChannel, 0x48, 0x01}, user);
        disc.put(lba++, {1, kVelocetSpareChannel, 0x48, 0x01}, user);
    } else {
        const uint8_t user[16] = {'E', 'N', 'D'};
        disc.put(lba++, {0, 0, 0x08, 0}, user);
    }
    run.end_lba = lba;
    return run;
}

}  // namespace discbuilder
