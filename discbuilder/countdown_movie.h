// corvane's movies on built discs: a countdown chunk header (frames still to come, 0 in the last
// frame), MDEC data in Form 1 real-time sectors, a Form 2 video sector after each frame, and XA
// audio on the same channel, which opens the movie.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disc_image.h"
#include "str_movie.h"

namespace discbuilder {

struct CountdownMovieSpec {
    uint32_t frames = 20;
    uint16_t chunks_per_frame = 10;  // 6 or more a frame reads as 15 fps, fewer as 30
    uint16_t width = 320;
    uint16_t height = 240;
    uint8_t channel = 0;
    uint32_t audio_spacing = 8;  // 0: a silent movie
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
    std::vector<std::array<uint8_t, kXaSectorAudioBytes>> audio;
    std::vector<uint32_t> audio_lbas;
};

WrittenCountdownMovie write_countdown_movie(DiscImage& disc, const CountdownMovieSpec& plan, Tone& tone,
                                            const Placement& place);
// Movies interleaved sector by sector from `lba` on, as write_interleaved_movies does.
std::vector<WrittenCountdownMovie> write_interleaved_countdown_movies(DiscImage& disc, uint32_t lba,
                                                                      const std::vector<CountdownMovieSpec>& plans);

}  // namespace discbuilder
