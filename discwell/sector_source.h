// Where a disc's sectors come from: an image file of raw sectors, a compressed image decoded a
// block at a time, memory. Every source delivers whole raw 2352-byte sectors, numbered from 0.
#pragma once

#include <cstdint>
#include <string>

namespace discwell {

inline constexpr uint32_t kSectorBytes = 2352;

enum class ReadResult {
    kOk,
    kOffDisc,  // a sector past the end: where a range ends, not a failure
    kFailed,   // the image cannot give the sector; `why` says why
};

class SectorSource {
public:
    virtual ~SectorSource() = default;
    virtual uint32_t sector_count() const = 0;
    // Copies `count` sectors from `first` into `out`. Safe to call from several threads.
    virtual ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const = 0;
    // Sectors already in memory, handed out without a copy: a pointer to `first` and in `run` how
    // many follow it; null when they must be read.
    virtual const uint8_t* direct(uint32_t, uint32_t&) const { return nullptr; }
    // Sectors a sequential reader is done with: their memory may go back to the system.
    virtual void release(uint32_t, uint32_t) const {}
};

}  // namespace discwell
