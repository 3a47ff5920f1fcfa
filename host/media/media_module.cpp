// The media module's doors, found by name when quorvex first needs them.
#include "../frame_pictures.h"
#include "../media_module.h"
#include "av.h"
#include "mdec_decoder.h"
#include "media_sinks.h"

namespace quorvex {

bool file_carries_quorvex_comment(const std::filesystem::path& path, std::string& why) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
        why = "is not a media file quorvex can read";
        return false;
    }
    const AVDictionaryEntry* comment = av_dict_get(input->metadata, "comment", nullptr, 0);
    const bool ours = comment && std::string(comment->value).rfind(kQuorvexCommentPrefix, 0) == 0;
    avformat_close_input(&input);
    if (!ours) why = "was not written by quorvex";
    return ours;
}

namespace {

// Frames by either decoder, and RGB by any chroma placement (swscale smooths it).
class ModulePictures : public FramePictures {
public:
    explicit ModulePictures(const PictureDecoding& how)
        : decoder_(how.libavcodec ? MdecDecoding::kLibavcodec : MdecDecoding::kConsole), chroma_(how.chroma) {}
    bool decode(std::span<const uint8_t> frame, uint32_t width, uint32_t height, codecs::Picture& planes,
                std::string& why) override {
        return decoder_.decode_planes(frame.data(), frame.size(), width, height, planes, why);
    }
    void rgb(const codecs::Picture& planes, std::vector<uint8_t>& rgb) override { picture_rgb(planes, chroma_, rgb); }

private:
    MdecDecoder decoder_;
    std::string chroma_;
};

}  // namespace
}  // namespace quorvex

#define QUORVEX_MEDIA_EXPORT extern "C" __attribute__((visibility("default")))

QUORVEX_MEDIA_EXPORT quorvex::UnitSink* quorvex_media_file_sink(const quorvex::StreamContext& context, const std::string& path,
                                                                const quorvex::OutputOptions& options, std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    return quorvex::new_media_file_sink(context, path, options, error);
}

QUORVEX_MEDIA_EXPORT quorvex::FramePictures* quorvex_frame_pictures(const quorvex::PictureDecoding& how) {
    av_log_set_level(AV_LOG_QUIET);
    return new quorvex::ModulePictures(how);
}

