// The media module, libquorvex_media, loaded beside the sector library the first time a media
// file is asked for.
#include <dlfcn.h>

#include "media_module.h"
#include "paths.h"

namespace quorvex {
namespace {

struct LoadedModule {
    MediaModule doors;
    std::string problem;

    LoadedModule() {
        const auto path = program_directory().parent_path() / "lib" / "libquorvex_media.so";
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            problem = "media output is not available (" + std::string(dlerror()) +
                      "); it needs FFmpeg's libraries and quorvex's media module, lib/libquorvex_media.so";
            return;
        }
        find(module, "quorvex_media_file_sink", doors.media_file_sink);
        find(module, "quorvex_frame_pictures", doors.frame_pictures);
        find(module, "quorvex_replace_media", doors.replace_media);
        if (!doors.media_file_sink || !doors.frame_pictures || !doors.replace_media) {
            problem = path.string() + ": not quorvex's media module";
        }
    }

    template <class Fn>
    static void find(void* module, const char* name, Fn& door) {
        door = reinterpret_cast<Fn>(dlsym(module, name));
    }
};

}  // namespace

const MediaModule* media_module(std::string* why) {
    static const LoadedModule loaded;
    if (why) *why = loaded.problem;
    return loaded.problem.empty() ? &loaded.doors : nullptr;
}

}  // namespace quorvex
