// The table of image formats, and how an image is recognised: by its first bytes, whatever its
// name, with the CUE sheet and the CloneCD control file (text) known by their contents too.
#include "image_formats.h"

#include "../codecs/byte_order.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace discwell {

// Each driver file defines its entry.
extern const ImageFormat kChdFormat;      // image_chd.cpp
extern const ImageFormat kEcmFormat;      // image_ecm.cpp
extern const ImageFormat kPbpFormat;      // image_pbp.cpp
extern const ImageFormat kCloneCdFormat;  // image_clonecd.cpp
extern const ImageFormat kRefusedFormat;  // image_refused.cpp
extern const ImageFormat kCueFormat;      // image_cue.cpp
extern const ImageFormat kRawFormat;      // image_raw.cpp

namespace {

// Tried in this order: the formats with a magic number first, then the archives and compressed
// images refused, the CUE sheet by name or first word, and raw sectors, which take any file.
constexpr const ImageFormat* kFormats[] = {
    &kChdFormat, &kEcmFormat, &kPbpFormat, &kCloneCdFormat, &kRefusedFormat, &kCueFormat, &kRawFormat,
};

// The first bytes of a file.
bool read_head(const std::string& path, ImageHead& head, std::string& error) {
    std::string reason;
    auto file = ImageFile::open(path, false, reason);
    if (!file) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    head.path = path;
    head.size = static_cast<size_t>(std::min<uint64_t>(file->size(), sizeof head.bytes));
    if (head.size && !file->read(0, head.size, head.bytes, &reason)) {
        error = path + ": cannot read: " + reason;
        return false;
    }
    return true;
}

const ImageFormat& format_of(const ImageHead& head) {
    for (const ImageFormat* format : kFormats) {
        if (format->probe(head)) return *format;
    }
    return kRawFormat;
}

}  // namespace

bool ImageHead::starts_with(std::string_view magic) const {
    return size >= magic.size() && std::memcmp(bytes, magic.data(), magic.size()) == 0;
}

bool ImageHead::named(std::string_view extension) const {
    if (path.size() < extension.size()) return false;
    return std::equal(extension.begin(), extension.end(), path.end() - static_cast<std::ptrdiff_t>(extension.size()),
                      [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                      });
}

ImageProbe whole_file(const ImageHead&) { return ImageProbe{DW_PROBE_IMAGE, {}, nullptr}; }

std::string without_extension(const std::string& path) {
    const size_t dot = path.find_last_of('.'), slash = path.find_last_of("/\\");
    return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path : path.substr(0, dot);
}

bool file_exists(const std::string& path) {
    std::string ignored;
    return ImageFile::open(path, false, ignored) != nullptr;
}

std::unique_ptr<Disc> Disc::open_image(const std::string& path, DwIoMode io, Problem& problem) {
    ImageHead head;
    std::string why;
    if (!read_head(path, head, why)) {
        fail(problem, DW_ERROR_CANNOT_OPEN, why);
        return nullptr;
    }
    std::unique_ptr<Disc> disc(new Disc);
    if (!format_of(head).open(head, io == DW_IO_MMAP, *disc, problem)) return nullptr;
    if (disc->sector_count() > codecs::kMaxDiscSectors) {
        fail(problem, DW_ERROR_MALFORMED,
             path + ": claims " + std::to_string(disc->sector_count()) + " sectors, more than a CD can hold (" +
                 std::to_string(codecs::kMaxDiscSectors) + ", up to 99:59:74)");
        return nullptr;
    }
    return disc;
}

ImageProbe probe_image(const std::string& path) {
    ImageHead head;
    std::string error;
    if (!read_head(path, head, error)) return ImageProbe{};
    const ImageFormat& format = format_of(head);
    ImageProbe probe = format.files(head);
    if (probe.verdict != DW_PROBE_NOT_IMAGE) {
        probe.format = format.name;
        probe.id = format.id;
    } else {
        probe.format = probe.what;
    }
    return probe;
}

}  // namespace discwell
