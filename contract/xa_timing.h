// XA audio timing: the format an audio sector's coding byte names and how long n sectors play.
#pragma once

#include <cstdint>

namespace psr {

inline constexpr uint32_t kXaSectorTimeUnits = 40320;  // n sectors last n x 40320 / unit ms

// The format of XA sound as a sector's coding byte gives it.
struct XaFormat {
    uint16_t channels = 2;
    uint32_t sample_rate = 37800;

    static constexpr XaFormat from_coding(uint8_t coding) {
        return XaFormat{static_cast<uint16_t>((coding & 0x01) ? 2 : 1), (coding & 0x04) ? 18900u : 37800u};
    }
    // 189, 378 or 756.
    constexpr uint32_t unit() const { return sample_rate / 100 * channels; }
    // Unsigned 32-bit, product first.
    constexpr uint32_t duration_ms(uint32_t sectors) const { return sectors * kXaSectorTimeUnits / unit(); }
    // Samples per channel in one sector: 18 sound groups of 8 units of 28 samples.
    constexpr uint32_t samples_per_sector() const { return 4032u / channels; }
    constexpr bool operator==(const XaFormat&) const = default;
};

}  // namespace psr
