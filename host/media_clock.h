// When each picture of a movie is shown.
//
// On the console the disc turns at a steady speed (75 sectors a second, or 150 at double speed),
// sound plays as its sectors are read, and a frame can be shown once the sector that completes it
// has been read. So a movie is timed by that sector clock: a frame's time is the moment its last
// chunk is read, counted from the moment the stream's first sound sector is read (time 0, where
// the sound starts), at the stream's own speed. The speed comes from the spacing of the stream's
// own sound sectors (each lasts 4, 8 or 16 seventy-fifths of a second), or, without sound, from its
// frame rate over the sectors its frames span; it is taken as 75 or 150 when within 5% of one.
// A stream without sound starts at its first frame. Frames completed before the first sound
// sector (after a seek, say) are spread evenly from 0 to the first frame after it.
//
// Where every frame lies within half a frame of an even grid (a movie the disc paces at a constant
// rate), the frames are written on that grid, so that players see one constant rate; otherwise
// each keeps its sector time.
//
// Times are exact rationals, rounded once, to the container's time base, by whoever writes them.
#pragma once

#include <cstdint>
#include <vector>

#include "playback.h"

namespace quorvex {

struct Rational {
    int64_t num = 0;
    int64_t den = 1;

    static Rational of(int64_t num, int64_t den);  // reduced, den > 0
    double seconds() const { return static_cast<double>(num) / static_cast<double>(den); }
    // The nearest count of `unit_den / unit_num`-second ticks: times in a time base.
    int64_t in_units(int64_t unit_num, int64_t unit_den) const;
    // Milliseconds, rounded to the nearest.
    int64_t milliseconds() const { return in_units(1, 1000); }
};
Rational operator+(Rational a, Rational b);
Rational operator-(Rational a, Rational b);
Rational operator*(Rational a, int64_t k);
Rational operator/(Rational a, int64_t k);
bool operator<(Rational a, Rational b);
bool operator==(Rational a, Rational b);

struct FrameTime {
    Rational start;
    Rational duration;
};

struct Timeline {
    std::vector<FrameTime> frames;  // each video unit's time, in delivery order
    Rational sound;                 // how long the sound lasts
    Rational pictures_end;          // when the last picture ends
    Rational average_frame;         // the mean frame duration (a constant-rate container's)
    Rational sectors_per_second;    // the speed the stream's sectors are read at (0 without frames)
    bool timed_by_sound = false;    // that speed comes from the spacing of the sound
    bool constant_rate = false;     // the frames lie on an even grid of `average_frame`
    Rational duration() const { return pictures_end < sound ? sound : pictures_end; }
};

// The length of one XA sector's sound.
Rational sector_duration(const XaFormat& format);

// The timeline of a surveyed stream; `info` gives the frame rate used where no sound times it.
Timeline build_timeline(const StreamDelivery& survey, const StreamInfo& info);

}  // namespace quorvex
