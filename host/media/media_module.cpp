// The media module's doors, found by name when quorvex first needs them.
#include "av.h"
#include "media_sinks.h"

namespace quorvex {

bool file_carries_quorvex_comment(const std::filesystem::path& path, std::string& why) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
        why = "is not a media file quorvex can read";
        return false;
    }
    const AVDictionaryEntry* comment = av_dict_get(input->metadata, "comment", nullptr, 0);
    const bool ours = comment && std::string(comment->value).rfind(av::kCommentPrefix, 0) == 0;
    avformat_close_input(&input);
    if (!ours) why = "was not written by quorvex";
    return ours;
}

}  // namespace quorvex

#define QUORVEX_MEDIA_EXPORT extern "C" __attribute__((visibility("default")))

QUORVEX_MEDIA_EXPORT quorvex::UnitSink* quorvex_media_file_sink(const quorvex::StreamContext& context, const std::string& path,
                                                                const quorvex::OutputOptions& options, std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    return quorvex::new_media_file_sink(context, path, options, error);
}

QUORVEX_MEDIA_EXPORT quorvex::UnitSink* quorvex_picture_sink(const quorvex::StreamContext& context, const std::string& directory,
                                                             const quorvex::OutputOptions& options, std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    return quorvex::new_picture_sink(context, directory, options, error);
}

QUORVEX_MEDIA_EXPORT bool quorvex_media_owned(const std::filesystem::path& path, std::string& why) {
    av_log_set_level(AV_LOG_QUIET);
    return quorvex::file_carries_quorvex_comment(path, why);
}
