// The five Cd operations that plug-ins import: a reader over a sector range that hands out locked
// copies of raw sectors in ascending order.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "disc.h"

using discwell::Disc;
using discwell::kSectorBytes;

struct SectorReader {
    struct Buffer {
        std::unique_ptr<uint8_t[]> bytes;
        bool locked = false;
    };

    std::shared_ptr<Disc> disc;
    uint32_t first = 0;
    uint32_t count = 0;
    uint32_t next = 0;  // offset of the next sector to deliver
    std::vector<Buffer> buffers;
    uint32_t locked = 0;
    // Sectors read ahead from an image that is not in memory.
    std::vector<uint8_t> ahead;
    uint32_t ahead_first = 0;
    uint32_t ahead_count = 0;
    // Offsets before this one were read and handed back to the system (mapped images).
    uint32_t released = 0;
};

namespace {

// Far more than the nine buffers a plug-in may hold at once.
constexpr size_t kMaxBuffers = 64;
constexpr uint32_t kReadAhead = 32;
// A reader lets go of the mapped pages it has passed in steps of this many sectors, keeping the
// last few: reading a long stream then takes no more memory than a short one.
constexpr uint32_t kReleaseStep = 1024;
constexpr uint32_t kReleaseKeep = 64;

uint8_t* free_buffer(SectorReader& r) {
    for (auto& b : r.buffers) {
        if (!b.locked) return b.bytes.get();
    }
    if (r.buffers.size() >= kMaxBuffers) return nullptr;
    r.buffers.push_back({std::make_unique<uint8_t[]>(kSectorBytes), false});
    return r.buffers.back().bytes.get();
}

void set_locked(SectorReader& r, uint8_t* bytes, bool locked) {
    for (auto& b : r.buffers) {
        if (b.bytes.get() == bytes) b.locked = locked;
    }
}

bool fetch(SectorReader& r, uint32_t lba, uint8_t* out) {
    uint32_t run = 0;
    if (const uint8_t* in_memory = r.disc->direct(lba, run)) {
        std::memcpy(out, in_memory, kSectorBytes);
        return true;
    }
    if (lba < r.ahead_first || lba - r.ahead_first >= r.ahead_count) {
        const uint32_t n = std::min(kReadAhead, r.first + r.count - lba);
        r.ahead.resize(static_cast<size_t>(kReadAhead) * kSectorBytes);
        r.ahead_count = 0;
        if (!r.disc->read(lba, n, r.ahead.data())) {
            // Deliver what can be read: the sector alone.
            if (!r.disc->read(lba, 1, out)) return false;
            return true;
        }
        r.ahead_first = lba;
        r.ahead_count = n;
    }
    std::memcpy(out, r.ahead.data() + static_cast<size_t>(lba - r.ahead_first) * kSectorBytes, kSectorBytes);
    return true;
}

// Counts an operation against its fault counter; true when this one is to fail.
bool injected_failure(int32_t& before_failure) {
    if (before_failure < 0) return false;
    if (before_failure > 0) {
        --before_failure;
        return false;
    }
    before_failure = -1;
    return true;
}

}  // namespace

extern "C" {

DISCWELL_API SectorReader* CD_CALL CdReadOpen(uint32_t disc, int32_t /*reserved*/, uint32_t first_sector,
                                              uint32_t sector_count, int32_t buffer_setting) {
    auto found = discwell::find_disc(disc);
    if (!found || injected_failure(found->faults.opens_before_failure)) return nullptr;
    auto* reader = new (std::nothrow) SectorReader;
    if (!reader) return nullptr;
    reader->disc = std::move(found);
    reader->first = first_sector;
    reader->count = sector_count;
    reader->disc->stats.readers_open++;
    reader->disc->stats.readers_opened++;
    reader->disc->stats.last_buffer_setting = buffer_setting;
    return reader;
}

DISCWELL_API uint8_t* CD_CALL CdReadSector(SectorReader* reader, int32_t /*reserved*/) {
    if (!reader || reader->next >= reader->count) return nullptr;
    Disc& disc = *reader->disc;
    DwFaults& faults = disc.faults;
    if (faults.reads_before_failure == 0) {
        if (--faults.read_failures <= 0) faults.reads_before_failure = -1;
        return nullptr;
    }
    if (faults.reads_before_failure > 0) --faults.reads_before_failure;

    const uint32_t lba = reader->first + reader->next;
    if (lba < reader->first) return nullptr;  // the range wraps past the last LBA
    uint8_t* buffer = free_buffer(*reader);
    if (!buffer || !fetch(*reader, lba, buffer)) return nullptr;
    set_locked(*reader, buffer, true);
    if (reader->next >= reader->released + kReleaseStep + kReleaseKeep) {
        const uint32_t upto = reader->next - kReleaseKeep;
        disc.release(reader->first + reader->released, upto - reader->released);
        reader->released = upto;
    }
    reader->next++;
    reader->locked++;
    disc.stats.buffers_locked++;
    disc.stats.sectors_read++;
    disc.stats.max_buffers_held = std::max(disc.stats.max_buffers_held, reader->locked);
    return buffer;
}

DISCWELL_API int32_t CD_CALL CdUnlockReadBuffer(SectorReader* reader, uint8_t* buffer) {
    if (!reader || !buffer) return 0;
    for (auto& b : reader->buffers) {
        if (b.bytes.get() == buffer && b.locked) {
            b.locked = false;
            reader->locked--;
            reader->disc->stats.buffers_locked--;
            return 1;
        }
    }
    return 0;
}

DISCWELL_API int32_t CD_CALL CdSetReadPointer(SectorReader* reader, uint32_t offset, int32_t /*reserved*/) {
    if (!reader) return -1;
    reader->disc->stats.last_read_pointer = offset;
    if (offset > reader->count || injected_failure(reader->disc->faults.seeks_before_failure)) return -1;
    reader->next = offset;
    reader->released = std::min(reader->released, offset);
    return 0;
}

DISCWELL_API int32_t CD_CALL CdReadClose(SectorReader* reader) {
    if (!reader) return 0;
    DwStats& stats = reader->disc->stats;
    stats.buffers_locked -= reader->locked;
    stats.readers_open--;
    // The copies it handed out are its own; the mapped pages it read are done with.
    if (reader->next > reader->released) {
        reader->disc->release(reader->first + reader->released, reader->next - reader->released);
    }
    delete reader;
    return 1;
}

}  // extern "C"
