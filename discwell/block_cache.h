// Sectors of a compressed image, decoded a block at a time (a CHD hunk, a PBP block) by worker
// threads, one per core: a read asks for the blocks it needs and those that follow, so that a
// sequential pass keeps every core decoding, and each block is decoded once per pass. The cache
// holds a bounded number of blocks whatever the image's size.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sector_source.h"

namespace discwell {

// One worker's means of decoding blocks (its codec state and scratch memory).
class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;
    // Writes block `block`'s sectors (2352 bytes each; the last block may hold fewer) to `out`, or
    // says why it cannot.
    virtual bool decode(uint32_t block, uint8_t* out, std::string& why) = 0;
};

class BlockCache {
public:
    using DecoderFactory = std::function<std::unique_ptr<BlockDecoder>()>;
    BlockCache(uint32_t sector_count, uint32_t sectors_per_block, DecoderFactory make_decoder);
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    uint32_t sector_count() const { return sector_count_; }
    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why);

private:
    enum class State : uint8_t { kEmpty, kQueued, kReady, kFailed };
    struct Slot {
        uint32_t block = 0;
        State state = State::kEmpty;
        uint32_t pins = 0;
        uint64_t used = 0;
        std::string error;
        std::vector<uint8_t> sectors;
    };

    // Under the lock: the slot holding `block`, queued for decoding if it was not there; -1 when
    // every slot is busy.
    int find_or_queue(uint32_t block);
    void start_workers();
    void work();

    const uint32_t sector_count_, per_block_, blocks_;
    DecoderFactory make_decoder_;
    std::mutex mutex_;
    std::condition_variable decoded_, queued_;
    std::vector<Slot> slots_;
    std::unordered_map<uint32_t, int> where_;
    std::deque<int> queue_;
    uint64_t clock_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace discwell
