// Media output is a module of its own, libquorvex_media, loaded beside the sector library the
// first time a media file or a picture is asked for.
#include <dlfcn.h>

#include "media_output.h"
#include "paths.h"
#include "replace/replace_media.h"

namespace quorvex {
namespace {

using MediaFileSinkFn = UnitSink* (*)(const StreamContext&, const std::string&, const OutputOptions&, std::string&);
using PictureSinkFn = UnitSink* (*)(const StreamContext&, const std::string&, const OutputOptions&, std::string&);
using OwnedFn = bool (*)(const std::filesystem::path&, std::string&);
using ReplaceMediaFn = ReplaceMedia* (*)();

struct MediaModule {
    MediaFileSinkFn media_file_sink = nullptr;
    PictureSinkFn picture_sink = nullptr;
    OwnedFn owned = nullptr;
    ReplaceMediaFn replace_media = nullptr;
    std::string problem;

    MediaModule() {
        const auto path = program_directory().parent_path() / "lib" / "libquorvex_media.so";
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            problem = "media output is not available (" + std::string(dlerror()) +
                      "); it needs FFmpeg's libraries and quorvex's media module, lib/libquorvex_media.so";
            return;
        }
        media_file_sink = reinterpret_cast<MediaFileSinkFn>(dlsym(module, "quorvex_media_file_sink"));
        picture_sink = reinterpret_cast<PictureSinkFn>(dlsym(module, "quorvex_picture_sink"));
        owned = reinterpret_cast<OwnedFn>(dlsym(module, "quorvex_media_owned"));
        replace_media = reinterpret_cast<ReplaceMediaFn>(dlsym(module, "quorvex_replace_media"));
        if (!media_file_sink || !picture_sink || !owned || !replace_media) problem = path.string() + ": not quorvex's media module";
    }
};

const MediaModule& media_module() {
    static const MediaModule module;
    return module;
}

}  // namespace

bool media_output_available(std::string* why) {
    if (why) *why = media_module().problem;
    return media_module().problem.empty();
}

std::unique_ptr<UnitSink> make_media_file_sink(const StreamContext& context, const std::string& path,
                                               const OutputOptions& options, std::string& error) {
    if (!media_output_available()) {
        error = path + ": " + media_module().problem;
        return nullptr;
    }
    return std::unique_ptr<UnitSink>(media_module().media_file_sink(context, path, options, error));
}

std::unique_ptr<UnitSink> make_picture_sink(const StreamContext& context, const std::string& directory,
                                            const OutputOptions& options, std::string& error) {
    if (!media_output_available()) {
        error = directory + ": " + media_module().problem;
        return nullptr;
    }
    return std::unique_ptr<UnitSink>(media_module().picture_sink(context, directory, options, error));
}

std::unique_ptr<ReplaceMedia> make_replace_media(std::string& error) {
    if (!media_output_available(&error)) return nullptr;
    return std::unique_ptr<ReplaceMedia>(media_module().replace_media());
}

bool media_file_is_quorvex_output(const std::filesystem::path& path, std::string& why) {
    if (!media_output_available(&why)) return false;
    return media_module().owned(path, why);
}

}  // namespace quorvex
