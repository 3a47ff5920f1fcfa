// MDEC frames of whatever size each one declares, decoded as the console decodes them (the
// default: codecs/mdec_decoder), or by libavcodec's decoder, kept for comparison. Either way the
// picture comes out as full-range 4:2:0 planes.
#pragma once

#include <string>

#include "../../codecs/mdec.h"
#include "../../contract/plugin_records.h"
#include "av.h"

namespace quorvex {

enum class MdecDecoding { kConsole, kLibavcodec };

class MdecDecoder {
public:
    explicit MdecDecoder(MdecDecoding how = MdecDecoding::kConsole) : how_(how) {}
    // The picture of `unit`, valid until the next call, or null with `why` set.
    AVFrame* decode(const FrameBuffer& unit, std::string& why);
    // `size` bytes of MDEC data of a `width` x `height` picture.
    AVFrame* decode(const uint8_t* data, size_t size, uint32_t width, uint32_t height, std::string& why);
    // The same picture as planes of its own.
    bool decode_planes(const uint8_t* data, size_t size, uint32_t width, uint32_t height, codecs::Picture& planes,
                       std::string& why);

private:
    AVFrame* decode_as_console(const uint8_t* data, size_t size, uint32_t width, uint32_t height, std::string& why);

    MdecDecoding how_;
    av::Codec context_;
    av::Packet packet_;
    av::Frame picture_;
    codecs::Picture planes_;
};

// RGB (3 bytes a pixel, rows of `planes.width`) of a 4:2:0 picture, its chroma brought to full
// size as `chroma` says: "console" (each sample covering its 2x2 pixels, the console's own
// conversion), "bilinear" or "bicubic" (smoother, for viewing).
void picture_rgb(const codecs::Picture& planes, const std::string& chroma, std::vector<uint8_t>& rgb);

}  // namespace quorvex
