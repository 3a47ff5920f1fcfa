// Measures of decoded pictures and sound: PSNR, and the pitch of a tone.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace testing_support {

inline double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double error = 0;
    for (size_t i = 0; i < a.size(); ++i) error += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    if (error == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / error);
}

// The frequency from 50 to 2000 Hz with the most energy in one channel, by a Goertzel scan in
// 1 Hz steps.
inline double dominant_frequency(const std::vector<int16_t>& interleaved, int channels, int channel, double rate) {
    double best = 0, best_power = -1;
    for (double f = 50; f <= 2000; f += 1) {
        const double w = 2 * std::cos(2 * 3.14159265358979 * f / rate);
        double s1 = 0, s2 = 0;
        for (size_t i = static_cast<size_t>(channel); i < interleaved.size(); i += static_cast<size_t>(channels)) {
            const double s = interleaved[i] + w * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        const double power = s1 * s1 + s2 * s2 - w * s1 * s2;
        if (power > best_power) {
            best_power = power;
            best = f;
        }
    }
    return best;
}

// How cleanly one channel holds a sine of `frequency`: the power of the best-fitting sine over
// that of what is left, in dB, over the samples from `first` to `end` (per channel).
inline double sine_snr(const std::vector<int16_t>& interleaved, int channels, int channel, double rate, double frequency,
                       size_t first, size_t end) {
    const double w = 2 * 3.14159265358979 * frequency / rate;
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (size_t n = first; n < end; ++n) {
        const double x = interleaved[n * size_t(channels) + size_t(channel)], s = std::sin(w * double(n)), c = std::cos(w * double(n));
        ss += s * s, cc += c * c, sc += s * c, xs += x * s, xc += x * c;
    }
    const double det = ss * cc - sc * sc;
    if (det == 0) return 0;
    const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
    double signal = 0, noise = 0;
    for (size_t n = first; n < end; ++n) {
        const double fit = a * std::sin(w * double(n)) + b * std::cos(w * double(n));
        const double x = interleaved[n * size_t(channels) + size_t(channel)];
        signal += fit * fit;
        noise += (x - fit) * (x - fit);
    }
    return noise > 0 ? 10 * std::log10(signal / noise) : std::numeric_limits<double>::infinity();
}

}  // namespace testing_support
