// The five Cd operations that plug-ins import: a reader over a sector range that hands out locked
// copies of raw sectors in ascending order. A read that fails is remembered for the host (a
// plug-in sees only a null sector) until the same reader reads successfully again.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "disc.h"
#include "read_errors.h"

using discwell::Disc;
using discwell::kSectorBytes;

struct SectorReader {
    struct Buffer {
        std::unique_ptr<uint8_t[]> bytes;
        bool locked = false;
    };

    std::shared_ptr<Disc> disc;
    uint32_t handle = 0;  // the `disc` value it was opened with
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

// The host's view of what plug-ins read on this thread (DwTapReads).
struct Tap {
    uint32_t disc = 0;
    DwSectorTap call = nullptr;
    void* context = nullptr;
};
thread_local Tap t_tap;

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

Disc::Read fetch(SectorReader& r, uint32_t lba, uint8_t* out, std::string& why) {
    uint32_t run = 0;
    if (const uint8_t* in_memory = r.disc->direct(lba, run)) {
        std::memcpy(out, in_memory, kSectorBytes);
        return Disc::Read::kOk;
    }
    if (lba < r.ahead_first || lba - r.ahead_first >= r.ahead_count) {
        const uint32_t n = std::min(kReadAhead, r.first + r.count - lba);
        r.ahead.resize(static_cast<size_t>(kReadAhead) * kSectorBytes);
        r.ahead_count = 0;
        if (r.disc->read(lba, n, r.ahead.data()) != Disc::Read::kOk) {
            // Deliver what can be read: the sector alone, and the reason when it cannot be.
            return r.disc->read(lba, 1, out, &why);
        }
        r.ahead_first = lba;
        r.ahead_count = n;
    }
    std::memcpy(out, r.ahead.data() + static_cast<size_t>(lba - r.ahead_first) * kSectorBytes, kSectorBytes);
    return Disc::Read::kOk;
}

// Counts an operation against its fault counter; true when this one is to fail.
bool injected_failure(Disc& disc, int32_t DwFaults::*counter) {
    if (!disc.faults_armed.load(std::memory_order_relaxed)) return false;
    std::lock_guard lock(disc.faults_mutex);
    int32_t& before_failure = disc.faults.*counter;
    if (before_failure < 0) return false;
    if (before_failure > 0) {
        --before_failure;
        return false;
    }
    before_failure = -1;
    return true;
}

// Injected read failures come `read_failures` in a row once the count runs out.
bool injected_read_failure(Disc& disc) {
    if (!disc.faults_armed.load(std::memory_order_relaxed)) return false;
    std::lock_guard lock(disc.faults_mutex);
    DwFaults& faults = disc.faults;
    if (faults.reads_before_failure == 0) {
        if (--faults.read_failures <= 0) faults.reads_before_failure = -1;
        return true;
    }
    if (faults.reads_before_failure > 0) --faults.reads_before_failure;
    return false;
}

}  // namespace

extern "C" {

DISCWELL_API SectorReader* CD_CALL CdReadOpen(uint32_t disc, int32_t /*reserved*/, uint32_t first_sector,
                                              uint32_t sector_count, int32_t buffer_setting) {
    auto found = discwell::find_disc(disc);
    if (!found || injected_failure(*found, &DwFaults::opens_before_failure)) return nullptr;
    auto* reader = new (std::nothrow) SectorReader;
    if (!reader) return nullptr;
    reader->disc = std::move(found);
    reader->handle = disc;
    reader->first = first_sector;
    reader->count = sector_count;
    auto& counters = reader->disc->counters;
    counters.readers_open++;
    counters.readers_opened++;
    counters.last_buffer_setting = buffer_setting;
    return reader;
}

DISCWELL_API uint8_t* CD_CALL CdReadSector(SectorReader* reader, int32_t /*reserved*/) {
    if (!reader || reader->next >= reader->count) return nullptr;
    Disc& disc = *reader->disc;
    const uint32_t lba = reader->first + reader->next;
    if (lba < reader->first) return nullptr;  // the range wraps past the last LBA
    if (injected_read_failure(disc)) {
        discwell::note_read_error(reader, reader->handle, lba, "injected read fault");
        return nullptr;
    }
    uint8_t* buffer = free_buffer(*reader);
    if (!buffer) return nullptr;
    std::string why;
    switch (fetch(*reader, lba, buffer, why)) {
        case Disc::Read::kOk: break;
        case Disc::Read::kOffDisc: return nullptr;  // a range running past the disc's end ends there
        case Disc::Read::kFailed:
            discwell::note_read_error(reader, reader->handle, lba, why);
            return nullptr;
    }
    discwell::note_read_success(reader);
    if (t_tap.call && t_tap.disc == reader->handle) t_tap.call(t_tap.context, lba, buffer);
    set_locked(*reader, buffer, true);
    if (reader->next >= reader->released + kReleaseStep + kReleaseKeep) {
        const uint32_t upto = reader->next - kReleaseKeep;
        disc.release(reader->first + reader->released, upto - reader->released);
        reader->released = upto;
    }
    reader->next++;
    reader->locked++;
    auto& counters = disc.counters;
    counters.buffers_locked++;
    counters.sectors_read++;
    uint32_t most = counters.max_buffers_held.load(std::memory_order_relaxed);
    while (reader->locked > most && !counters.max_buffers_held.compare_exchange_weak(most, reader->locked)) {
    }
    return buffer;
}

DISCWELL_API int32_t CD_CALL CdUnlockReadBuffer(SectorReader* reader, uint8_t* buffer) {
    if (!reader || !buffer) return 0;
    for (auto& b : reader->buffers) {
        if (b.bytes.get() == buffer && b.locked) {
            b.locked = false;
            reader->locked--;
            reader->disc->counters.buffers_locked--;
            return 1;
        }
    }
    return 0;
}

DISCWELL_API int32_t CD_CALL CdSetReadPointer(SectorReader* reader, uint32_t offset, int32_t /*reserved*/) {
    if (!reader) return -1;
    reader->disc->counters.last_read_pointer = offset;
    if (offset > reader->count || injected_failure(*reader->disc, &DwFaults::seeks_before_failure)) return -1;
    reader->next = offset;
    reader->released = std::min(reader->released, offset);
    return 0;
}

DISCWELL_API void CD_CALL DwTapReads(uint32_t disc, DwSectorTap tap, void* context) { t_tap = {disc, tap, context}; }

DISCWELL_API int32_t CD_CALL CdReadClose(SectorReader* reader) {
    if (!reader) return 0;
    auto& counters = reader->disc->counters;
    counters.buffers_locked -= reader->locked;
    counters.readers_open--;
    // The copies it handed out are its own; the mapped pages it read are done with.
    if (reader->next > reader->released) {
        reader->disc->release(reader->first + reader->released, reader->next - reader->released);
    }
    delete reader;
    return 1;
}

}  // extern "C"
