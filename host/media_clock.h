// When each picture of a movie is shown.
//
// On the console, sound plays at its fixed rate while pictures are shown as they come off the
// disc: the disc's interleaving encodes the timing. So in a stream with sound, a frame's time is
// the sound that lies on the disc before its first chunk (the plug-ins hand over sound met while a
// frame is gathered only after that frame, so this is all the sound delivered before it), less
// the last of those sectors, which begins to play as it arrives and is still playing when the
// frame comes. Frames that share such a point are spaced evenly up to the next one. Frames after
// the sound has ended run at the rate measured over the part with sound. A stream without sound
// runs at its frame rate, or each frame's own where the rate varies.
//
// Times are exact rationals (an XA sector lasts 4, 8 or 16 seventy-fifths of a second), rounded
// once, to the container's time base, by whoever writes them.
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
    bool timed_by_sound = false;    // frame times come from the sound
    Rational duration() const { return pictures_end < sound ? sound : pictures_end; }
};

// The length of one XA sector's sound.
Rational sector_duration(const XaFormat& format);

// The timeline of a surveyed stream; `info` gives the frame rate used where no sound times it.
Timeline build_timeline(const StreamDelivery& survey, const StreamInfo& info);

}  // namespace quorvex
