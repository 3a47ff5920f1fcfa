#include "paths.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace quorvex {

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string input_problem(const std::string& path, bool folder_ok) {
    std::error_code ec;
    const fs::file_status st = fs::status(native_path(path), ec);
    switch (st.type()) {
        case fs::file_type::regular: return {};
        case fs::file_type::directory: return folder_ok ? std::string() : "is a folder, not a file";
        case fs::file_type::not_found: return "no such file";
        case fs::file_type::fifo: return "is a named pipe, not a file (quorvex reads files it can go back over)";
        case fs::file_type::character:
        case fs::file_type::block: return "is a device, not a file";
        case fs::file_type::socket: return "is a socket, not a file";
        default: return ec ? ec.message() : "is not a file";
    }
}

fs::path link_below(const fs::path& root, const fs::path& path) {
    const fs::path relative = path.lexically_normal().lexically_relative(root.lexically_normal());
    fs::path at = root;
    for (const fs::path& part : relative) {
        if (part == "." || part.empty()) continue;
        at /= part;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(at, ec);
        if (fs::is_symlink(status)) return at;
        if (ec || !fs::exists(status)) break;  // nothing further down exists yet
    }
    return {};
}

std::string printable(const std::string& text) {
    const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
    if (std::none_of(text.begin(), text.end(), control) && text.find('"') == std::string::npos) return text;
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (control(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

fs::path native_path(const std::string& utf8) {
#if defined(_WIN32)
    return fs::path(wide_path(utf8));
#else
    return fs::path(utf8);
#endif
}

std::string utf8_path(const fs::path& path) {
#if defined(_WIN32)
    const std::wstring w = path.wstring();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
#else
    return path.string();
#endif
}

#if defined(_WIN32)
std::wstring wide_path(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}
#endif

std::FILE* open_file(const fs::path& path, const char* mode) {
#if defined(_WIN32)
    const std::string m(mode);
    return _wfopen(path.wstring().c_str(), std::wstring(m.begin(), m.end()).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

fs::path program_directory() {
#if defined(_WIN32)
    wchar_t buffer[32768] = {};
    GetModuleFileNameW(nullptr, buffer, 32768);
    return fs::path(buffer).parent_path();
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path();
#endif
}

}  // namespace quorvex
