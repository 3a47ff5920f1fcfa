// STR movies on built discs: MDEC frames cut into one-sector chunks behind a 32-byte chunk header,
// with XA sound sectors interleaved, paced as real discs pace them (movie_pacing.h).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disc_image.h"
#include "test_signal.h"
#include "../codecs/xa_adpcm.h"

namespace discbuilder {

inline constexpr uint32_t kChunkDataBytes = 2016;

struct MoviePlan {
    uint32_t frames = 20;
    uint32_t first_frame_number = 1;
    uint16_t width = 320;
    uint16_t height = 240;
    bool size_in_header = true;  // tamsel's headers carry no picture size
    uint16_t type_word = 0x8001;
    uint32_t frame_bytes = 7000;   // MDEC bytes of frame 1
    uint32_t frame_bytes_step = 0;  // frame k holds frame_bytes + (k % 4) x step
    uint16_t mdec_version = 2;
    uint16_t junk_words = 0;  // words between the chunk header and the MDEC header of first chunks
    // Pacing: each frame spans the disc sectors of this rate in tenths of a frame per second at
    // double speed, its chunks padded to fill them; 0 gives every frame as few sectors as the
    // largest frame's data needs.
    uint16_t frame_rate = 0;
    bool with_audio = true;       // XA sound at the spacing that plays its coding in real time
    uint8_t audio_coding = 0x01;  // stereo, 37800 Hz
    uint8_t file = 1;
    uint8_t channel = 0;
    uint8_t video_submode = 0x48;
    uint8_t audio_submode = 0x64;
    bool last_audio_end_of_file = false;  // the last audio sector carries submode bit 0x80
    bool size_after_marker = false;  // the MDEC header's last two words give width and height
    uint32_t play_marker_after_frame = 0;  // a "Play" data sector opens the next frame's time (0: none)
    uint32_t seed = 1;
    // Real pictures: each frame the MDEC encoding of test_picture(), at the size a reader reports
    // (0: the header's), instead of filler bytes; frame_bytes then follows the encoding.
    bool real_pictures = false;
    uint16_t picture_width = 0;
    uint16_t picture_height = 0;
};

// Each game's movies.
MoviePlan selvane_movie();  // "Play" marker sectors, 37800 Hz stereo audio
MoviePlan grivet_movie();   // a fixed chunk type word and an odd picture height
MoviePlan tamsel_movie();   // no picture size in the headers, 18900 Hz stereo audio ending in end-of-file


struct WrittenMovie {
    uint32_t first_lba = 0;
    uint32_t end_lba = 0;  // one past the last sector written
    std::vector<std::vector<uint8_t>> frames;  // each frame's MDEC data as a reader must deliver it
    std::vector<uint32_t> frame_lbas;          // LBA of each frame's first chunk
    std::vector<uint32_t> frame_end_lbas;      // LBA of each frame's last chunk, which completes it
    std::vector<uint32_t> chunk_counts;
    std::vector<std::array<uint8_t, codecs::kXaSectorAudioBytes>> audio;  // audio payloads in disc order
    std::vector<uint32_t> audio_lbas;
    std::vector<uint32_t> marker_lbas;
    std::vector<uint32_t> frame_sectors;  // the disc sectors each frame spans, in turn
};

// The MDEC data of one frame: the four header words (count, 0x3800, then the scale and version, or
// a picture's width and height), then filler.
std::vector<uint8_t> synthetic_mdec_frame(uint32_t seed, uint32_t frame_number, uint32_t bytes, uint16_t word2 = 2,
                                          uint16_t word3 = 2);

// Writes a movie from `lba` on; `tone` supplies its audio.
WrittenMovie write_str_movie(DiscImage& disc, uint32_t lba, const MoviePlan& plan, Tone& tone);

// Movies played at once from `lba` on, each on its own channel, the disc shared between them as
// movie_pacing.h describes. Each movie's sound is its own tone.
std::vector<WrittenMovie> write_interleaved_movies(DiscImage& disc, uint32_t lba, const std::vector<MoviePlan>& plans);

// walcite's movies: each on its own XA channel, which the chunk type word names too.
MoviePlan walcite_movie(uint8_t channel);

// Encodes audio sectors of a tone: one XA sector's payload.
std::array<uint8_t, codecs::kXaSectorAudioBytes> xa_audio_payload(codecs::XaAdpcmEncoder& encoder, Tone& tone, uint8_t coding);

}  // namespace discbuilder
