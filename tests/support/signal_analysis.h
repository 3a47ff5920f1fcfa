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

}  // namespace testing_support
