// One file of a disc image, read by offset, optionally through a read-only memory mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "discwell.h"

namespace discwell {

class ImageFile {
public:
    // Opens `path` (UTF-8), which must be a regular file; with `map`, maps it read-only where the
    // platform allows. On failure returns null and sets `error` to the reason ("not a regular
    // file", or the system's own words).
    static std::unique_ptr<ImageFile> open(const std::string& path, bool map, std::string& error);
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    uint64_t size() const { return size_; }
    bool mapped() const { return mapping_ != nullptr; }
    // Reads exactly `bytes` at `offset`. On failure returns false and, when asked, says why: the
    // system's reason for a failed read, or that the file ended early (it shrank while open).
    bool read(uint64_t offset, size_t bytes, uint8_t* out, std::string* why = nullptr) const;
    // Tells the system that the mapped bytes of this range are done with, so that they stop
    // counting towards the process's memory. They read back the same if touched again.
    void release(uint64_t offset, uint64_t bytes) const;

private:
    ImageFile() = default;
    intptr_t handle_ = -1;
    uint64_t size_ = 0;
    const uint8_t* mapping_ = nullptr;
};

// A small text file read whole (a CUE sheet): refuses anything but a regular file, and a file
// larger than `limit` bytes before reading any of it. DW_OK, DW_ERROR_CANNOT_OPEN,
// DW_ERROR_TOO_LARGE or DW_ERROR_READ, with `error` saying why.
DwError read_small_file(const std::string& path, size_t limit, std::string& text, std::string& error);

}  // namespace discwell
