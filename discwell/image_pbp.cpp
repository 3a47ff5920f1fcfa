// PBP files: PlayStation discs converted for handheld consoles. The file's last part (DATA.PSAR)
// holds the disc: its table of contents, then an index of blocks of sixteen raw sectors, each
// compressed with Deflate or, where that did not help, stored as it is. A file of several discs
// lists them in a table and is read as its first disc. Encrypted files (as sold for download)
// are refused.
#include <algorithm>
#include <cstring>

#include "../codecs/byte_order.h"
#include "block_cache.h"
#include "../codecs/cd_codes.h"
#include "decoders.h"
#include "image_formats.h"

namespace discwell {
namespace {

constexpr uint32_t kBlockSectors = 16;
constexpr uint32_t kBlockBytes = kBlockSectors * kSectorBytes;  // 0x9300
constexpr uint64_t kTocAt = 0x800, kIndexAt = 0x4000, kDataAt = 0x100000;
constexpr uint32_t kIndexEntries = (kDataAt - kIndexAt) / 32;

// The PBP header: the offset of its DATA.PSAR, where the disc is.
struct PbpHeader {
    static constexpr size_t kBytes = 0x28;
    uint64_t psar = 0;
    static PbpHeader read(const uint8_t* b) { return PbpHeader{codecs::le32(b + 0x24)}; }
};

// An entry of the disc's table of contents: ten bytes, a point (a track in BCD, or A0-A2 for the
// first and last track and the lead-out) with its start as BCD minute:second:frame.
struct TocEntry {
    static constexpr size_t kBytes = 10;
    uint8_t control = 0, point = 0;
    const uint8_t* msf = nullptr;
    static TocEntry read(const uint8_t* b) { return TocEntry{b[0], b[2], b + 7}; }
    bool data() const { return (control & 0x40) != 0; }
};

// An entry of the block index: where a block of sixteen sectors lies after the disc's first
// mebibyte, and how many bytes it takes (fewer than 0x9300 for a compressed one).
struct IndexEntry {
    static constexpr size_t kBytes = 32;
    uint32_t offset = 0, size = 0;
    static IndexEntry read(const uint8_t* b) { return IndexEntry{codecs::le32(b), codecs::le32(b + 4)}; }
};

struct Block {
    uint64_t at;
    uint32_t size;
};

struct PbpImage {
    std::unique_ptr<ImageFile> file;
    std::vector<Block> blocks;
    uint32_t sectors = 0;
};

class PbpDecoder : public BlockDecoder {
public:
    explicit PbpDecoder(const PbpImage& image) : image_(image), stored_(kBlockBytes) {}
    bool decode(uint32_t block, uint8_t* out, std::string& why) override {
        const Block& b = image_.blocks[block];
        const uint32_t sectors = std::min(kBlockSectors, image_.sectors - block * kBlockSectors);
        const std::span<uint8_t> target(out, size_t{sectors} * kSectorBytes);
        bool ok;
        if (b.size == kBlockBytes) {
            ok = image_.file->read(b.at, target.size(), out, &why);
        } else {
            ok = image_.file->read(b.at, b.size, stored_.data(), &why) &&
                 decoders_.inflate(std::span<const uint8_t>(stored_.data(), b.size), target, why);
        }
        if (!ok) {
            why = "sectors " + std::to_string(block * kBlockSectors) + " to " +
                  std::to_string(block * kBlockSectors + sectors - 1) + ": " + why;
            return false;
        }
        // A PBP keeps whole sectors, so a damaged block shows in their error codes.
        for (uint32_t i = 0; i < sectors; ++i) {
            if (!codecs::sector_codes_match(out + size_t{i} * kSectorBytes)) {
                why = "sector " + std::to_string(block * kBlockSectors + i) +
                      " fails its EDC or parity check: the PBP file is damaged";
                return false;
            }
        }
        return true;
    }

private:
    const PbpImage& image_;
    std::vector<uint8_t> stored_;
    Decoders decoders_;
};

class PbpSectors : public SectorSource {
public:
    explicit PbpSectors(std::unique_ptr<PbpImage> image)
        : image_(std::move(image)),
          cache_(image_->sectors, kBlockSectors, [image = image_.get()] { return std::make_unique<PbpDecoder>(*image); }) {}
    uint32_t sector_count() const override { return cache_.sector_count(); }
    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const override {
        return cache_.read(first, count, out, why);
    }

private:
    std::unique_ptr<PbpImage> image_;
    mutable BlockCache cache_;  // last, so that its workers stop before the image goes
};

bool open_pbp_image(const std::string& path, Disc& disc, Problem& problem) {
    auto image = std::make_unique<PbpImage>();
    std::string reason;
    image->file = ImageFile::open(path, false, reason);
    if (!image->file) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": cannot open: " + reason);
    }
    const ImageFile& file = *image->file;
    auto read_at = [&](uint64_t at, size_t n, uint8_t* out) { return at <= file.size() && n <= file.size() - at && file.read(at, n, out); };
    uint8_t head[PbpHeader::kBytes];
    if (!read_at(0, sizeof head, head)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file cut short in its header");
    }
    const uint64_t psar = PbpHeader::read(head).psar;
    uint8_t magic[16];
    if (!read_at(psar, sizeof magic, magic)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file without a disc (its DATA.PSAR lies past the end)");
    }
    if (std::memcmp(magic, "NPUMDIMG", 8) == 0) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": an encrypted PBP file (a download); quorvex reads unencrypted PBP files");
    }
    uint64_t at = psar;
    if (std::memcmp(magic, "PSTITLEIMG000000", 16) == 0) {
        uint8_t first[4];
        if (!read_at(psar + 0x200, 4, first) || codecs::le32(first) == 0) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file of several discs whose disc table is empty");
        }
        at = psar + codecs::le32(first);
        if (!read_at(at, 12, magic)) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file whose first disc lies past the end");
        }
    }
    if (std::memcmp(magic, "PSISOIMG0000", 12) != 0) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file that holds no PlayStation disc");
    }
    uint8_t id[4];
    if (!read_at(at + 0x400, 4, id)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file cut short in its disc header");
    }
    if (std::memcmp(id, "\0PGD", 4) == 0) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": an encrypted PBP file (a download); quorvex reads unencrypted PBP files");
    }

    uint8_t toc[102 * TocEntry::kBytes];
    if (!read_at(at + kTocAt, sizeof toc, toc)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file cut short in its table of contents");
    }
    struct Start {
        uint32_t number, lba;
        bool data;
    };
    std::vector<Start> starts;
    uint32_t lead_out = 0;
    bool have_lead_out = false;
    for (size_t i = 0; i < 102; ++i) {
        const TocEntry e = TocEntry::read(toc + i * TocEntry::kBytes);
        uint32_t number = 0, lba = 0;
        if (e.point == 0xA2) {
            have_lead_out = codecs::msf_to_lba(e.msf, lead_out);
        } else if (e.point != 0xA0 && e.point != 0xA1 && codecs::from_bcd(e.point, number) && number >= 1 &&
                   codecs::msf_to_lba(e.msf, lba)) {
            starts.push_back(Start{number, lba, e.data()});
        }
    }
    if (!have_lead_out || starts.empty() || lead_out == 0 || lead_out > kIndexEntries * kBlockSectors) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file whose table of contents is missing or corrupt");
    }
    for (size_t i = 0; i < starts.size(); ++i) {
        const uint32_t end = i + 1 < starts.size() ? starts[i + 1].lba : lead_out;
        if (starts[i].lba >= end || (i == 0 && starts[i].lba != 0)) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file whose table of contents is corrupt (track " + std::to_string(starts[i].number) + ")");
        }
    }

    // The block index, then the blocks after the disc header's first mebibyte.
    image->sectors = lead_out;
    const uint32_t blocks = (lead_out + kBlockSectors - 1) / kBlockSectors;
    std::vector<uint8_t> index(size_t{blocks} * IndexEntry::kBytes);
    if (!read_at(at + kIndexAt, index.size(), index.data())) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file cut short in its block index");
    }
    bool compressed = false;
    for (uint32_t b = 0; b < blocks; ++b) {
        const IndexEntry entry = IndexEntry::read(&index[size_t{b} * IndexEntry::kBytes]);
        const uint64_t offset = at + kDataAt + entry.offset;
        const uint32_t size = entry.size;
        if (size == 0 || size > kBlockBytes || offset > file.size() || size > file.size() - offset) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a PBP file whose block " + std::to_string(b) + " lies past the end or has an impossible size");
        }
        compressed |= size != kBlockBytes;
        image->blocks.push_back(Block{offset, size});
    }
    if (compressed && !have_codec(Codec::kDeflate)) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a compressed PBP file, which this build of quorvex cannot decode (it lacks Deflate)");
    }
    auto source = std::make_shared<PbpSectors>(std::move(image));
    disc.append(lead_out, source, 0);
    for (size_t i = 0; i < starts.size(); ++i) {
        const uint32_t end = i + 1 < starts.size() ? starts[i + 1].lba : lead_out;
        disc.add_track(DwTrack{static_cast<uint8_t>(starts[i].number), static_cast<uint8_t>(starts[i].data ? 0x04 : 0x00),
                               static_cast<uint8_t>(starts[i].data ? DW_TRACK_MODE2 : DW_TRACK_AUDIO), 0, starts[i].lba,
                               end - starts[i].lba});
    }
    return true;
}

bool probe(const ImageHead& head) { return head.starts_with(std::string_view("\0PBP", 4)); }

// PARAM.SFO: a header ("\0PSF", the key table's and the data table's offsets, the count), then
// 16-byte entries (the key's offset, the format, the value's length, its room, its offset).
constexpr size_t kSfoHeader = 20, kSfoEntry = 16;
constexpr uint16_t kSfoText = 0x0204;  // UTF-8 text ending in NUL

std::string sfo_text(std::span<const uint8_t> sfo, std::string_view wanted) {
    if (sfo.size() < kSfoHeader || std::memcmp(sfo.data(), "\0PSF", 4) != 0) return {};
    const uint64_t keys = codecs::le32(&sfo[8]), data = codecs::le32(&sfo[12]), count = codecs::le32(&sfo[16]);
    for (uint64_t i = 0; i < count && kSfoHeader + (i + 1) * kSfoEntry <= sfo.size(); ++i) {
        const uint8_t* e = &sfo[kSfoHeader + i * kSfoEntry];
        const uint64_t key = keys + codecs::le16(e), length = codecs::le32(e + 4), value = data + codecs::le32(e + 12);
        if (key >= sfo.size() || codecs::le16(e + 2) != kSfoText) continue;
        const auto* name = reinterpret_cast<const char*>(&sfo[key]);
        if (std::string_view(name, strnlen(name, sfo.size() - key)) != wanted) continue;
        if (value > sfo.size() || length > sfo.size() - value) return {};
        std::string text(reinterpret_cast<const char*>(&sfo[value]), length);
        text.resize(strnlen(text.c_str(), text.size()));
        return text;
    }
    return {};
}

}  // namespace

std::string pbp_title(const std::string& path) {
    std::string reason;
    const auto file = ImageFile::open(path, false, reason);
    uint8_t head[PbpHeader::kBytes];
    if (!file || file->size() < sizeof head || !file->read(0, sizeof head, head) || std::memcmp(head, "\0PBP", 4) != 0) return {};
    const uint64_t from = codecs::le32(head + 8), to = codecs::le32(head + 12);
    if (to <= from || to - from > 0x10000 || to > file->size()) return {};
    std::vector<uint8_t> sfo(static_cast<size_t>(to - from));
    return file->read(from, sfo.size(), sfo.data()) ? sfo_text(sfo, "TITLE") : std::string();
}

namespace {

bool open(const ImageHead& head, bool, Disc& disc, Problem& problem) {
    return open_pbp_image(head.path, disc, problem);
}

}  // namespace

extern const ImageFormat kPbpFormat;
const ImageFormat kPbpFormat{DW_FORMAT_PBP, "PBP", probe, open, whole_file};

}  // namespace discwell
