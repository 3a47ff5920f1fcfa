// Which outputs this build writes, and who writes each: FFmpeg's module where it is, quorvex's
// own code for pictures and WAV everywhere else.
#include "media_output.h"

#include "replace/replace_media.h"

namespace quorvex {

bool media_output_available(std::string* why) { return media_module(why) != nullptr; }

bool output_available(const OutputFormat& format, std::string* why) {
    std::string problem;
    if (format.builtin || media_module(&problem)) return true;
    if (why) {
        std::string builtin;
        for (const OutputFormat& f : kOutputFormats) {
            if (f.builtin && is_media_file(f)) builtin += std::string(builtin.empty() ? "" : ", ") + std::string(f.extension);
        }
        *why = "writes no " + std::string(format.extension) + " files: " + problem + "; it writes " + builtin +
               " sound, PNG pictures of the frames (--frames DIR) and folders of the units as delivered (-o DIR/)";
    }
    return false;
}

std::unique_ptr<UnitSink> make_media_file_sink(const StreamContext& context, const std::string& path,
                                               const OutputOptions& options, std::string& error) {
    const OutputFormat* format = output_format_named(options.format);
    if (const MediaModule* module = media_module(nullptr)) {
        return std::unique_ptr<UnitSink>(module->media_file_sink(context, path, options, error));
    }
    if (format && format->name == "wav") return make_wav_sink(context, path, options, error);
    std::string why = "writes no such media file";
    if (format) output_available(*format, &why);
    error = path + ": this build of quorvex " + why;
    return nullptr;
}

std::unique_ptr<FramePictures> make_module_frame_pictures(const PictureDecoding& how, std::string& error) {
    std::string problem;
    if (const MediaModule* module = media_module(&problem)) return std::unique_ptr<FramePictures>(module->frame_pictures(how));
    error = std::string(how.libavcodec ? "--decoder libavcodec" : "--chroma " + how.chroma) +
            " needs FFmpeg's libraries: " + problem + "; the console's decoding (the default) is built in";
    return nullptr;
}

std::unique_ptr<ReplaceMedia> make_replace_media(std::string& error) {
    const MediaModule* module = media_module(&error);
    return module ? std::unique_ptr<ReplaceMedia>(module->replace_media()) : nullptr;
}

}  // namespace quorvex
