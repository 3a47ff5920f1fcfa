#include "media_clock.h"


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

Timeline build_timeline(const StreamDelivery& survey, const StreamInfo& info) {
    Timeline t;
    // The sound delivered before each frame.
    // The sound that had played when each frame came off the disc: every sound sector before the
    // frame's first chunk but the last, which starts playing as it arrives and is still playing.
    std::vector<Rational> before;
    Rational sound, playing;
    for (const SurveyUnit& u : survey.units) {
        if (u.video) {
            before.push_back(sound - playing);
            continue;
        }
        for (uint32_t s = 0; s < u.sector_count; ++s) {
            playing = sector_duration(survey.sector_formats[u.first_sector + s]);
            sound = sound + playing;
        }
        if (u.pcm_samples && info.sample_rate) sound = sound + Rational::of(u.pcm_samples, info.sample_rate);
    }
    t.sound = sound;
    const size_t frames = before.size();
    t.frames.resize(frames);
    if (frames == 0) {
        t.pictures_end = Rational{};
        return t;
    }

    // Points: the first frame, and each frame with more sound before it than the one before.
    std::vector<size_t> points = {0};
    for (size_t k = 1; k < frames; ++k) {
        if (before[points.back()] < before[k]) points.push_back(k);
    }
    const bool by_sound = survey.has_audio() && points.size() > 1;
    t.timed_by_sound = by_sound;
    if (by_sound) {
        for (size_t p = 0; p + 1 < points.size(); ++p) {
            const size_t a = points[p], b = points[p + 1];
            const Rational step = (before[b] - before[a]) / static_cast<int64_t>(b - a);
            for (size_t k = a; k < b; ++k) t.frames[k] = {before[a] + step * static_cast<int64_t>(k - a), step};
        }
        // From the last point on, the rate measured over the part with sound.
        const size_t last = points.back();
        const Rational measured = (before[last] - before[0]) / static_cast<int64_t>(last);
        for (size_t k = last; k < frames; ++k) t.frames[k] = {before[last] + measured * static_cast<int64_t>(k - last), measured};
    } else {
        // The frame rate; each frame's own where it varies. Sound delivered before the first
        // frame still comes first.
        const bool varying = (info.kind & 0x10) != 0;
        Rational at = survey.has_audio() ? before[0] : Rational{};
        size_t k = 0;
        for (const SurveyUnit& u : survey.units) {
            if (!u.video) continue;
            const Rational d = frame_period(varying && u.frame_rate ? u.frame_rate : info.frame_rate);
            t.frames[k++] = {at, d};
            at = at + d;
        }
    }
    t.pictures_end = t.frames.back().start + t.frames.back().duration;
    t.average_frame = (t.pictures_end - t.frames.front().start) / static_cast<int64_t>(frames);
    return t;
}

}  // namespace quorvex
