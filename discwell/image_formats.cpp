// How an image is recognised: by its first bytes, whatever its name, with the CUE sheet and the
// CloneCD control file (text) known by their contents too.
#include <cctype>
#include <cstring>

#include "image_formats.h"

namespace discwell {
namespace {

bool starts_with(const uint8_t* head, size_t n, const char* magic, size_t m) { return n >= m && std::memcmp(head, magic, m) == 0; }

bool ends_with_ci(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i]) return false;
    }
    return true;
}

// Archive and compressed-image formats discwell does not read, by their magic.
const char* unknown_compressed(const uint8_t* head, size_t n) {
    if (starts_with(head, n, "PK\x03\x04", 4)) return "a ZIP archive";
    if (starts_with(head, n, "7z\xBC\xAF\x27\x1C", 6)) return "a 7-Zip archive";
    if (starts_with(head, n, "Rar!", 4)) return "a RAR archive";
    if (starts_with(head, n, "\x1F\x8B", 2)) return "a gzip file";
    if (starts_with(head, n, "\xFD" "7zXZ", 6)) return "an xz file";
    if (starts_with(head, n, "CISO", 4) || starts_with(head, n, "ZISO", 4) || starts_with(head, n, "DAX", 3)) {
        return "a compressed image of an unknown kind";
    }
    return nullptr;
}

// A CUE sheet by its first command (after a byte-order mark and blank space).
bool looks_like_cue(const uint8_t* head, size_t n) {
    size_t i = starts_with(head, n, "\xEF\xBB\xBF", 3) ? 3 : 0;
    while (i < n && std::isspace(head[i])) ++i;
    std::string word;
    while (i < n && std::isalpha(head[i])) word += static_cast<char>(std::toupper(head[i++]));
    return word == "FILE" || word == "REM" || word == "CATALOG" || word == "TITLE" || word == "PERFORMER" ||
           word == "CDTEXTFILE";
}

bool exists(const std::string& path) {
    std::string ignored;
    return ImageFile::open(path, false, ignored) != nullptr;
}

}  // namespace

std::unique_ptr<Disc> Disc::open_image(const std::string& path, DwIoMode io, std::string& error) {
    const bool map = io == DW_IO_MMAP;
    std::string reason;
    auto file = ImageFile::open(path, false, reason);
    if (!file) {
        error = path + ": cannot open: " + reason;
        return nullptr;
    }
    uint8_t head[64] = {};
    const size_t n = static_cast<size_t>(std::min<uint64_t>(file->size(), sizeof head));
    if (n && !file->read(0, n, head, &reason)) {
        error = path + ": cannot read: " + reason;
        return nullptr;
    }
    file.reset();
    std::unique_ptr<Disc> disc(new Disc);
    bool ok = false;
    if (starts_with(head, n, "MComprHD", 8)) {
        ok = open_chd_image(path, *disc, error);
    } else if (starts_with(head, n, "ECM", 4)) {
        ok = open_ecm_image(path, *disc, error);
    } else if (starts_with(head, n, "\0PBP", 4)) {
        ok = open_pbp_image(path, *disc, error);
    } else if (starts_with(head, n, "[CloneCD]", 9) || ends_with_ci(path, ".ccd")) {
        ok = open_clonecd_image(path, map, *disc, error);
    } else if (ends_with_ci(path, ".img") && exists(path.substr(0, path.size() - 4) + ".ccd")) {
        ok = open_clonecd_image(path.substr(0, path.size() - 4) + ".ccd", map, *disc, error);
    } else if (const char* kind = unknown_compressed(head, n)) {
        error = path + ": " + kind + "; quorvex reads BIN/CUE, CHD, ECM, PBP and CloneCD images";
        return nullptr;
    } else if (ends_with_ci(path, ".cue") || looks_like_cue(head, n)) {
        ok = open_cue_image(path, map, *disc, error);
    } else {
        ok = open_raw_image(path, map, *disc, error);
    }
    if (!ok) return nullptr;
    return disc;
}

}  // namespace discwell
