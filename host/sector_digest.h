// What a stream was read from: the SHA-256 of the raw 2352-byte sectors of its range, in order.
// While a stream is written, the sectors its plug-in reads are taken as they come (no pass of
// the host's own); what the plug-in did not read is read at the end. A later run reads the range
// again to see whether the image still holds the same sectors (a better dump, say).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "checksum.h"

namespace quorvex {

// The digest of sectors `first` to `first + count - 1`, those past the disc's end left out.
bool digest_range(uint32_t disc, uint32_t first, uint32_t count, std::string& digest, std::string& error);

// Takes the sectors plug-ins read of `disc` on this thread while it lives.
class RangeDigest {
public:
    RangeDigest(uint32_t disc, uint32_t first, uint32_t count);
    ~RangeDigest();
    RangeDigest(const RangeDigest&) = delete;
    RangeDigest& operator=(const RangeDigest&) = delete;

    // Stops taking sectors, reads those still missing, and gives the digest.
    bool finish(std::string& digest, std::string& error);

private:
    static void take(void* self, uint32_t lba, const uint8_t* sector);

    uint32_t disc_, first_, end_;
    uint32_t next_;       // the sectors before it are in the digest
    bool broken_ = false;  // a read skipped ahead: the range is read whole at the end
    bool tapping_ = true;
    Sha256 sha_;
};

}  // namespace quorvex
