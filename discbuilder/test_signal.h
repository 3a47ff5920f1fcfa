// Test signals for built discs: tones whose frequency a test can find again, and deterministic
// filler bytes for frame data.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace discbuilder {

// A sine tone per channel, continuing from call to call.
class Tone {
public:
    Tone(double sample_rate, double left_hz, double right_hz, double amplitude = 12000.0)
        : rate_(sample_rate), hz_{left_hz, right_hz}, amplitude_(amplitude) {}

    // `frames` samples per channel; interleaved when `channels` is 2.
    std::vector<int16_t> next(uint32_t frames, int channels) {
        std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
        for (uint32_t i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c) {
                const double t = static_cast<double>(position_ + i) / rate_;
                out[i * channels + c] = static_cast<int16_t>(std::lround(amplitude_ * std::sin(2 * kPi * hz_[c] * t)));
            }
        }
        position_ += frames;
        return out;
    }

private:
    static constexpr double kPi = 3.14159265358979323846;
    double rate_;
    double hz_[2];
    double amplitude_;
    uint64_t position_ = 0;
};

// Deterministic bytes: the same seed always gives the same sequence.
class ByteStream {
public:
    explicit ByteStream(uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {}
    uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<uint8_t>(state_ >> 3);
    }

private:
    uint32_t state_;
};

}  // namespace discbuilder
