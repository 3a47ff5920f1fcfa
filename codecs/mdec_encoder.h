// An MDEC encoder: pictures into the frame data of STR movies (mdec.h has the format).
#pragma once

#include <cstdint>
#include <vector>

#include "mdec.h"

namespace codecs {

// A picture coded at the scale `qscale` (1 to 63) in bitstream `version` (2 or 3).
std::vector<uint8_t> encode_mdec(const Picture& picture, uint16_t qscale, uint16_t version);

// The finest scale from 1 up whose frame fits in `max_bytes`.
std::vector<uint8_t> encode_mdec_within(const Picture& picture, uint16_t version, uint32_t max_bytes);

}  // namespace codecs
