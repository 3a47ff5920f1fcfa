// corvane's movies on built discs: a countdown chunk header (marker 1, frames still to come, 0 in
// the last frame, the picture size), MDEC data in Form 1 real-time sectors, a Form 2 video sector
// ending each frame, and XA sound on the same channel, which opens the movie.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disc_image.h"
#include "str_movie.h"

namespace discbuilder {

struct CountdownMoviePlan {
    uint32_t frames = 20;
    // Each frame's data: this many chunks of filler, or at least this many for a real picture.
    uint16_t chunks_per_frame = 10;
    // Pacing in tenths of a frame per second (corvane reads 10 or more disc sectors a frame as
    // 15 fps, fewer as 30); 0 gives every frame as few sectors as its data needs.
    uint16_t frame_rate = 0;
    uint16_t width = 320;
    uint16_t height = 240;
    uint8_t channel = 0;
    bool with_audio = true;       // XA sound at the spacing that plays its coding in real time
    uint8_t audio_coding = 0x01;
    uint32_t coding_change_after_frame = 0;  // audio in 18900 Hz stereo from this frame on (0: never)
    bool form2_sectors = true;
    uint32_t seed = 1;
    bool real_pictures = false;  // MDEC encodings of test_picture(); chunks_per_frame then at least fits them
};

struct WrittenCountdownMovie {
    uint32_t first_lba = 0;
    uint32_t end_lba = 0;
    std::vector<std::vector<uint8_t>> frames;  // the data of each frame's chunks, 2016 bytes a chunk
    std::vector<uint32_t> frame_lbas;
    std::vector<uint32_t> frame_end_lbas;  // each frame's last chunk, which completes it
    std::vector<std::array<uint8_t, codecs::kXaSectorAudioBytes>> audio;
    std::vector<uint32_t> audio_lbas;
};

// Movies played at once from `lba` on, each on its own channel, paced as movie_pacing.h says;
// each opens with a sound sector. A movie that ends first leaves its turns to empty sectors of
// the game's file, which the others' streams pass over.
std::vector<WrittenCountdownMovie> write_interleaved_countdown_movies(DiscImage& disc, uint32_t lba,
                                                                      const std::vector<CountdownMoviePlan>& plans);

}  // namespace discbuilder
