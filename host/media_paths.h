// The outputs quorvex writes, known by their names.
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

inline bool is_video_file(const std::string& path) {
    const std::string ext = extension_of(path);
    return ext == ".mkv" || ext == ".mp4" || ext == ".avi";
}

inline bool is_audio_file(const std::string& path) {
    const std::string ext = extension_of(path);
    return ext == ".wav" || ext == ".flac";
}

inline bool is_media_file(const std::string& path) { return is_video_file(path) || is_audio_file(path); }

// A name that looks like a file of a kind quorvex does not write ("movie.mov"): an extension of
// one to four letters or digits on a name that does not end in a slash.
inline bool looks_like_unknown_file(const std::string& path) {
    if (path.empty() || path.back() == '/' || path.back() == '\\' || is_media_file(path)) return false;
    const std::string ext = extension_of(path);
    if (ext.size() < 2 || ext.size() > 5) return false;
    for (size_t i = 1; i < ext.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(ext[i]))) return false;
    }
    return true;
}

}  // namespace quorvex
