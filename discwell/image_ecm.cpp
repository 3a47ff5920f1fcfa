// ECM files: a disc image with the sync patterns, EDC and parity that can be computed again
// left out. The file is a run of blocks (raw bytes, or Mode 1, Mode 2 Form 1 or Form 2 sectors
// without what is regenerable), indexed once at open so that any sector can be found, and
// rebuilt sixteen sectors at a time by a worker per core. The file ends with one EDC over the
// whole decoded image: a pass that reads every sector in order from the first is checked against
// it, and an image that fails the check fails that read and every later one. A read of part of
// the image cannot be checked.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "../codecs/byte_order.h"
#include "block_cache.h"
#include "../codecs/cd_codes.h"
#include "image_formats.h"

namespace discwell {
namespace {

struct Block {
    uint8_t type;          // 0 raw bytes, 1 Mode 1, 2 Mode 2 Form 1, 3 Mode 2 Form 2
    uint32_t count;        // bytes (type 0) or sectors
    uint64_t stored_at;    // where its data lies in the file
    uint64_t decoded_at;   // where its output begins in the decoded image
};

// Bytes a block's sector takes in the file, and in the decoded image.
constexpr uint32_t kStored[4] = {1, 3 + 2048, 2052, 2328};
constexpr uint32_t kDecoded[4] = {1, 2352, 2336, 2336};

struct EcmImage {
    std::unique_ptr<ImageFile> file;
    std::vector<Block> blocks;
    uint32_t sectors = 0;
    uint32_t whole_edc = 0;  // of every decoded byte, as the file's last four bytes give it
};

// Decodes runs of sixteen sectors: the stored bytes behind them read at once, then each block's
// part rebuilt in memory.
class EcmDecoder : public BlockDecoder {
public:
    explicit EcmDecoder(const EcmImage& image) : image_(image) {}

    bool decode(uint32_t block, uint8_t* out, std::string& why) override {
        const uint32_t first = block * kRunSectors;
        const uint32_t count = std::min(kRunSectors, image_.sectors - first);
        if (!bytes(uint64_t{first} * kSectorBytes, size_t{count} * kSectorBytes, out, why)) {
            why = "sectors " + std::to_string(first) + " to " + std::to_string(first + count - 1) + ": " + why;
            return false;
        }
        return true;
    }

    static constexpr uint32_t kRunSectors = 16;

private:
    // `n` bytes of the decoded image from `at`.
    bool bytes(uint64_t at, size_t n, uint8_t* out, std::string& why) {
        const auto& blocks = image_.blocks;
        auto first = std::upper_bound(blocks.begin(), blocks.end(), at,
                                      [](uint64_t value, const Block& b) { return value < b.decoded_at; }) - 1;
        auto last = std::upper_bound(blocks.begin(), blocks.end(), at + n - 1,
                                     [](uint64_t value, const Block& b) { return value < b.decoded_at; }) - 1;
        // The stored bytes of every block met, in one read.
        const uint64_t stored_from = first->stored_at;
        const uint64_t stored_to = last->stored_at + uint64_t{last->count} * kStored[last->type];
        stored_.resize(static_cast<size_t>(stored_to - stored_from));
        if (!image_.file->read(stored_from, stored_.size(), stored_.data(), &why)) return false;
        for (auto block = first; n > 0;) {
            if (block > last) return (why = "the ECM index is inconsistent", false);
            const uint64_t into = at - block->decoded_at;
            const uint64_t size = uint64_t{block->count} * kDecoded[block->type];
            if (into >= size) {
                ++block;
                continue;
            }
            const uint8_t* stored = stored_.data() + (block->stored_at - stored_from);
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, size - into));
            if (block->type == 0) {
                std::memcpy(out, stored + into, take);
            } else {
                const uint64_t sector = into / kDecoded[block->type];
                const auto skip = static_cast<size_t>(into % kDecoded[block->type]);
                take = std::min<size_t>(take, kDecoded[block->type] - skip);
                uint8_t raw[kSectorBytes];
                rebuild(block->type, stored + sector * kStored[block->type], raw);
                // Mode 2 sectors come without their first 16 bytes, which a raw block before them holds.
                std::memcpy(out, raw + (block->type == 1 ? 0 : 16) + skip, take);
            }
            out += take;
            at += take;
            n -= take;
        }
        return true;
    }

    // A whole sector from what an ECM block stores of it.
    static void rebuild(uint8_t type, const uint8_t* stored, uint8_t* raw) {
        std::memset(raw, 0, kSectorBytes);
        std::memcpy(raw, codecs::kSync, 12);
        switch (type) {
            case 1:
                std::memcpy(raw + 12, stored, 3);
                std::memcpy(raw + 16, stored + 3, 2048);
                raw[15] = 1;
                codecs::put_le32(raw + 2064, codecs::edc(raw, 2064));
                codecs::write_ecc(raw);
                break;
            case 2:
                std::memcpy(raw + 20, stored, 2052);
                raw[15] = 2;
                std::memcpy(raw + 16, raw + 20, 4);
                codecs::put_le32(raw + 2072, codecs::edc(raw + 16, 2056));
                codecs::write_ecc(raw);  // with the address taken as zero
                break;
            default:
                std::memcpy(raw + 20, stored, 2328);
                raw[15] = 2;
                std::memcpy(raw + 16, raw + 20, 4);
                codecs::put_le32(raw + 2348, codecs::edc(raw + 16, 2332));
                break;
        }
    }

    const EcmImage& image_;
    std::vector<uint8_t> stored_;
};

class EcmSectors : public SectorSource {
public:
    explicit EcmSectors(std::unique_ptr<EcmImage> image)
        : image_(std::move(image)),
          cache_(image_->sectors, EcmDecoder::kRunSectors, [image = image_.get()] { return std::make_unique<EcmDecoder>(*image); }) {}
    uint32_t sector_count() const override { return cache_.sector_count(); }
    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const override {
        if (damaged()) return fail(why);
        const ReadResult result = cache_.read(first, count, out, why);
        if (result == ReadResult::kOk && !check(first, count, out)) return fail(why);
        return result;
    }

private:
    bool damaged() const {
        std::lock_guard lock(check_mutex_);
        return damaged_;
    }
    static ReadResult fail(std::string* why) {
        if (why) *why = "the ECM file is damaged: its checksum over the whole image does not match";
        return ReadResult::kFailed;
    }
    // Carries the checksum on over a read that continues the pass in progress (one starting at
    // the first sector begins a new pass); false once a pass has read every sector and the
    // checksum differs from the file's.
    bool check(uint32_t first, uint32_t count, const uint8_t* out) const {
        std::lock_guard lock(check_mutex_);
        if (first == 0) {
            checked_ = 0;
            edc_ = 0;
        }
        if (first != checked_ || count == 0) return true;
        edc_ = codecs::edc_update(edc_, out, size_t{count} * kSectorBytes);
        checked_ += count;
        if (checked_ == image_->sectors && edc_ != image_->whole_edc) damaged_ = true;
        return !damaged_;
    }

    std::unique_ptr<EcmImage> image_;
    mutable std::mutex check_mutex_;
    mutable uint32_t checked_ = 0;  // sectors of the pass in progress, from the first
    mutable uint32_t edc_ = 0;
    mutable bool damaged_ = false;
    mutable BlockCache cache_;  // last, so that its workers stop before the image goes
};

}  // namespace

std::shared_ptr<const SectorSource> ecm_sectors(const std::string& path, std::string& error) {
    std::string reason;
    auto file = ImageFile::open(path, false, reason);
    if (!file) {
        error = path + ": cannot open: " + reason;
        return nullptr;
    }
    const uint64_t size = file->size();
    std::vector<Block> blocks;
    // About two blocks a sector for a Mode 2 disc (its raw headers, then its bodies): room for
    // them at once, rather than growing by doubling.
    blocks.reserve(static_cast<size_t>(std::min<uint64_t>(size / 1000 + 16, uint64_t{1} << 24)));
    uint64_t at = 4, decoded = 0;
    // The index: each block's header (its type in the low two bits of a varint count), then its data.
    std::vector<uint8_t> head(4096);
    uint64_t head_at = 0;
    size_t head_n = 0;
    auto byte_at = [&](uint64_t pos, uint8_t& value) {
        if (pos < head_at || pos >= head_at + head_n) {
            head_at = pos;
            head_n = static_cast<size_t>(std::min<uint64_t>(head.size(), size > pos ? size - pos : 0));
            if (head_n == 0 || !file->read(pos, head_n, head.data(), &reason)) return false;
        }
        value = head[static_cast<size_t>(pos - head_at)];
        return true;
    };
    for (;;) {
        uint8_t b = 0;
        if (!byte_at(at++, b)) {
            error = path + ": the ECM data ends before its end marker (truncated?)";
            return nullptr;
        }
        const uint8_t type = b & 3;
        uint64_t n = (b >> 2) & 0x1F;
        int shift = 5, bytes = 1;
        while (b & 0x80) {
            if (++bytes > 5 || !byte_at(at++, b)) {
                error = path + ": a malformed ECM block header";
                return nullptr;
            }
            n |= uint64_t{b & 0x7Fu} << shift;
            shift += 7;
        }
        if (n == 0xFFFFFFFF) break;  // the end of the blocks; the EDC of the whole image follows
        if (n > 0x7FFFFFFF) {
            error = path + ": a malformed ECM block header";
            return nullptr;
        }
        const uint64_t count = n + 1;
        const uint64_t stored = count * kStored[type];
        if (stored > size - std::min(at, size)) {
            error = path + ": an ECM block claims more data than the file holds (truncated?)";
            return nullptr;
        }
        blocks.push_back(Block{type, static_cast<uint32_t>(count), at, decoded});
        at += stored;
        decoded += count * kDecoded[type];
        if (decoded > uint64_t{0xFFFFFFF0u} * kSectorBytes) {
            error = path + ": decodes to more sectors than a disc can hold";
            return nullptr;
        }
    }
    uint8_t trailer[4];
    if (size < 4 || at > size - 4 || !file->read(at, 4, trailer, &reason)) {
        error = path + ": the ECM file ends before its checksum (truncated?)";
        return nullptr;
    }
    if (decoded == 0 || decoded % kSectorBytes != 0) {
        error = path + ": the ECM file decodes to " + std::to_string(decoded) + " bytes, not whole 2352-byte sectors";
        return nullptr;
    }
    auto image = std::make_unique<EcmImage>();
    image->file = std::move(file);
    image->blocks = std::move(blocks);
    image->sectors = static_cast<uint32_t>(decoded / kSectorBytes);
    image->whole_edc = codecs::le32(trailer);
    return std::make_shared<EcmSectors>(std::move(image));
}

namespace {

// The ECM file's own layout failing is a malformed image (the file itself opened).
bool open_ecm_image(const std::string& path, Disc& disc, Problem& problem) {
    std::string why;
    auto source = ecm_sectors(path, why);
    if (!source) return fail(problem, DW_ERROR_MALFORMED, why);
    uint8_t head[kSectorBytes];
    if (source->read(0, 1, head, &why) != ReadResult::kOk) return fail(problem, DW_ERROR_READ, path + ": cannot read: " + why);
    const uint32_t count = source->sector_count();
    disc.add_track(DwTrack{1, 0x04, static_cast<uint8_t>(head[15] == 1 ? DW_TRACK_MODE1 : DW_TRACK_MODE2), 0, 0, count});
    disc.append(count, std::move(source), 0);
    return true;
}

bool probe(const ImageHead& head) { return head.starts_with(std::string_view("ECM\0", 4)); }

bool open(const ImageHead& head, bool, Disc& disc, Problem& problem) { return open_ecm_image(head.path, disc, problem); }

}  // namespace

extern const ImageFormat kEcmFormat;
const ImageFormat kEcmFormat{DW_FORMAT_ECM, "ECM", probe, open, whole_file};

}  // namespace discwell
