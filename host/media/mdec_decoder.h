// MDEC frames of whatever size each one declares, decoded by libavcodec.
#pragma once

#include <string>

#include "../../contract/plugin_records.h"
#include "av.h"

namespace quorvex {

class MdecDecoder {
public:
    // The picture of `unit`, valid until the next call, or null with `why` set.
    AVFrame* decode(const FrameBuffer& unit, std::string& why);
    // `size` bytes of MDEC data of a `width` x `height` picture.
    AVFrame* decode(const uint8_t* data, size_t size, uint32_t width, uint32_t height, std::string& why);

private:
    av::Codec context_;
    av::Packet packet_;
    av::Frame picture_;
};

}  // namespace quorvex
