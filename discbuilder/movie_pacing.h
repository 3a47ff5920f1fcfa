// Where the sectors of movies go on a disc read at double speed (150 sectors a second), as real
// discs pace them: every frame of a movie spans the same number of disc sectors (10 at 15 fps, 5
// at 30 fps, 7 and 8 in turn at 20 fps), and its XA sound sectors come at the exact spacing that
// plays in real time (one in 8 for 37800 Hz stereo, one in 16 for 18900 Hz stereo or 37800 Hz
// mono, one in 32 for 18900 Hz mono). Movies interleaved on several channels share the disc: the
// sectors left by the sound go to the movies in turn, and each movie's frames span the same disc
// time, so a player that follows one channel plays its pictures and sound in real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace discbuilder {

inline constexpr uint32_t kSectorsPerSecond = 150;  // double speed

// One XA sound sector in this many disc sectors plays in real time: a sector holds 4032 samples
// in all, 4032 / channels for each channel, and a disc sector passes in 1/150 s.
constexpr uint32_t realtime_audio_spacing(uint8_t coding) {
    const uint32_t channels = (coding & 0x01) ? 2 : 1;
    const uint32_t rate = (coding & 0x04) ? 18900 : 37800;
    return 4032 * kSectorsPerSecond / (channels * rate);
}
static_assert(realtime_audio_spacing(0x01) == 8 && realtime_audio_spacing(0x00) == 16 &&
              realtime_audio_spacing(0x05) == 16 && realtime_audio_spacing(0x04) == 32);

struct MovieTiming {
    uint32_t frames = 0;
    std::vector<uint32_t> frame_sectors = {10};  // disc sectors per frame, in turn
    uint32_t audio_spacing = 8;  // one sound sector every this many disc sectors; 0 for a silent movie
    uint32_t audio_phase = 7;    // where in each period it lies
    bool frame_end_sector = false;  // the last video sector of every frame but the last is an end sector
    uint32_t marker_after_frame = 0;  // a marker sector opens the window of the frame after this one
};

// The disc sectors each frame spans at a rate in tenths of a frame per second, one period of
// the pattern: {10} at 15 fps, {5} at 30, {7, 8} at 20.
std::vector<uint32_t> frame_sectors_at(uint32_t tenths_fps);

struct MovieSlot {
    enum class Kind : uint8_t { kVideo, kAudio, kEndSector, kMarker } kind;
    uint32_t position;  // disc sectors from the schedule's start
    uint32_t frame;     // the frame whose time it lies in, from 0
};

struct Schedule {
    std::vector<std::vector<MovieSlot>> movies;  // each movie's sectors in disc order
    uint32_t length = 0;                         // disc sectors from the start to the end of the last movie
    // Video sectors of each movie's frame k: the frame's chunks.
    std::vector<std::vector<uint32_t>> chunks;
    // The disc sectors each movie's frames span.
    std::vector<uint32_t> spans;
    // The turns of movies that had ended while others played on: position and movie.
    std::vector<std::pair<uint32_t, size_t>> empty_turns;
};

// The disc positions of `movies` played at once, from position 0. Sound sectors take their
// slots first; the others go to the movies in turn. A movie's slots after its last frame stay
// empty until all have ended.
Schedule schedule_movies(const std::vector<MovieTiming>& movies);

}  // namespace discbuilder
