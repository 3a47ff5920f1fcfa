// Media output in a build without FFmpeg: none, and every request for it says so.
#include "media_output.h"
#include "replace/replace_media.h"

namespace quorvex {
namespace {
const char kMissing[] =
    "this build of quorvex writes no media files or pictures: it was built without FFmpeg's libraries "
    "(build it where libavcodec-dev, libavformat-dev, libswscale-dev and libswresample-dev are installed); "
    "it writes the units as delivered into a folder (-o DIR)";
}  // namespace

bool media_output_available(std::string* why) {
    if (why) *why = kMissing;
    return false;
}

std::unique_ptr<UnitSink> make_media_file_sink(const StreamContext&, const std::string& path, const OutputOptions&,
                                               std::string& error) {
    error = path + ": " + kMissing;
    return nullptr;
}

std::unique_ptr<UnitSink> make_picture_sink(const StreamContext&, const std::string& directory, const OutputOptions&,
                                            std::string& error) {
    error = directory + ": " + kMissing;
    return nullptr;
}

std::unique_ptr<ReplaceMedia> make_replace_media(std::string& error) {
    error = kMissing;
    return nullptr;
}

bool media_file_is_quorvex_output(const std::filesystem::path&, std::string& why) {
    why = "cannot be checked without the media module";
    return false;
}

}  // namespace quorvex
