// How an image is recognised: by its first bytes, whatever its name, with the CUE sheet and the
// CloneCD control file (text) known by their contents too.
#include <algorithm>
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

enum class Kind { kChd, kEcm, kPbp, kCloneCd, kCloneCdData, kRefused, kCue, kRaw };

// What an image is, from its name and first bytes; `refusal` says what a refused one is.
Kind identify(const std::string& path, const uint8_t* head, size_t n, const char*& refusal) {
    if (starts_with(head, n, "MComprHD", 8)) return Kind::kChd;
    if (starts_with(head, n, "ECM", 4)) return Kind::kEcm;
    if (starts_with(head, n, "\0PBP", 4)) return Kind::kPbp;
    if (starts_with(head, n, "[CloneCD]", 9) || ends_with_ci(path, ".ccd")) return Kind::kCloneCd;
    if (ends_with_ci(path, ".img") && exists(path.substr(0, path.size() - 4) + ".ccd")) return Kind::kCloneCdData;
    if ((refusal = unknown_compressed(head, n))) return Kind::kRefused;
    if (ends_with_ci(path, ".cue") || looks_like_cue(head, n)) return Kind::kCue;
    return Kind::kRaw;
}

// The first bytes of a file, with the file's size.
bool read_head(const std::string& path, uint8_t (&head)[64], size_t& n, std::string& error) {
    std::string reason;
    auto file = ImageFile::open(path, false, reason);
    if (!file) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    n = static_cast<size_t>(std::min<uint64_t>(file->size(), sizeof head));
    if (n && !file->read(0, n, head, &reason)) {
        error = path + ": cannot read: " + reason;
        return false;
    }
    return true;
}

std::string without_extension(const std::string& path) {
    const size_t dot = path.find_last_of('.'), slash = path.find_last_of("/\\");
    return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path : path.substr(0, dot);
}

}  // namespace

std::unique_ptr<Disc> Disc::open_image(const std::string& path, DwIoMode io, std::string& error) {
    const bool map = io == DW_IO_MMAP;
    uint8_t head[64] = {};
    size_t n = 0;
    if (!read_head(path, head, n, error)) return nullptr;
    std::unique_ptr<Disc> disc(new Disc);
    const char* refusal = nullptr;
    bool ok = false;
    switch (identify(path, head, n, refusal)) {
        case Kind::kChd: ok = open_chd_image(path, *disc, error); break;
        case Kind::kEcm: ok = open_ecm_image(path, *disc, error); break;
        case Kind::kPbp: ok = open_pbp_image(path, *disc, error); break;
        case Kind::kCloneCd: ok = open_clonecd_image(path, map, *disc, error); break;
        case Kind::kCloneCdData: ok = open_clonecd_image(without_extension(path) + ".ccd", map, *disc, error); break;
        case Kind::kRefused:
            error = path + ": " + refusal + "; quorvex reads BIN/CUE, CHD, ECM, PBP and CloneCD images";
            return nullptr;
        case Kind::kCue: ok = open_cue_image(path, map, *disc, error); break;
        case Kind::kRaw: ok = open_raw_image(path, map, *disc, error); break;
    }
    if (!ok) return nullptr;
    return disc;
}

ImageProbe probe_image(const std::string& path) {
    ImageProbe probe;
    uint8_t head[64] = {};
    size_t n = 0;
    std::string error;
    if (!read_head(path, head, n, error)) return probe;
    const char* refusal = nullptr;
    switch (identify(path, head, n, refusal)) {
        case Kind::kChd:
        case Kind::kEcm:
        case Kind::kPbp:
        case Kind::kCloneCdData:  // its .ccd is the disc
            probe.verdict = DW_PROBE_IMAGE;
            break;
        case Kind::kCloneCd:
            probe.verdict = DW_PROBE_IMAGE;
            for (const char* ext : {".img", ".sub"}) {
                const std::string part = without_extension(path) + ext;
                if (exists(part)) {
                    probe.parts.push_back(part);
                } else if (std::string(ext) == ".img") {
                    probe.verdict = DW_PROBE_UNREADABLE;  // its sectors are missing
                }
            }
            break;
        case Kind::kRefused:
            // Archives may hold anything; only compressed disc images are discs refused.
            probe.verdict = std::strncmp(refusal, "a compressed image", 18) == 0 ? DW_PROBE_UNREADABLE : DW_PROBE_NOT_IMAGE;
            break;
        case Kind::kCue: {
            bool all_there = false;
            probe.parts = cue_track_files(path, &all_there);
            probe.verdict = all_there ? DW_PROBE_IMAGE : DW_PROBE_UNREADABLE;  // a track file is missing
            break;
        }
        case Kind::kRaw: {
            std::string reason;
            auto file = ImageFile::open(path, false, reason);
            if (file && has_sync(*file, 0)) {
                probe.verdict = DW_PROBE_IMAGE;
            } else if (file && looks_cooked(*file)) {
                probe.verdict = DW_PROBE_UNREADABLE;
            }
            break;
        }
    }
    return probe;
}

}  // namespace discwell
