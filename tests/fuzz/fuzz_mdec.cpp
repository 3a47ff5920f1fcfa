// The console's MDEC decoder on any bytes: two bytes give the picture's size in macroblocks, the
// rest is the frame. It must decode or say why, never read past the frame (AddressSanitizer) nor
// leave planes of another size.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codecs/mdec_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const auto width = static_cast<uint16_t>((data[0] % 24 + 1) * 16), height = static_cast<uint16_t>((data[1] % 16 + 1) * 16);
    codecs::Picture planes;
    std::string error;
    if (codecs::decode_mdec({data + 2, size - 2}, width, height, planes, error)) {
        if (planes.y.size() != size_t{width} * height || planes.cb.size() != size_t{width / 2u} * (height / 2u)) std::abort();
        (void)codecs::console_rgb(planes);
    } else if (error.empty()) {
        std::abort();
    }
    return 0;
}
