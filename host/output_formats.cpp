#include "output_formats.h"

#include <cctype>
#include <filesystem>

namespace quorvex {

std::string extension_of(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

const OutputFormat* output_format_of(const std::string& path) {
    const std::string ext = extension_of(path);
    for (const OutputFormat& f : kOutputFormats) {
        if (f.extension == ext) return &f;
    }
    return nullptr;
}

const OutputFormat* output_format_named(std::string_view name) {
    for (const OutputFormat& f : kOutputFormats) {
        if (f.name == name) return &f;
    }
    return nullptr;
}

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
    std::string text;
    const size_t n = std::size(kOutputFormats);
    for (size_t i = 0; i < n; ++i) {
        text += (i == 0 ? "" : i + 1 == n ? " and " : ", ") + std::string(kOutputFormats[i].extension);
    }
    return text;
}

}  // namespace quorvex
