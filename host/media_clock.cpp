#include "media_clock.h"

#include <algorithm>
#include <optional>


namespace quorvex {
namespace {

int64_t gcd(int64_t a, int64_t b) {
    a = a < 0 ? -a : a;
    while (b) {
        const int64_t t = a % b;
        a = b;
        b = t < 0 ? -t : t;
    }
    return a;
}

// A time too fine for 64 bits (it never happens with the rates discs use) is rounded to this
// fraction of a second, which XA sectors and common frame rates divide.
constexpr int64_t kFallbackDen = 2 * 2 * 2 * 2 * 2 * 2 * 3 * 3 * 3 * 3 * 5 * 5 * 5 * 5 * 7 * 7;

Rational approximate(long double value) {
    return Rational::of(static_cast<int64_t>(value * kFallbackDen + (value < 0 ? -0.5L : 0.5L)), kFallbackDen);
}

long double value_of(Rational r) { return static_cast<long double>(r.num) / static_cast<long double>(r.den); }

// A frame's duration at a rate in tenths of a frame per second; 15 fps where none is known.
Rational frame_period(uint16_t tenths) { return Rational::of(10, tenths ? tenths : 150); }

}  // namespace

Rational Rational::of(int64_t num, int64_t den) {
    if (den == 0) den = 1;
    if (den < 0) num = -num, den = -den;
    const int64_t g = gcd(num, den);
    return g > 1 ? Rational{num / g, den / g} : Rational{num, den};
}

int64_t Rational::in_units(int64_t unit_num, int64_t unit_den) const {
    // (num / den) / (unit_num / unit_den), rounded to the nearest, halves up.
    int64_t n = 0, d = 0;
    if (__builtin_mul_overflow(num, unit_den, &n) || __builtin_mul_overflow(den, unit_num, &d)) {
        const long double exact = value_of(*this) * unit_den / unit_num;
        return static_cast<int64_t>(exact < 0 ? exact - 0.5L : exact + 0.5L);
    }
    int64_t q = n / d, r = n % d;
    if (r < 0) --q, r += d;
    if (r >= d - r) ++q;
    return q;
}

Rational operator+(Rational a, Rational b) {
    int64_t x = 0, y = 0, n = 0, d = 0;
    if (__builtin_mul_overflow(a.num, b.den, &x) || __builtin_mul_overflow(b.num, a.den, &y) ||
        __builtin_add_overflow(x, y, &n) || __builtin_mul_overflow(a.den, b.den, &d)) {
        return approximate(value_of(a) + value_of(b));
    }
    return Rational::of(n, d);
}
Rational operator-(Rational a, Rational b) { return a + Rational{-b.num, b.den}; }
Rational operator*(Rational a, int64_t k) {
    int64_t n = 0;
    if (__builtin_mul_overflow(a.num, k, &n)) return approximate(value_of(a) * k);
    return Rational::of(n, a.den);
}
Rational operator/(Rational a, int64_t k) {
    int64_t d = 0;
    if (__builtin_mul_overflow(a.den, k, &d)) return approximate(value_of(a) / k);
    return Rational::of(a.num, d);
}
bool operator<(Rational a, Rational b) {
    int64_t x = 0, y = 0;
    if (__builtin_mul_overflow(a.num, b.den, &x) || __builtin_mul_overflow(b.num, a.den, &y)) return value_of(a) < value_of(b);
    return x < y;
}
bool operator==(Rational a, Rational b) { return a.num == b.num && a.den == b.den; }

Rational sector_duration(const XaFormat& format) {
    return Rational::of(format.samples_per_sector(), format.sample_rate);
}

namespace {

// A disc turns at single or double speed; a speed measured within 5% of one is that one.
Rational disc_speed(Rational measured) {
    for (int64_t speed : {150, 75}) {
        const Rational nominal{speed, 1};
        const Rational off = measured < nominal ? nominal - measured : measured - nominal;
        if (off * 20 < nominal) return nominal;
    }
    return measured;
}

// How long the sound lasts, and, where its sectors were found on the disc, the speed they were
// read at and the (fractional) sector read when the sound began.
struct SoundClock {
    Rational length;
    std::optional<Rational> speed;
    Rational origin;
};

SoundClock sound_clock(const StreamDelivery& survey, const StreamInfo& info) {
    SoundClock clock;
    const auto& lbas = survey.sector_lbas;
    size_t first = SIZE_MAX, last = SIZE_MAX;
    Rational before_first, between;
    for (const SurveyUnit& u : survey.units) {
        if (u.video) continue;
        for (uint32_t k = 0; k < u.sector_count; ++k) {
            const size_t i = size_t{u.first_sector} + k;
            if (i < lbas.size() && lbas[i] != kNoSector) {
                if (first == SIZE_MAX) {
                    first = i;
                    before_first = clock.length;
                } else if (lbas[first] < lbas[i]) {
                    last = i;
                    between = clock.length - before_first;
                }
            }
            clock.length = clock.length + sector_duration(survey.sector_formats[i]);
        }
        if (u.pcm_samples && info.sample_rate) clock.length = clock.length + Rational::of(u.pcm_samples, info.sample_rate);
    }
    if (last != SIZE_MAX && Rational{} < between) {
        clock.speed = disc_speed(Rational::of(lbas[last] - lbas[first], 1) / 1 * between.den / between.num);
        clock.origin = Rational::of(lbas[first], 1) - *clock.speed * before_first.num / before_first.den;
    }
    return clock;
}

// Without sound: the frames' own rates over the sectors they span (150 a second when they span
// none).
Rational frame_speed(const std::vector<uint32_t>& lbas, const std::vector<Rational>& periods) {
    Rational played;
    for (size_t k = 0; k + 1 < periods.size(); ++k) played = played + periods[k];
    if (lbas.size() < 2 || lbas.back() == lbas.front() || !(Rational{} < played)) return Rational{150, 1};
    return disc_speed(Rational::of(lbas.back() - lbas.front(), 1) * played.den / played.num);
}

// Where each frame starts on the sector clock; frames read before time 0 spread evenly up to the
// first one after it.
std::vector<Rational> sector_times(const std::vector<uint32_t>& lbas, Rational origin, Rational speed) {
    std::vector<Rational> t;
    for (uint32_t lba : lbas) t.push_back((Rational::of(lba, 1) - origin) * speed.den / speed.num);
    size_t j = 0;
    while (j < t.size() && t[j] < Rational{}) ++j;
    if (j == t.size()) {  // every frame before the sound: they start at 0
        for (size_t k = t.size(); k-- > 0;) t[k] = t[k] - t[0];
    } else {
        for (size_t k = 0; k < j; ++k) t[k] = t[j] * static_cast<int64_t>(k) / static_cast<int64_t>(j);
    }
    return t;
}

// An even grid of `period` through the times, every one within half a period of its own; its
// first point, or nothing.
std::optional<Rational> fit_grid(const std::vector<Rational>& t, Rational period) {
    if (!(Rational{} < period)) return std::nullopt;
    Rational lo, hi;
    for (size_t k = 0; k < t.size(); ++k) {
        const Rational dev = t[k] - t[0] - period * static_cast<int64_t>(k);
        if (dev < lo) lo = dev;
        if (hi < dev) hi = dev;
    }
    Rational first = t[0] + (lo + hi) / 2;
    if (first < Rational{}) first = Rational{};
    const Rational half = period / 2;
    for (size_t k = 0; k < t.size(); ++k) {
        const Rational dev = first + period * static_cast<int64_t>(k) - t[k];
        if (half < dev || dev < Rational{} - half) return std::nullopt;
    }
    return first;
}

// The rates a grid may have: the described one, then the measured one in whole and in tenths of
// frames a second.
std::vector<Rational> grid_periods(const std::vector<uint32_t>& lbas, Rational speed, const StreamInfo& info) {
    std::vector<Rational> periods;
    if (info.frame_rate) periods.push_back(Rational::of(10, info.frame_rate));
    if (lbas.size() >= 2 && lbas.back() > lbas.front()) {
        // frames a second = speed x (frames - 1) / sectors spanned
        const Rational fps = speed * static_cast<int64_t>(lbas.size() - 1) / (lbas.back() - lbas.front());
        for (int64_t scale : {1, 10}) {
            const int64_t rate = (fps * scale).in_units(1, 1);
            if (rate > 0) periods.push_back(Rational::of(scale, rate));
        }
    }
    return periods;
}

}  // namespace

Timeline build_timeline(const StreamDelivery& survey, const StreamInfo& info) {
    Timeline t;
    const SoundClock sound = sound_clock(survey, info);
    t.sound = sound.length;
    std::vector<uint32_t> lbas;
    std::vector<Rational> periods;  // each frame's own period, as the stream describes it
    const bool varying = psr::varies_in_rate(info);
    bool placed = true;
    for (const SurveyUnit& u : survey.units) {
        if (!u.video) continue;
        placed = placed && u.lba != kNoSector;
        // A sector read again (a reader's retry) never takes time back.
        lbas.push_back(lbas.empty() || u.lba == kNoSector ? u.lba : std::max(u.lba, lbas.back()));
        periods.push_back(frame_period(varying && u.frame_rate ? u.frame_rate : info.frame_rate));
    }
    const size_t n = lbas.size();
    if (n == 0) return t;

    std::vector<Rational> starts(n);
    if (placed) {
        t.timed_by_sound = sound.speed.has_value();
        t.sectors_per_second = sound.speed.value_or(frame_speed(lbas, periods));
        starts = sector_times(lbas, sound.speed ? sound.origin : Rational::of(lbas.front(), 1), t.sectors_per_second);
    } else {
        // Frames whose sectors are unknown follow their rates from 0.
        for (size_t k = 1; k < n; ++k) starts[k] = starts[k - 1] + periods[k - 1];
    }

    t.frames.resize(n);
    for (const Rational& period : placed ? grid_periods(lbas, t.sectors_per_second, info) : std::vector<Rational>{}) {
        if (const auto first = fit_grid(starts, period)) {
            for (size_t k = 0; k < n; ++k) t.frames[k] = {*first + period * static_cast<int64_t>(k), period};
            t.constant_rate = true;
            break;
        }
    }
    if (!t.constant_rate) {
        // Each frame lasts until the next; the last as long as the mean (or its own rate).
        const Rational last = placed && n > 1 ? (starts[n - 1] - starts[0]) / static_cast<int64_t>(n - 1) : periods[n - 1];
        for (size_t k = 0; k < n; ++k) t.frames[k] = {starts[k], k + 1 < n ? starts[k + 1] - starts[k] : last};
    }
    t.pictures_end = t.frames.back().start + t.frames.back().duration;
    t.average_frame = (t.pictures_end - t.frames.front().start) / static_cast<int64_t>(n);
    return t;
}

}  // namespace quorvex
