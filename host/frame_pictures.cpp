#include "frame_pictures.h"

#include "codecs/mdec_decoder.h"
#include "media_output.h"

namespace quorvex {
namespace {

class ConsolePictures : public FramePictures {
public:
    bool decode(std::span<const uint8_t> frame, uint32_t width, uint32_t height, codecs::Picture& planes,
                std::string& why) override {
        if (width == 0 || height == 0 || width > 4096 || height > 4096) {
            why = "no usable picture size";
            return false;
        }
        return codecs::decode_mdec(frame, static_cast<uint16_t>(width), static_cast<uint16_t>(height), planes, why);
    }
    void rgb(const codecs::Picture& planes, std::vector<uint8_t>& rgb) override { rgb = codecs::console_rgb(planes); }
};

}  // namespace

std::unique_ptr<FramePictures> make_frame_pictures(const PictureDecoding& how, std::string& error) {
    if (!how.libavcodec && how.chroma == "console") return std::make_unique<ConsolePictures>();
    return make_module_frame_pictures(how, error);
}

}  // namespace quorvex
