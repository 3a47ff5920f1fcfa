// Media output is a module of its own, libquorvex_media, loaded beside the sector library the
// first time a media file or a picture is asked for.
#include <dlfcn.h>

#include <filesystem>

#include "media_output.h"
#include "media_paths.h"
#include "plugin_loader.h"

namespace quorvex {
namespace {

using MediaFileSinkFn = UnitSink* (*)(const ExtractRequest&, const std::string&, const MediaOptions&, bool, std::string&);
using PictureSinkFn = UnitSink* (*)(const ExtractRequest&, const std::string&, bool, std::string&);

struct MediaModule {
    MediaFileSinkFn media_file_sink = nullptr;
    PictureSinkFn picture_sink = nullptr;
    std::string problem;

    MediaModule() {
        const auto path = std::filesystem::path(default_plugin_directory()).parent_path() / "lib" / "libquorvex_media.so";
        void* module = dlopen(path.string().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            problem = "media output is not available: " + std::string(dlerror());
            return;
        }
        media_file_sink = reinterpret_cast<MediaFileSinkFn>(dlsym(module, "quorvex_media_file_sink"));
        picture_sink = reinterpret_cast<PictureSinkFn>(dlsym(module, "quorvex_picture_sink"));
        if (!media_file_sink || !picture_sink) problem = path.string() + ": not quorvex's media module";
    }
};

const MediaModule& media_module() {
    static const MediaModule module;
    return module;
}

}  // namespace

bool media_output_supported() { return media_module().problem.empty(); }

bool is_media_path(const std::string& path) { return has_media_extension(path); }

std::unique_ptr<UnitSink> make_media_file_sink(const ExtractRequest& request, const std::string& path,
                                               const MediaOptions& options, bool counts_skips, std::string& error) {
    if (!media_output_supported()) {
        error = path + ": " + media_module().problem;
        return nullptr;
    }
    return std::unique_ptr<UnitSink>(media_module().media_file_sink(request, path, options, counts_skips, error));
}

std::unique_ptr<UnitSink> make_picture_sink(const ExtractRequest& request, const std::string& directory,
                                            bool counts_skips, std::string& error) {
    if (!media_output_supported()) {
        error = directory + ": " + media_module().problem;
        return nullptr;
    }
    return std::unique_ptr<UnitSink>(media_module().picture_sink(request, directory, counts_skips, error));
}

}  // namespace quorvex
