#include "sector_digest.h"

#include <algorithm>

#include "../discwell/discwell.h"

namespace quorvex {
namespace {

constexpr size_t kSector = 2352;

uint32_t range_end(uint32_t disc, uint32_t first, uint32_t count) {
    const uint64_t end = std::min<uint64_t>(uint64_t{first} + count, DwSectorCount(disc));
    return static_cast<uint32_t>(std::max<uint64_t>(end, first));
}

// Adds sectors `from` to `end - 1` to `sha`, read in order.
bool add_sectors(uint32_t disc, uint32_t from, uint32_t end, Sha256& sha, std::string& error) {
    if (from >= end) return true;
    DwScan* scan = DwScanOpen(disc, from, end - from);
    const uint8_t* run = nullptr;
    for (uint32_t n; (n = DwScanNext(scan, &run)) > 0;) sha.add(run, n * kSector);
    const char* why = DwScanError(scan);
    if (why) error = why;
    DwScanClose(scan);
    return !why;
}

}  // namespace

bool digest_range(uint32_t disc, uint32_t first, uint32_t count, std::string& digest, std::string& error) {
    Sha256 sha;
    if (!add_sectors(disc, first, range_end(disc, first, count), sha, error)) return false;
    digest = sha.hex();
    return true;
}

RangeDigest::RangeDigest(uint32_t disc, uint32_t first, uint32_t count)
    : disc_(disc), first_(first), end_(range_end(disc, first, count)), next_(first) {
    DwTapReads(disc_, &RangeDigest::take, this);
}

RangeDigest::~RangeDigest() {
    if (tapping_) DwTapReads(disc_, nullptr, nullptr);
}

void RangeDigest::take(void* self, uint32_t lba, const uint8_t* sector) {
    auto& d = *static_cast<RangeDigest*>(self);
    if (d.broken_ || lba < d.next_ || lba >= d.end_) return;  // read again, or outside the range
    if (lba > d.next_) {
        d.broken_ = true;
        return;
    }
    d.sha_.add(sector, kSector);
    ++d.next_;
}

bool RangeDigest::finish(std::string& digest, std::string& error) {
    DwTapReads(disc_, nullptr, nullptr);
    tapping_ = false;
    if (broken_) return digest_range(disc_, first_, end_ - first_, digest, error);
    if (!add_sectors(disc_, next_, end_, sha_, error)) return false;
    digest = sha_.hex();
    return true;
}

}  // namespace quorvex
