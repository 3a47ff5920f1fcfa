// Bare images of raw sectors: 2352 bytes a sector, or 2448 with 96 bytes of subchannel after each
// (as some dumping tools write), recognised by size and content. One data track over them all.
#include <cstring>
#include <vector>

#include "../codecs/cd_codes.h"
#include "image_formats.h"

namespace discwell {
namespace {

constexpr uint32_t kWithSubchannel = 2448;

class RawSectors : public SectorSource {
public:
    RawSectors(std::unique_ptr<ImageFile> file, uint32_t stride)
        : file_(std::move(file)), stride_(stride), count_(static_cast<uint32_t>(file_->size() / stride)) {}

    uint32_t sector_count() const override { return count_; }

    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const override {
        if (first > count_ || count > count_ - first) return ReadResult::kOffDisc;
        const uint64_t offset = uint64_t{first} * stride_;
        if (stride_ == kSectorBytes) {
            return file_->read(offset, size_t{count} * kSectorBytes, out, why) ? ReadResult::kOk : ReadResult::kFailed;
        }
        // Read whole strides, then leave each sector's subchannel out.
        std::vector<uint8_t> block(size_t{count} * stride_);
        if (!file_->read(offset, block.size(), block.data(), why)) return ReadResult::kFailed;
        for (uint32_t i = 0; i < count; ++i) std::memcpy(out + size_t{i} * kSectorBytes, &block[size_t{i} * stride_], kSectorBytes);
        return ReadResult::kOk;
    }

    void release(uint32_t first, uint32_t count) const override {
        file_->release(uint64_t{first} * stride_, uint64_t{count} * stride_);
    }

private:
    std::unique_ptr<ImageFile> file_;
    uint32_t stride_;
    uint32_t count_;
};

bool has_sync(const ImageFile& file, uint64_t at) {
    uint8_t head[12];
    return file.size() >= at + 12 && file.read(at, 12, head) && std::memcmp(head, codecs::kSync, 12) == 0;
}

// A whole image of 2048-byte sectors: no sync pattern, an ISO9660 descriptor at 16 x 2048.
bool looks_cooked(const ImageFile& file) {
    if (file.size() % 2048 != 0 || has_sync(file, 0)) return false;
    if (file.size() % kSectorBytes != 0) return true;
    uint8_t id[6];
    return file.size() >= 0x8006 && file.read(0x8000, 6, id) && std::memcmp(id + 1, "CD001", 5) == 0;
}

// The sector size of a raw file: 2352, or 2448 where that is what its size and sync patterns say.
bool stride_of(const std::string& path, const ImageFile& file, uint32_t& stride, Problem& problem) {
    if (file.size() == 0) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": the image is empty");
    }
    const bool fits_plain = file.size() % kSectorBytes == 0, fits_sub = file.size() % kWithSubchannel == 0;
    if (fits_sub && has_sync(file, 0) && (file.size() < 2 * kWithSubchannel || has_sync(file, kWithSubchannel)) &&
        !(fits_plain && has_sync(file, kSectorBytes))) {
        stride = kWithSubchannel;
        return true;
    }
    if (looks_cooked(file)) {
        return fail(problem, DW_ERROR_UNSUPPORTED,
                    path + " is not a disc image quorvex reads: an ISO of 2048-byte sectors, which keeps the data alone; "
                           "the movies and music need the raw 2352-byte sectors (a BIN/CUE image)");
    }
    if (!fits_plain) {
        return fail(problem, DW_ERROR_MALFORMED,
                    path + " is not a disc image: its size, " + std::to_string(file.size()) +
                        " bytes, is not a multiple of 2352, the size of a raw sector (a truncated dump, or a file of another kind)");
    }
    if (file.size() / kSectorBytes > 0xFFFFFFF0u) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": too large for a CD image");
    }
    stride = kSectorBytes;
    return true;
}

}  // namespace

std::shared_ptr<const SectorSource> raw_sectors(std::unique_ptr<ImageFile> file, uint32_t stride) {
    return std::make_shared<RawSectors>(std::move(file), stride);
}

std::shared_ptr<const SectorSource> open_track_file(const std::string& path, bool map, Problem& problem) {
    std::string reason;
    auto file = ImageFile::open(path, map, reason);
    if (!file) {
        fail(problem, DW_ERROR_CANNOT_OPEN, path + ": cannot open: " + reason);
        return nullptr;
    }
    return track_file_sectors(std::move(file), path, problem);
}

std::shared_ptr<const SectorSource> track_file_sectors(std::unique_ptr<ImageFile> file, const std::string& path, Problem& problem) {
    uint8_t magic[4] = {};
    if (file->size() >= 4 && file->read(0, 4, magic) && std::memcmp(magic, "ECM", 4) == 0) {
        std::string why;
        auto sectors = ecm_sectors(path, why);
        if (!sectors) fail(problem, DW_ERROR_MALFORMED, why);
        return sectors;
    }
    uint32_t stride = kSectorBytes;
    if (!stride_of(path, *file, stride, problem)) return nullptr;
    return raw_sectors(std::move(file), stride);
}

namespace {

bool open_raw_image(const std::string& path, bool map, Disc& disc, Problem& problem) {
    auto source = open_track_file(path, map, problem);
    if (!source) return false;
    uint8_t head[kSectorBytes];
    std::string why;
    if (source->read(0, 1, head, &why) != ReadResult::kOk) return fail(problem, DW_ERROR_READ, path + ": cannot read: " + why);
    const uint32_t count = source->sector_count();
    const uint8_t mode = std::memcmp(head, codecs::kSync, 12) == 0 && head[15] == 1 ? DW_TRACK_MODE1 : DW_TRACK_MODE2;
    disc.add_track(DwTrack{1, 0x04, mode, 0, 0, count});
    disc.append(count, std::move(source), 0);
    return true;
}

// Raw sectors take any file no other format claims; only one that starts with a sync pattern
// is an image when a folder is searched, and a cooked image is one that cannot be read.
bool probe(const ImageHead&) { return true; }

bool open(const ImageHead& head, bool map, Disc& disc, Problem& problem) { return open_raw_image(head.path, map, disc, problem); }

ImageProbe files(const ImageHead& head) {
    std::string reason;
    auto file = ImageFile::open(head.path, false, reason);
    if (file && has_sync(*file, 0)) return ImageProbe{DW_PROBE_IMAGE, {}, nullptr};
    if (file && looks_cooked(*file)) return ImageProbe{DW_PROBE_UNREADABLE, {}, nullptr};
    return ImageProbe{};
}

}  // namespace

extern const ImageFormat kRawFormat;
const ImageFormat kRawFormat{DW_FORMAT_RAW, "raw sectors", probe, open, files};

}  // namespace discwell
