#include "output_formats.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace quorvex {

std::string extension_of(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

const OutputFormat* output_format_of(const std::string& path) {
    const std::string ext = extension_of(path);
    for (const OutputFormat& f : kOutputFormats) {
        if (is_media_file(f) && f.extension == ext) return &f;
    }
    return nullptr;
}

const OutputFormat* output_format_named(std::string_view name) {
    for (const OutputFormat& f : kOutputFormats) {
        if (is_media_file(f) && f.name == name) return &f;
    }
    return nullptr;
}

const OutputFormat& output_format(std::string_view name) {
    for (const OutputFormat& f : kOutputFormats) {
        if (f.name == name) return f;
    }
    std::abort();  // a name the host itself chose, never one a user gave
}

const OutputFormat& rip_format(bool video, bool media, std::string_view movies) {
    if (!media) return output_format(video ? "units" : "wav");
    return output_format(video ? movies : "flac");
}

std::string ripped_file_name(const std::string& stream_name, bool video, bool media, std::string_view movies) {
    return stream_name + std::string(rip_format(video, media, movies).extension);
}

const OutputFormat& preview_format(bool video) { return output_format(video ? "mp4" : "flac"); }

bool looks_like_unknown_file(const std::string& path) {
    if (path.empty() || path.back() == '/' || path.back() == '\\' || output_format_of(path)) return false;
    const std::string ext = extension_of(path);
    if (ext.size() < 2 || ext.size() > 5) return false;
    for (size_t i = 1; i < ext.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(ext[i]))) return false;
    }
    return true;
}

std::string output_extensions_text() {
    std::vector<std::string_view> extensions;
    for (const OutputFormat& f : kOutputFormats) {
        if (is_media_file(f)) extensions.push_back(f.extension);
    }
    std::string text;
    for (size_t i = 0; i < extensions.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == extensions.size() ? " and " : ", ") + std::string(extensions[i]);
    }
    return text;
}

}  // namespace quorvex
