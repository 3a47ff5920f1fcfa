#include "disc.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace discwell {
namespace {

constexpr uint32_t kSilenceRun = 64;
const uint8_t kSilenceSectors[kSilenceRun * kSectorBytes] = {};

// An in-memory disc's sectors.
class MemorySource : public SectorSource {
public:
    MemorySource(const uint8_t* sectors, uint32_t count)
        : bytes_(sectors, sectors + static_cast<size_t>(count) * kSectorBytes), count_(count) {}
    uint32_t sector_count() const override { return count_; }
    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string*) const override {
        if (first > count_ || count > count_ - first) return ReadResult::kOffDisc;
        std::memcpy(out, bytes_.data() + size_t{first} * kSectorBytes, size_t{count} * kSectorBytes);
        return ReadResult::kOk;
    }
    const uint8_t* direct(uint32_t first, uint32_t& run) const override {
        if (first >= count_) return nullptr;
        run = count_ - first;
        return bytes_.data() + size_t{first} * kSectorBytes;
    }

private:
    std::vector<uint8_t> bytes_;
    uint32_t count_;
};

// Another disc's sectors, some of them replaced.
class PatchedSource : public SectorSource {
public:
    PatchedSource(std::shared_ptr<const Disc> base, std::vector<uint32_t> lbas, std::vector<uint8_t> sectors)
        : base_(std::move(base)), lbas_(std::move(lbas)), sectors_(std::move(sectors)) {}
    uint32_t sector_count() const override { return base_->sector_count(); }
    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const override {
        const ReadResult r = base_->read(first, count, out, why);
        if (r != ReadResult::kOk) return r;
        for (auto it = std::lower_bound(lbas_.begin(), lbas_.end(), first); it != lbas_.end() && *it - first < count; ++it) {
            std::memcpy(out + size_t{*it - first} * kSectorBytes, &sectors_[size_t(it - lbas_.begin()) * kSectorBytes], kSectorBytes);
        }
        return ReadResult::kOk;
    }

private:
    std::shared_ptr<const Disc> base_;
    std::vector<uint32_t> lbas_;
    std::vector<uint8_t> sectors_;
};

}  // namespace

std::unique_ptr<Disc> Disc::patched(std::shared_ptr<const Disc> base, std::vector<uint32_t> lbas, std::vector<uint8_t> sectors) {
    std::unique_ptr<Disc> disc(new Disc);
    const uint32_t count = base->sector_count();
    disc->tracks_ = base->tracks();
    disc->append(count, std::make_shared<PatchedSource>(std::move(base), std::move(lbas), std::move(sectors)), 0);
    return disc;
}

void Disc::append(uint32_t count, std::shared_ptr<const SectorSource> source, uint32_t first) {
    if (count == 0) return;
    extents_.push_back(Extent{sector_count_, count, std::move(source), first});
    sector_count_ += count;
}

void Disc::drop_front(uint32_t count) {
    std::vector<Extent> kept;
    for (Extent e : extents_) {
        const uint32_t end = e.first_lba + e.count;
        if (end <= count) continue;
        if (e.first_lba < count) {
            const uint32_t skip = count - e.first_lba;
            e.first += skip;
            e.first_lba = count;
            e.count -= skip;
        }
        e.first_lba -= count;
        kept.push_back(std::move(e));
    }
    extents_ = std::move(kept);
    sector_count_ = sector_count_ > count ? sector_count_ - count : 0;
    for (DwTrack& t : tracks_) t.first_lba = t.first_lba > count ? t.first_lba - count : 0;
}

std::unique_ptr<Disc> Disc::from_memory(const uint8_t* sectors, uint32_t count, const DwTrack* tracks,
                                        int32_t track_count) {
    std::unique_ptr<Disc> disc(new Disc);
    disc->append(count, std::make_shared<MemorySource>(sectors, count), 0);
    if (tracks && track_count > 0) {
        disc->tracks_.assign(tracks, tracks + track_count);
    } else {
        disc->tracks_.push_back(DwTrack{1, 0x04, DW_TRACK_MODE2, 0, 0, count});
    }
    return disc;
}

const Disc::Extent* Disc::find(uint32_t lba) const {
    if (lba >= sector_count_) return nullptr;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), lba,
                               [](uint32_t value, const Extent& e) { return value < e.first_lba; });
    if (it == extents_.begin()) return nullptr;
    --it;
    return lba - it->first_lba < it->count ? &*it : nullptr;
}

const uint8_t* Disc::direct(uint32_t lba, uint32_t& run) const {
    const Extent* e = find(lba);
    if (!e) return nullptr;
    const uint32_t skip = lba - e->first_lba;
    if (!e->source) {
        run = std::min(e->count - skip, kSilenceRun);
        return kSilenceSectors;
    }
    uint32_t available = 0;
    const uint8_t* at = e->source->direct(e->first + skip, available);
    if (at) run = std::min(available, e->count - skip);
    return at;
}

void Disc::release(uint32_t lba, uint32_t count) const {
    while (count > 0) {
        const Extent* e = find(lba);
        if (!e) return;
        const uint32_t skip = lba - e->first_lba;
        const uint32_t n = std::min(count, e->count - skip);
        if (e->source) e->source->release(e->first + skip, n);
        lba += n;
        count -= n;
    }
}

Disc::Read Disc::read(uint32_t lba, uint32_t count, uint8_t* out, std::string* why, uint32_t* failed) const {
    while (count > 0) {
        const Extent* e = find(lba);
        if (!e) return Read::kOffDisc;
        const uint32_t skip = lba - e->first_lba;
        const uint32_t n = std::min(count, e->count - skip);
        if (!e->source) {
            std::memset(out, 0, size_t{n} * kSectorBytes);
        } else if (const Read r = e->source->read(e->first + skip, n, out, why); r != Read::kOk) {
            if (failed) {  // the first sector of the run that fails alone, and its reason
                *failed = lba;
                for (uint32_t i = 0; i < n && e->source->read(e->first + skip + i, 1, out, why) == Read::kOk; ++i) ++*failed;
            }
            return r == Read::kOffDisc ? Read::kFailed : r;  // a source shorter than its extent
        }
        lba += n;
        count -= n;
        out += size_t{n} * kSectorBytes;
    }
    return Read::kOk;
}

namespace {
std::mutex table_mutex;
std::vector<std::shared_ptr<Disc>>& table() {
    static std::vector<std::shared_ptr<Disc>> discs;
    return discs;
}
}  // namespace

uint32_t register_disc(std::unique_ptr<Disc> disc) {
    std::lock_guard lock(table_mutex);
    auto& discs = table();
    for (size_t i = 0; i < discs.size(); ++i) {
        if (!discs[i]) {
            discs[i] = std::move(disc);
            return static_cast<uint32_t>(i + 1);
        }
    }
    discs.push_back(std::move(disc));
    return static_cast<uint32_t>(discs.size());
}

std::shared_ptr<Disc> find_disc(uint32_t handle) {
    std::lock_guard lock(table_mutex);
    auto& discs = table();
    return handle >= 1 && handle <= discs.size() ? discs[handle - 1] : nullptr;
}

void unregister_disc(uint32_t handle) {
    std::lock_guard lock(table_mutex);
    auto& discs = table();
    if (handle >= 1 && handle <= discs.size()) discs[handle - 1].reset();
}

}  // namespace discwell
