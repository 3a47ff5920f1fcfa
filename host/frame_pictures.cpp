#include "frame_pictures.h"

#include "codecs/mdec_decoder.h"
#include "media_output.h"

namespace quorvex {
namespace {

class ConsolePictures : public FramePictures {
public:
    bool decode(std::span<const uint8_t> frame, uint32_t width, uint32_t height, codecs::Picture& planes,
                std::string& why) override {
        return codecs::decode_mdec(frame, width, height, planes, why);
    }
    void rgb(const codecs::Picture& planes, std::vector<uint8_t>& rgb) override { rgb = codecs::console_rgb(planes); }
};

}  // namespace

std::unique_ptr<FramePictures> make_frame_pictures(const PictureDecoding& how, std::string& error) {
    if (!how.libavcodec && how.chroma == "console") return std::make_unique<ConsolePictures>();
    return make_module_frame_pictures(how, error);
}

}  // namespace quorvex
