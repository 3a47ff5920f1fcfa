// ECM files: a disc image with the sync patterns, EDC and parity that can be computed again
// left out. The file is a run of blocks (raw bytes, or Mode 1, Mode 2 Form 1 or Form 2 sectors
// without what is regenerable), indexed once at open so that any sector can be read directly.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "cd_codes.h"
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

class EcmSectors : public SectorSource {
public:
    EcmSectors(std::unique_ptr<ImageFile> file, std::vector<Block> blocks, uint64_t decoded)
        : file_(std::move(file)), blocks_(std::move(blocks)), count_(static_cast<uint32_t>(decoded / kSectorBytes)) {}

    uint32_t sector_count() const override { return count_; }

    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const override {
        if (first > count_ || count > count_ - first) return ReadResult::kOffDisc;
        return bytes(uint64_t{first} * kSectorBytes, size_t{count} * kSectorBytes, out, why) ? ReadResult::kOk
                                                                                             : ReadResult::kFailed;
    }

private:
    // `n` bytes of the decoded image from `at`.
    bool bytes(uint64_t at, size_t n, uint8_t* out, std::string* why) const {
        auto block = std::upper_bound(blocks_.begin(), blocks_.end(), at,
                                      [](uint64_t value, const Block& b) { return value < b.decoded_at; }) - 1;
        while (n > 0) {
            if (block == blocks_.end()) return false;
            const uint64_t into = at - block->decoded_at;
            const uint64_t size = uint64_t{block->count} * kDecoded[block->type];
            if (into >= size) {
                ++block;
                continue;
            }
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, size - into));
            if (block->type == 0) {
                if (!file_->read(block->stored_at + into, take, out, why)) return false;
            } else {
                const uint64_t sector = into / kDecoded[block->type];
                const auto skip = static_cast<size_t>(into % kDecoded[block->type]);
                take = std::min<size_t>(take, kDecoded[block->type] - skip);
                uint8_t raw[kSectorBytes];
                if (!decode(*block, sector, raw, why)) return false;
                // Mode 2 sectors come without their first 16 bytes, which a raw block before them holds.
                std::memcpy(out, raw + (block->type == 1 ? 0 : 16) + skip, take);
            }
            out += take;
            at += take;
            n -= take;
        }
        return true;
    }

    bool decode(const Block& block, uint64_t sector, uint8_t* raw, std::string* why) const {
        std::memset(raw, 0, kSectorBytes);
        std::memcpy(raw, cdcodes::kSync, 12);
        const uint64_t stored = block.stored_at + sector * kStored[block.type];
        auto put_le32 = [](uint8_t* p, uint32_t v) {
            for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
        };
        switch (block.type) {
            case 1:
                if (!file_->read(stored, 3, raw + 12, why) || !file_->read(stored + 3, 2048, raw + 16, why)) return false;
                raw[15] = 1;
                put_le32(raw + 2064, cdcodes::edc(raw, 2064));
                cdcodes::write_ecc(raw);
                return true;
            case 2:
                if (!file_->read(stored, 2052, raw + 20, why)) return false;
                raw[15] = 2;
                std::memcpy(raw + 16, raw + 20, 4);
                put_le32(raw + 2072, cdcodes::edc(raw + 16, 2056));
                cdcodes::write_ecc(raw);  // with the address taken as zero
                return true;
            default:
                if (!file_->read(stored, 2328, raw + 20, why)) return false;
                raw[15] = 2;
                std::memcpy(raw + 16, raw + 20, 4);
                put_le32(raw + 2348, cdcodes::edc(raw + 16, 2332));
                return true;
        }
    }

    std::unique_ptr<ImageFile> file_;
    std::vector<Block> blocks_;
    uint32_t count_;
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
        value = head[pos - head_at];
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
    if (decoded == 0 || decoded % kSectorBytes != 0) {
        error = path + ": the ECM file decodes to " + std::to_string(decoded) + " bytes, not whole 2352-byte sectors";
        return nullptr;
    }
    return std::make_shared<EcmSectors>(std::move(file), std::move(blocks), decoded);
}

bool open_ecm_image(const std::string& path, Disc& disc, std::string& error) {
    auto source = ecm_sectors(path, error);
    if (!source) return false;
    uint8_t head[kSectorBytes];
    std::string why;
    if (source->read(0, 1, head, &why) != ReadResult::kOk) {
        error = path + ": cannot read: " + why;
        return false;
    }
    const uint32_t count = source->sector_count();
    disc.add_track(DwTrack{1, 0x04, static_cast<uint8_t>(head[15] == 1 ? DW_TRACK_MODE1 : DW_TRACK_MODE2), 0, 0, count});
    disc.append(count, std::move(source), 0);
    return true;
}

}  // namespace discwell
