// The track list: sized when the root directory's first sector has shown where the archives lie,
// and filled from the index files' sectors as the scan passes them.
#pragma once

#include <cstdint>
#include <cstring>

#include "contract/heap.h"
#include "contract/plugin_records.h"
#include "contract/raw_sector.h"
#include "contract/track_table.h"
#include "iso_volume.h"

namespace plugins::archive {

inline constexpr uint32_t kIndexRecordBytes = 8;
inline constexpr uint32_t kRecordsPerSector = 256;

struct TrackSlot {
    uint32_t start_sector;
    uint32_t sector_count;
};

struct ArchiveScan {
    uint32_t capacity;
    uint32_t count;
    TrackSlot* slots;
};

template <class Game>
class ArchiveCatalogue {
    using V = Volume<Game>;

public:
    static ScanContext* begin(int32_t track_count, const TrackEntry* tracks) {
        if (!psr::track_table_has_data_track(psr::TrackTableRule::kStep10, track_count, tracks)) return nullptr;
        auto* scan = psr::heap::create<ArchiveScan>();
        if (!scan) return nullptr;
        scan->slots = static_cast<TrackSlot*>(psr::heap::allocate(sizeof(TrackSlot)));
        if (!scan->slots) {
            psr::heap::destroy(scan);
            return nullptr;
        }
        scan->capacity = 1;
        return reinterpret_cast<ScanContext*>(scan);
    }

    static int32_t sector(ScanContext* context, TrackEntry track, uint32_t lba, const uint8_t* bytes) {
        auto* scan = reinterpret_cast<ArchiveScan*>(context);
        if (!scan || !psr::is_data_track(track)) return 0;
        if (!bytes || lba < kVolumeDescriptorSector) return 1;  // nothing stays open at the end
        const psr::RawSector s(bytes);
        if (lba == kVolumeDescriptorSector) {
            V::volume_descriptor(s);
        } else if (lba == V::root.root_sector) {
            V::root_directory(s);
            size_list(*scan);
        } else {
            take_index_records(*scan, s, lba);
        }
        return 1;
    }

    static int32_t result(ScanContext* context, int32_t index, StreamInfo* info) {
        auto* scan = reinterpret_cast<ArchiveScan*>(context);
        if (!scan) return 0;
        if (index < 0 || static_cast<uint32_t>(index) >= scan->count) return -1;
        if (info) {
            describe_track(scan->slots[index].start_sector, scan->slots[index].sector_count, info);
            info->payload_bytes = scan->slots[index].sector_count * 2304u;
        }
        return static_cast<int32_t>(scan->count);
    }

    static void end(ScanContext* context) {
        auto* scan = reinterpret_cast<ArchiveScan*>(context);
        if (!scan) return;
        psr::heap::release(scan->slots);
        psr::heap::destroy(scan);
    }

    // A track's StreamInfo; payload_bytes is 0 (the scan's results set it).
    static void describe_track(uint32_t start, uint32_t count, StreamInfo* info) {
        std::memset(info, 0, sizeof(StreamInfo));
        info->kind = psr::kKindAudio;
        info->start_sector = start;
        info->sector_count = count;
        info->has_audio = 1;
        info->channels = Game::kChannels;
        info->bits_per_sample = psr::kBitsPerSample;
        info->sample_rate = kArchiveSampleRate;
        info->duration_ms = count * 35840u / Game::kDurationDivisor;
    }

private:
    // Room for every record of every index file but the last two, in 16-bit counts, each archive's
    // slots starting at its data file.
    static void size_list(ArchiveScan& scan) {
        uint16_t total = 0;
        for (int a = 0; a < V::kArchiveCount; ++a) {
            ArchiveFile& index = V::index_file(a);
            const bool usable = index.size_bytes != kUnset && index.size_bytes >= 2 * kIndexRecordBytes;
            index.records_left = usable ? static_cast<uint16_t>(index.size_bytes / kIndexRecordBytes - 2) : 0;
            total = static_cast<uint16_t>(total + index.records_left);
        }
        scan.count = 0;
        void* resized = psr::heap::reallocate(scan.slots, sizeof(TrackSlot) * (total ? total : 1u));
        if (!resized) {
            scan.capacity = 0;
            return;
        }
        scan.slots = static_cast<TrackSlot*>(resized);
        scan.capacity = total;
        uint32_t slot = 0;
        for (int a = 0; a < V::kArchiveCount; ++a) {
            // Counts past 65535 wrap the total; the slots never pass it.
            for (uint32_t r = 0; r < V::index_file(a).records_left && slot < scan.capacity; ++r) {
                scan.slots[slot++] = {V::data_file(a).start_sector, 0};
            }
        }
    }

    // An index file's sector: up to 256 records become tracks, in one running order.
    static void take_index_records(ArchiveScan& scan, const psr::RawSector& s, uint32_t lba) {
        for (int a = 0; a < V::kArchiveCount; ++a) {
            ArchiveFile& index = V::index_file(a);
            if (lba < index.start_sector || lba > index.start_sector + (index.size_bytes >> 11)) continue;
            const uint32_t n = index.records_left < kRecordsPerSector ? index.records_left : kRecordsPerSector;
            index.records_left = static_cast<uint16_t>(index.records_left - n);
            for (uint32_t i = 0; i < n; ++i) {
                if (scan.count >= scan.capacity) continue;
                const uint8_t* record = s.user() + kIndexRecordBytes * i;
                TrackSlot& slot = scan.slots[scan.count++];
                slot.start_sector += psr::load_le32(record);
                slot.sector_count = psr::load_le16(record + 4);
            }
        }
    }
};

}  // namespace plugins::archive
