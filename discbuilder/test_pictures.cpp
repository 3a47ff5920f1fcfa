#include "test_pictures.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "../codecs/mdec_encoder.h"

namespace discbuilder {

using codecs::Picture;

Picture test_picture(uint16_t width, uint16_t height, uint32_t frame) {
    Picture p;
    p.width = width;
    p.height = height;
    p.y.resize(size_t{width} * height);
    p.cb.resize(size_t{width / 2u} * (height / 2u));
    p.cr.resize(p.cb.size());
    const double t = frame;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = 128 + 70 * std::sin((x + 3 * t) / 23.0) * std::cos((y - 2 * t) / 31.0) + 30 * std::sin((x + y) / 57.0);
            p.y[size_t(y) * width + x] = static_cast<uint8_t>(std::clamp(std::lround(v), 16L, 235L));
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            p.cb[size_t(y) * (width / 2) + x] = static_cast<uint8_t>(128 + 40 * std::sin((x + t) / 17.0));
            p.cr[size_t(y) * (width / 2) + x] = static_cast<uint8_t>(128 + 40 * std::cos((y - t) / 13.0));
        }
    }
    return p;
}

std::vector<uint8_t> test_picture_frame(uint16_t width, uint16_t height, uint32_t frame, uint16_t version,
                                        uint32_t max_bytes) {
    static std::map<std::tuple<uint16_t, uint16_t, uint32_t, uint16_t, uint32_t>, std::vector<uint8_t>> made;
    const auto key = std::make_tuple(width, height, frame % 240, version, max_bytes);
    auto found = made.find(key);
    if (found == made.end()) {
        found = made.emplace(key, codecs::encode_mdec_within(test_picture(width, height, frame % 240), version, max_bytes)).first;
    }
    return found->second;
}

}  // namespace discbuilder
