// The console's MDEC decoder on any bytes: two bytes give the picture's size in macroblocks, the
// rest is the frame, and the same bytes are also taken as the chip's halfwords. Each must decode or
// say why, never read past its input (AddressSanitizer) nor leave planes of another size.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/mdec_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const auto width = static_cast<uint16_t>((data[0] % 24 + 1) * 16), height = static_cast<uint16_t>((data[1] % 16 + 1) * 16);
    codecs::Picture planes;
    std::string error;
    const auto check = [&](bool decoded) {
        if (decoded) {
            if (planes.y.size() != size_t{width} * height || planes.cb.size() != size_t{width / 2u} * (height / 2u)) std::abort();
            (void)codecs::console_rgb(planes);
            (void)codecs::console_rgb15(planes);
        } else if (error.empty()) {
            std::abort();
        }
        error.clear();
    };
    check(codecs::decode_mdec({data + 2, size - 2}, width, height, planes, error));
    std::vector<uint16_t> words((size - 2) / 2);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(data[2 + 2 * i] | data[3 + 2 * i] << 8);
    check(codecs::decode_mdec_halfwords(words, width, height, planes, error));
    return 0;
}
