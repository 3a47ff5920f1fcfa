#include "block_cache.h"

#include <algorithm>
#include <cstring>

namespace discwell {
namespace {

// Decoded blocks kept: about 16 MiB of sectors, and never fewer than a few reads' worth.
constexpr size_t kCacheBytes = size_t{16} << 20;

uint32_t worker_count() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores, 1u, 16u);
}

}  // namespace

BlockCache::BlockCache(uint32_t sector_count, uint32_t sectors_per_block, DecoderFactory make_decoder)
    : sector_count_(sector_count),
      per_block_(std::max(1u, sectors_per_block)),
      blocks_(sector_count / per_block_ + (sector_count % per_block_ != 0)),
      make_decoder_(std::move(make_decoder)) {
    const size_t block_bytes = size_t{per_block_} * kSectorBytes;
    slots_.resize(std::clamp<size_t>(kCacheBytes / block_bytes, 64, 4096));
}

BlockCache::~BlockCache() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void BlockCache::start_workers() {
    if (!workers_.empty()) return;
    const uint32_t n = worker_count();
    for (uint32_t i = 0; i < n; ++i) workers_.emplace_back([this] { work(); });
}

int BlockCache::find_or_queue(uint32_t block) {
    if (auto it = where_.find(block); it != where_.end()) return it->second;
    // The least recently used slot that no read holds and no worker is filling.
    int victim = -1;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        if (s.pins != 0 || s.state == State::kQueued) continue;
        if (s.state == State::kEmpty) {
            victim = static_cast<int>(i);
            break;
        }
        if (victim < 0 || s.used < slots_[static_cast<size_t>(victim)].used) victim = static_cast<int>(i);
    }
    if (victim < 0) return -1;
    Slot& s = slots_[static_cast<size_t>(victim)];
    if (s.state != State::kEmpty) where_.erase(s.block);
    s.block = block;
    s.state = State::kQueued;
    s.error.clear();
    s.used = ++clock_;
    where_[block] = victim;
    queue_.push_back(victim);
    queued_.notify_one();
    return victim;
}

void BlockCache::work() {
    std::unique_ptr<BlockDecoder> decoder = make_decoder_();
    std::vector<uint8_t> sectors(size_t{per_block_} * kSectorBytes);
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const int index = queue_.front();
        queue_.pop_front();
        const uint32_t block = slots_[static_cast<size_t>(index)].block;
        lock.unlock();
        std::string why;
        const bool ok = decoder ? decoder->decode(block, sectors.data(), why) : (why = "no decoder", false);
        lock.lock();
        Slot& s = slots_[static_cast<size_t>(index)];
        if (ok) {
            s.sectors.swap(sectors);
            if (sectors.size() != s.sectors.size()) sectors.resize(s.sectors.size());
            s.state = State::kReady;
        } else {
            s.error = why;
            s.state = State::kFailed;
        }
        decoded_.notify_all();
    }
}

ReadResult BlockCache::read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) {
    if (first > sector_count_ || count > sector_count_ - first) return ReadResult::kOffDisc;
    if (count == 0) return ReadResult::kOk;
    std::unique_lock lock(mutex_);
    start_workers();
    // Reads larger than an eighth of the cache go a window at a time, so that several readers fit.
    const uint32_t window = static_cast<uint32_t>(slots_.size() / 8);
    uint32_t block = first / per_block_;
    const uint32_t last = (first + count - 1) / per_block_;
    std::vector<int> held;
    while (block <= last) {
        const uint32_t end = std::min(last, block + window - 1);
        // All of a window's slots at once, or none held while waiting: no reader waits on another.
        for (;;) {
            held.clear();
            for (uint32_t b = block; b <= end; ++b) {
                const int slot = find_or_queue(b);
                if (slot < 0) break;
                slots_[static_cast<size_t>(slot)].pins++;
                held.push_back(slot);
            }
            if (held.size() == end - block + 1) break;
            for (int h : held) slots_[static_cast<size_t>(h)].pins--;
            decoded_.wait(lock);
        }
        // The blocks after these, for the read that usually follows.
        const uint32_t ahead = std::min<uint32_t>(std::max<uint32_t>(end - block + 1, 2 * static_cast<uint32_t>(workers_.size())),
                                                  window);
        for (uint32_t b = end + 1; b <= end + ahead && b < blocks_; ++b) {
            if (find_or_queue(b) < 0) break;
        }
        for (uint32_t b = block; b <= end; ++b) {
            Slot& s = slots_[static_cast<size_t>(held[b - block])];
            decoded_.wait(lock, [&] { return s.state == State::kReady || s.state == State::kFailed; });
            s.used = ++clock_;
            if (s.state == State::kFailed) {
                if (why) *why = s.error;
                for (int h : held) slots_[static_cast<size_t>(h)].pins--;
                decoded_.notify_all();
                return ReadResult::kFailed;
            }
            // Copy this block's part of the read; the pin keeps the slot while the lock is off.
            const uint32_t from = std::max(first, b * per_block_);
            const uint32_t to = std::min(first + count, (b + 1) * per_block_);
            lock.unlock();
            std::memcpy(out + size_t{from - first} * kSectorBytes, s.sectors.data() + size_t{from - b * per_block_} * kSectorBytes,
                        size_t{to - from} * kSectorBytes);
            lock.lock();
        }
        for (int h : held) slots_[static_cast<size_t>(h)].pins--;
        decoded_.notify_all();
        block = end + 1;
    }
    return ReadResult::kOk;
}

}  // namespace discwell
