// A disc: its tracks, and where each of its sectors comes from. Image drivers (one file per image
// format) build a disc as a run of extents over sector sources, from LBA 0 up; a pregap that an
// image does not store reads as silence.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discwell.h"
#include "problem.h"
#include "sector_source.h"

namespace discwell {

class Disc {
public:
    using Read = ReadResult;

    // Opens an image of any format discwell reads, recognised by its content.
    static std::unique_ptr<Disc> open_image(const std::string& path, DwIoMode io, Problem& problem);
    static std::unique_ptr<Disc> from_memory(const uint8_t* sectors, uint32_t count, const DwTrack* tracks,
                                             int32_t track_count);
    // `base` with the sectors at `lbas` (ascending) replaced by `sectors`.
    static std::unique_ptr<Disc> patched(std::shared_ptr<const Disc> base, std::vector<uint32_t> lbas, std::vector<uint8_t> sectors);

    uint32_t sector_count() const { return sector_count_; }
    const std::vector<DwTrack>& tracks() const { return tracks_; }

    // Copies `count` sectors from `lba` into `out`. kOffDisc when a sector lies past the disc's
    // end; kFailed when the image cannot be read, with the reason in `why` and the first sector
    // that cannot be read in `failed` when asked.
    Read read(uint32_t lba, uint32_t count, uint8_t* out, std::string* why = nullptr, uint32_t* failed = nullptr) const;
    // Sectors from `lba` that lie in memory already (an in-memory disc, or the silence of a pregap):
    // a pointer to the first and in `run` how many follow it contiguously; null when they must be
    // read. Mapped image files are always read, so that a file that shrinks fails a read instead
    // of faulting in whoever looks at the sector.
    const uint8_t* direct(uint32_t lba, uint32_t& run) const;
    // Sectors a sequential reader is done with stop counting towards memory use.
    void release(uint32_t lba, uint32_t count) const;

    // For image drivers: the next `count` sectors of the disc come from `source` from its sector
    // `first` on (a null source: silence).
    void append(uint32_t count, std::shared_ptr<const SectorSource> source, uint32_t first);
    void add_track(const DwTrack& track) { tracks_.push_back(track); }
    // Drops the first `count` sectors (what comes before LBA 0), moving the tracks with them.
    void drop_front(uint32_t count);

    // Counters for tests and the statistics call; readers on several threads update them.
    struct Counters {
        std::atomic<uint32_t> readers_open{0}, readers_opened{0}, buffers_locked{0}, max_buffers_held{0},
            sectors_read{0}, last_read_pointer{0};
        std::atomic<int32_t> last_buffer_setting{0};
    } counters;
    // Injected faults, for tests; `faults_armed` keeps the common path free of the lock.
    std::mutex faults_mutex;
    std::atomic<bool> faults_armed{false};
    DwFaults faults{-1, -1, 1, -1};

private:
    struct Extent {
        uint32_t first_lba;
        uint32_t count;
        std::shared_ptr<const SectorSource> source;  // null: silence
        uint32_t first;                              // the source's sector at first_lba
    };
    const Extent* find(uint32_t lba) const;

    std::vector<Extent> extents_;  // ascending, contiguous from LBA 0
    std::vector<DwTrack> tracks_;
    uint32_t sector_count_ = 0;
};

// The table that turns the 32-bit `disc` values handed to plug-ins into discs.
uint32_t register_disc(std::unique_ptr<Disc> disc);
std::shared_ptr<Disc> find_disc(uint32_t handle);
void unregister_disc(uint32_t handle);

}  // namespace discwell
