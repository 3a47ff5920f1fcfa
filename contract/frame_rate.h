// estimate_frame_rate: a movie's frame rate in tenths of a frame per second, from its picture size
// and two counts of video sectors per frame.
#pragma once

#include <cstdint>

namespace psr {

// tamsel's game adds a 10 fps step between 7.5 and 15 fps.
enum class RateRule : uint8_t { kCommon, kTamsel };

constexpr uint32_t estimate_frame_rate(int32_t width, int32_t height, int32_t a, int32_t b,
                                       RateRule rule = RateRule::kCommon) {
    // Signed division truncating towards zero, as the callers pass signed values.
    const int64_t macroblocks = static_cast<int64_t>((width + 15) / 16) * ((height + 15) / 16);
    if (macroblocks == 0) return 0;
    const uint32_t p = 90000u / static_cast<uint32_t>(macroblocks);
    const uint32_t size_rate = p < 150 ? 75 : p < 300 ? 150 : p < 600 ? 300 : 600;

    const uint32_t q = (static_cast<uint32_t>(a) + static_cast<uint32_t>(b)) * 1008u;
    uint32_t sector_rate;
    if (rule == RateRule::kTamsel && q > 30720) {
        sector_rate = 75;
    } else if (q > 20480) {
        sector_rate = rule == RateRule::kTamsel ? 100 : 75;
    } else if (q > 10240) {
        sector_rate = 150;
    } else if (q > 5120) {
        sector_rate = 300;
    } else {
        sector_rate = 600;
    }
    return size_rate < sector_rate ? size_rate : sector_rate;
}

}  // namespace psr
