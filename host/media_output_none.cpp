// Media output in a build without FFmpeg: none.
#include "media_output.h"

namespace quorvex {

bool media_output_supported() { return false; }
bool is_media_path(const std::string&) { return false; }

std::unique_ptr<UnitSink> make_media_file_sink(const ExtractRequest&, const std::string& path, const MediaOptions&,
                                               bool, std::string& error) {
    error = path + ": this build of quorvex writes no media files (it was built without FFmpeg)";
    return nullptr;
}

std::unique_ptr<UnitSink> make_picture_sink(const ExtractRequest&, const std::string& directory, bool,
                                            std::string& error) {
    error = directory + ": this build of quorvex writes no pictures (it was built without FFmpeg)";
    return nullptr;
}

}  // namespace quorvex
