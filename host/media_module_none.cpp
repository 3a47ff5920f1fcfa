// A build without FFmpeg: no media module, and every request for one says so.
#include "media_module.h"

namespace quorvex {

const MediaModule* media_module(std::string* why) {
    if (why) {
        *why = "it was built without FFmpeg's libraries (build it where libavcodec-dev, "
               "libavformat-dev, libswscale-dev and libswresample-dev are installed)";
    }
    return nullptr;
}

}  // namespace quorvex
