// The media files quorvex writes, known by their extensions.
#pragma once

#include <cctype>
#include <filesystem>
#include <string>

namespace quorvex {

inline std::string extension_of(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

inline bool has_media_extension(const std::string& path) {
    const std::string ext = extension_of(path);
    return ext == ".mkv" || ext == ".mp4" || ext == ".avi" || ext == ".wav" || ext == ".flac";
}

}  // namespace quorvex
