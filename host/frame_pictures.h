// How an MDEC frame becomes a picture: its planes as the console's decoder leaves them (or as
// libavcodec's decoder does, for comparison), then RGB with the chroma brought to full size as the
// console does (each sample covering its 2x2 pixels) or smoothed for viewing.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "codecs/mdec.h"

namespace quorvex {

struct PictureDecoding {
    bool libavcodec = false;       // libavcodec's decoder, not the console's
    std::string chroma = "console";  // console, bilinear or bicubic
};

class FramePictures {
public:
    virtual ~FramePictures() = default;
    // The full-range 4:2:0 planes of a `width` x `height` frame, or false with `why`.
    virtual bool decode(std::span<const uint8_t> frame, uint32_t width, uint32_t height, codecs::Picture& planes,
                        std::string& why) = 0;
    // RGB, 3 bytes a pixel, rows of `planes.width`.
    virtual void rgb(const codecs::Picture& planes, std::vector<uint8_t>& rgb) = 0;
};

// One decoder (not shared between threads), or null with `error` saying why this build cannot
// decode as asked: the console's way is built in, the others need the media module.
std::unique_ptr<FramePictures> make_frame_pictures(const PictureDecoding& how, std::string& error);

}  // namespace quorvex
