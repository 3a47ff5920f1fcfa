#include "archive_adpcm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace codecs {
namespace {

double clamp_sample(double v) { return v < -32768.0 ? -32768.0 : v > 32767.0 ? 32767.0 : v; }
int32_t round_sample(double v) { return static_cast<int32_t>(v + 0.5); }
int32_t nibble_value(int nibble, int shift) { return (nibble * 4096) >> shift; }

}  // namespace

void encode_archive_group(const int16_t* samples, ArchiveHistory& history, uint8_t flag, int offset, uint8_t* group) {
    double best_error = -1;
    uint8_t best[16] = {};
    ArchiveHistory best_history;
    for (int filter = 0; filter < 5; ++filter) {
        for (int shift = 0; shift < 16; ++shift) {
            ArchiveHistory h = history;
            uint8_t trial[16] = {static_cast<uint8_t>(filter << 4 | shift), flag};
            double error = 0;
            for (int i = 0; i < 28; ++i) {
                const int32_t target = samples[i] + offset;
                const double predicted = h.s1 * kArchiveFilters[filter][0] + h.s2 * kArchiveFilters[filter][1];
                // The nibble nearest the residual, and its neighbours, judged by the rounded output.
                const double step = std::ldexp(4096.0, -shift);
                const int guess = static_cast<int>(std::lround((target - predicted) / step));
                int chosen = 0;
                double chosen_error = -1, chosen_v = 0;
                for (int n = std::max(-8, guess - 1); n <= std::min(7, guess + 1); ++n) {
                    const double v = clamp_sample(predicted + nibble_value(n, shift));
                    const double e = std::fabs(round_sample(v) - target);
                    if (chosen_error < 0 || e < chosen_error) {
                        chosen = n;
                        chosen_error = e;
                        chosen_v = v;
                    }
                }
                if (guess < -9 || guess > 8) {
                    chosen = guess < 0 ? -8 : 7;
                    chosen_v = clamp_sample(predicted + nibble_value(chosen, shift));
                    chosen_error = std::fabs(round_sample(chosen_v) - target);
                }
                error += chosen_error * chosen_error;
                h.s2 = h.s1;
                h.s1 = chosen_v;
                trial[2 + i / 2] |= static_cast<uint8_t>((chosen & 15) << (i % 2 ? 4 : 0));
            }
            if (best_error < 0 || error < best_error) {
                best_error = error;
                std::memcpy(best, trial, 16);
                best_history = h;
            }
        }
    }
    std::memcpy(group, best, 16);
    history = best_history;
}

}  // namespace codecs
