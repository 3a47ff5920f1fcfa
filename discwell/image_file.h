// One file of a disc image, read by offset, optionally through a read-only memory mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace discwell {

class ImageFile {
public:
    // Opens `path`; with `map`, maps it read-only when the platform allows. On failure returns null
    // and sets `error` to the system's reason.
    static std::unique_ptr<ImageFile> open(const std::string& path, bool map, std::string& error);
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    uint64_t size() const { return size_; }
    // The whole file, when mapped; else null.
    const uint8_t* mapping() const { return mapping_; }
    // Reads exactly `bytes` at `offset`; false on a short read or an error.
    bool read(uint64_t offset, size_t bytes, uint8_t* out) const;
    // Tells the system that the mapped bytes of this range are done with, so that they stop
    // counting towards the process's memory. They read back the same if touched again.
    void release(uint64_t offset, uint64_t bytes) const;

private:
    ImageFile() = default;
    intptr_t handle_ = -1;
    uint64_t size_ = 0;
    const uint8_t* mapping_ = nullptr;
#if defined(_WIN32)
    intptr_t mapping_handle_ = 0;
#endif
};

}  // namespace discwell
