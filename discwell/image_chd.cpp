// CHD files (version 5) of CDs, as `chdman createcd` writes them: a header, a hunk map, metadata
// naming the tracks, and hunks of 2448-byte frames (2352 bytes of sector and 96 of subchannel)
// stored whole, compressed by one of the CD codecs, or as a copy of an earlier hunk.
//
// The CD codecs keep the sector data and the subchannel apart: cdlz (LZMA, Deflate for the
// subchannel), cdzl (Deflate), cdzs (Zstandard) and cdfl (FLAC, as audio samples). The first three
// drop the sync pattern and the parity of sectors whose parity could be computed again, and mark
// them in a bitmap; the parity is made again on reading. Audio tracks are stored with each
// sample's bytes swapped. Every track is padded to a whole multiple of four frames.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "../codecs/byte_order.h"
#include "block_cache.h"
#include "../codecs/cd_codes.h"
#include "../codecs/sha1.h"
#include "chd_map.h"
#include "decoders.h"
#include "image_formats.h"

namespace discwell {
namespace {

constexpr uint32_t kFrameBytes = 2448;
constexpr uint32_t kSubchannelBytes = 96;
constexpr uint32_t kHeaderBytes = 124;
// Far more frames than any CD holds (about fifteen hours); bounds what a corrupt header can ask.
constexpr uint64_t kMaxFrames = uint64_t{1} << 22;
constexpr uint32_t kMaxHunkBytes = 1u << 20;

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t{static_cast<uint8_t>(s[0])} << 24 | uint32_t{static_cast<uint8_t>(s[1])} << 16 |
           uint32_t{static_cast<uint8_t>(s[2])} << 8 | uint32_t{static_cast<uint8_t>(s[3])};
}

enum class CdCodec { kNone, kLzma, kDeflate, kZstd, kFlac };

struct CodecName {
    uint32_t tag;
    CdCodec codec;
    Codec library;
    const char* name;
};
constexpr CodecName kCdCodecs[] = {
    {fourcc("cdlz"), CdCodec::kLzma, Codec::kLzma, "cdlz"},
    {fourcc("cdzl"), CdCodec::kDeflate, Codec::kDeflate, "cdzl"},
    {fourcc("cdzs"), CdCodec::kZstd, Codec::kZstd, "cdzs"},
    {fourcc("cdfl"), CdCodec::kFlac, Codec::kFlac, "cdfl"},
};


std::string tag_text(uint32_t tag) {
    std::string s;
    for (int i = 24; i >= 0; i -= 8) {
        const char c = static_cast<char>((tag >> i) & 0xFF);
        s += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return s;
}

struct Header {
    uint32_t compressors[4];
    uint64_t logical_bytes, map_offset, meta_offset;
    uint32_t hunk_bytes, unit_bytes;
    codecs::Sha1::Digest raw_sha1;  // of the logical data; all zero when the writer left it out
    uint32_t hunks() const { return static_cast<uint32_t>((logical_bytes + hunk_bytes - 1) / hunk_bytes); }
};

struct TrackInfo {
    int number = 0;
    std::string type, pregap_type;
    uint32_t frames = 0, pregap = 0, postgap = 0;
};

// The image: the file, the map, which frames are audio, and the codecs named in the header.
struct ChdImage {
    std::unique_ptr<ImageFile> file;
    Header header{};
    std::vector<chd::Hunk> map;
    bool raw_map = false;  // an uncompressed file's map: hunk offsets in units of hunks, 0 for zeros
    CdCodec codecs[4]{};
    std::vector<std::pair<uint32_t, uint32_t>> audio;  // frame ranges [first, end) stored swapped

    bool is_audio(uint32_t frame) const {
        for (const auto& [first, end] : audio) {
            if (frame >= first && frame < end) return true;
        }
        return false;
    }
};

class ChdDecoder : public BlockDecoder {
public:
    explicit ChdDecoder(const ChdImage& image)
        : image_(image),
          hunk_(image.header.hunk_bytes),
          stored_(image.header.hunk_bytes),
          base_(image.header.hunk_bytes),
          sub_(image.header.hunk_bytes) {}

    bool decode(uint32_t block, uint8_t* out, std::string& why) override {
        if (!decode_hunk(block, why)) {
            why = "hunk " + std::to_string(block) + " of the CHD, which holds it: " + why;
            return false;
        }
        const uint32_t frames = frames_per_hunk();
        for (uint32_t f = 0; f < frames; ++f) {
            uint8_t* sector = out + size_t{f} * kSectorBytes;
            std::memcpy(sector, &hunk_[size_t{f} * kFrameBytes], kSectorBytes);
            if (image_.is_audio(block * frames + f)) {
                for (uint32_t i = 0; i + 1 < kSectorBytes; i += 2) std::swap(sector[i], sector[i + 1]);
            }
        }
        return true;
    }

private:
    uint32_t frames_per_hunk() const { return image_.header.hunk_bytes / kFrameBytes; }

    bool decode_hunk(uint32_t block, std::string& why) {
        const uint32_t hunk_bytes = image_.header.hunk_bytes;
        if (image_.raw_map) {
            const uint64_t at = image_.map[block].offset;
            if (at == 0) {
                std::fill(hunk_.begin(), hunk_.end(), uint8_t{0});
                return true;
            }
            return image_.file->read(at, hunk_bytes, hunk_.data(), &why);
        }
        // A copy names an earlier hunk, which is stored itself.
        chd::Hunk hunk = image_.map[block];
        if (hunk.type == chd::kSelf) {
            if (hunk.offset >= block) return (why = "it is a copy of a hunk that does not come before it", false);
            hunk = image_.map[static_cast<size_t>(hunk.offset)];
            if (hunk.type == chd::kSelf) return (why = "it is a copy of a copy", false);
        }
        if (hunk.type == chd::kParent) return (why = "its data lies in a parent CHD", false);
        if (hunk.length > hunk_bytes || hunk.offset > image_.file->size() ||
            hunk.length > image_.file->size() - hunk.offset) {
            return (why = "its stored size (" + std::to_string(hunk.length) + " bytes) exceeds the hunk or the file", false);
        }
        if (hunk.type == chd::kUncompressed) {
            if (!image_.file->read(hunk.offset, hunk_bytes, hunk_.data(), &why)) return false;
        } else {
            stored_.resize(hunk.length);
            if (!image_.file->read(hunk.offset, hunk.length, stored_.data(), &why)) return false;
            if (!decode_cd(image_.codecs[hunk.type], stored_, why)) return false;
        }
        if (chd::crc16(hunk_) != hunk.crc) return (why = "it fails its checksum", false);
        return true;
    }

    // One hunk of a CD codec into `hunk_`.
    bool decode_cd(CdCodec codec, std::span<const uint8_t> in, std::string& why) {
        const uint32_t frames = frames_per_hunk();
        const std::span<uint8_t> base(base_.data(), size_t{frames} * kSectorBytes);
        const std::span<uint8_t> sub(sub_.data(), size_t{frames} * kSubchannelBytes);
        if (codec == CdCodec::kFlac) {
            // FLAC holds every frame's sector as samples, then Deflate the subchannel.
            uint32_t block = frames * kSectorBytes / 4;
            while (block > kSectorBytes) block /= 2;
            size_t used = 0;
            if (!decoders_.flac(in, block, base, used, why) || !decoders_.inflate(in.subspan(used), sub, why)) return false;
            assemble(frames, nullptr);
            return true;
        }
        const uint32_t ecc_bytes = (frames + 7) / 8;
        const uint32_t length_bytes = image_.header.hunk_bytes < 65536 ? 2 : 3;
        if (in.size() < ecc_bytes + length_bytes) return (why = "its data is cut short", false);
        const uint64_t base_length = codecs::be(in.data() + ecc_bytes, static_cast<int>(length_bytes));
        const size_t head = ecc_bytes + length_bytes;
        if (base_length > in.size() - head) return (why = "its codec claims more data than the hunk holds", false);
        const auto base_in = in.subspan(head, static_cast<size_t>(base_length));
        const auto sub_in = in.subspan(head + static_cast<size_t>(base_length));
        bool ok = false;
        switch (codec) {
            case CdCodec::kLzma: ok = decoders_.lzma(base_in, base, why) && decoders_.inflate(sub_in, sub, why); break;
            case CdCodec::kDeflate: ok = decoders_.inflate(base_in, base, why) && decoders_.inflate(sub_in, sub, why); break;
            case CdCodec::kZstd: ok = decoders_.zstd(base_in, base, why) && decoders_.zstd(sub_in, sub, why); break;
            default: why = "it names a codec the header does not have"; break;
        }
        if (!ok) return false;
        assemble(frames, in.data());
        return true;
    }

    // Interleaves sectors and subchannel into frames, and makes again the sync and parity of the
    // frames the bitmap marks.
    void assemble(uint32_t frames, const uint8_t* ecc_bitmap) {
        for (uint32_t f = 0; f < frames; ++f) {
            uint8_t* frame = &hunk_[size_t{f} * kFrameBytes];
            std::memcpy(frame, &base_[size_t{f} * kSectorBytes], kSectorBytes);
            std::memcpy(frame + kSectorBytes, &sub_[size_t{f} * kSubchannelBytes], kSubchannelBytes);
            if (ecc_bitmap && (ecc_bitmap[f / 8] & (1u << (f % 8)))) {
                std::memcpy(frame, codecs::kSync, sizeof codecs::kSync);
                codecs::write_ecc(frame);
            }
        }
    }

    const ChdImage& image_;
    std::vector<uint8_t> hunk_, stored_, base_, sub_;
    Decoders decoders_;
};

// An uncompressed file's hunks carry no checksum: a pass that reads every frame in order from the
// first is checked against the header's SHA-1 of the logical data, when the file has one (chdman
// leaves it zero in such files). The pass hashes the file's own frames as the reads reach them;
// the few frames that pad each track to four, which no read asks for, are taken in as it passes.
class RawPass {
public:
    explicit RawPass(const ChdImage& image) : image_(image) {}
    bool checks() const {
        return image_.raw_map && std::any_of(image_.header.raw_sha1.begin(), image_.header.raw_sha1.end(), [](uint8_t b) { return b; });
    }
    // False once a pass has read the whole file and its sum differs from the header's.
    bool advance(uint32_t first, uint32_t count) {
        constexpr uint32_t kPadding = 3;
        if (first == 0) {
            hashed_ = 0;
            following_ = true;
            sha_ = codecs::Sha1{};
        }
        if (!following_ || first + count <= hashed_) return true;
        if (first > hashed_ + kPadding) {  // a read elsewhere: this is no whole pass
            following_ = false;
            return true;
        }
        const uint32_t total = static_cast<uint32_t>(image_.header.logical_bytes / kFrameBytes);
        uint32_t to = first + count;
        if (to + kPadding >= total) to = total;  // the last track's padding
        if (!hash_frames(to)) return following_ = false, true;
        if (hashed_ == total) {
            following_ = false;
            return sha_.finish() == image_.header.raw_sha1;
        }
        return true;
    }

private:
    // The frames up to `to`, from the file as it stores them.
    bool hash_frames(uint32_t to) {
        const uint32_t per_hunk = image_.header.hunk_bytes / kFrameBytes;
        uint8_t frame[kFrameBytes];
        for (; hashed_ < to; ++hashed_) {
            const uint64_t offset = image_.map[hashed_ / per_hunk].offset;
            if (offset == 0) {
                std::fill(std::begin(frame), std::end(frame), uint8_t{0});
            } else if (!image_.file->read(offset + uint64_t{hashed_ % per_hunk} * kFrameBytes, kFrameBytes, frame)) {
                return false;
            }
            sha_.update(frame, kFrameBytes);
        }
        return true;
    }

    const ChdImage& image_;
    codecs::Sha1 sha_;
    uint32_t hashed_ = 0;  // frames of the pass in progress, from the first
    bool following_ = false;
};

class ChdSectors : public SectorSource {
public:
    explicit ChdSectors(std::unique_ptr<ChdImage> image)
        : image_(std::move(image)),
          pass_(*image_),
          cache_(static_cast<uint32_t>(image_->header.logical_bytes / kFrameBytes), image_->header.hunk_bytes / kFrameBytes,
                 [image = image_.get()] { return std::make_unique<ChdDecoder>(*image); }) {}
    uint32_t sector_count() const override { return cache_.sector_count(); }
    ReadResult read(uint32_t first, uint32_t count, uint8_t* out, std::string* why) const override {
        if (damaged()) return fail(why);
        const ReadResult result = cache_.read(first, count, out, why);
        if (result != ReadResult::kOk || !pass_.checks()) return result;
        std::lock_guard lock(pass_mutex_);
        if (!pass_.advance(first, count)) damaged_ = true;
        return damaged_ ? fail(why) : result;
    }

private:
    bool damaged() const {
        std::lock_guard lock(pass_mutex_);
        return damaged_;
    }
    static ReadResult fail(std::string* why) {
        if (why) *why = "the CHD is damaged: its data does not match the SHA-1 its header gives";
        return ReadResult::kFailed;
    }

    std::unique_ptr<ChdImage> image_;
    mutable std::mutex pass_mutex_;
    mutable RawPass pass_;
    mutable bool damaged_ = false;
    mutable BlockCache cache_;  // last, so that its workers stop before the image goes
};

bool read_header(const std::string& path, const ImageFile& file, Header& h, Problem& problem) {
    uint8_t raw[kHeaderBytes] = {};
    if (file.size() < 16 || !file.read(0, 16, raw)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD cut short in its header");
    }
    const auto length = static_cast<uint32_t>(codecs::be(raw + 8, 4)), version = static_cast<uint32_t>(codecs::be(raw + 12, 4));
    if (version < 5) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD of an older version (" + std::to_string(version) +
                                                       "); quorvex reads version 5 (convert it with chdman copy)");
    }
    if (version > 5 || length < kHeaderBytes) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD of an unknown version (" + std::to_string(version) + ")");
    }
    if (file.size() < kHeaderBytes || !file.read(0, kHeaderBytes, raw)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD cut short in its header");
    }
    for (int i = 0; i < 4; ++i) h.compressors[i] = static_cast<uint32_t>(codecs::be(raw + 16 + 4 * i, 4));
    h.logical_bytes = codecs::be(raw + 32, 8);
    h.map_offset = codecs::be(raw + 40, 8);
    h.meta_offset = codecs::be(raw + 48, 8);
    h.hunk_bytes = static_cast<uint32_t>(codecs::be(raw + 56, 4));
    h.unit_bytes = static_cast<uint32_t>(codecs::be(raw + 60, 4));
    std::copy(raw + 64, raw + 84, h.raw_sha1.begin());
    if (std::any_of(raw + 104, raw + 124, [](uint8_t b) { return b != 0; })) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD that needs a parent CHD (it stores only its differences from another file)");
    }
    if (h.unit_bytes != kFrameBytes || h.hunk_bytes == 0 || h.hunk_bytes % kFrameBytes != 0 || h.hunk_bytes > kMaxHunkBytes) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD that is not a CD image (units of " + std::to_string(h.unit_bytes) + " bytes, hunks of " +
                std::to_string(h.hunk_bytes) + ")");
    }
    if (h.logical_bytes == 0 || h.logical_bytes % kFrameBytes != 0 || h.logical_bytes / kFrameBytes > kMaxFrames) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD whose header gives an impossible size (" + std::to_string(h.logical_bytes) + " bytes)");
    }
    return true;
}

bool read_map(const std::string& path, ChdImage& image, Problem& problem) {
    const Header& h = image.header;
    const ImageFile& file = *image.file;
    const uint32_t hunks = h.hunks();
    std::string why;
    if (h.compressors[0] == 0) {
        // An uncompressed file: four bytes a hunk, its offset in hunks.
        const uint64_t bytes = uint64_t{hunks} * 4;
        std::vector<uint8_t> raw(static_cast<size_t>(bytes));
        if (h.map_offset > file.size() || bytes > file.size() - h.map_offset || !file.read(h.map_offset, raw.size(), raw.data(), &why)) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD cut short in its hunk map");
        }
        image.raw_map = true;
        image.map.resize(hunks);
        for (uint32_t i = 0; i < hunks; ++i) image.map[i].offset = codecs::be(&raw[size_t{i} * 4], 4) * h.hunk_bytes;
        return true;
    }
    uint8_t head[16];
    if (h.map_offset > file.size() || file.size() - h.map_offset < 16 || !file.read(h.map_offset, 16, head, &why)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD cut short in its hunk map");
    }
    const uint64_t map_bytes = codecs::be(head, 4);
    if (map_bytes > file.size() - h.map_offset - 16) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD cut short in its hunk map");
    }
    std::vector<uint8_t> raw(static_cast<size_t>(16 + map_bytes));
    if (!file.read(h.map_offset, raw.size(), raw.data(), &why) ||
        !chd::decode_map(raw, chd::MapShape{hunks, h.hunk_bytes, h.unit_bytes}, image.map, why)) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": " + why);
    }
    return true;
}

// The value after "KEY:" in a track's metadata text.
bool field(const std::string& text, const std::string& key, std::string& value) {
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.size() > key.size() && word.compare(0, key.size() + 1, key + ":") == 0) {
            value = word.substr(key.size() + 1);
            return true;
        }
    }
    return false;
}

bool number_field(const std::string& text, const std::string& key, uint32_t& value) {
    std::string s;
    if (!field(text, key, s) || s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
    value = static_cast<uint32_t>(std::stoul(s));
    return true;
}

bool read_tracks(const std::string& path, const ChdImage& image, std::vector<TrackInfo>& tracks, Problem& problem) {
    const ImageFile& file = *image.file;
    uint64_t at = image.header.meta_offset;
    std::map<int, TrackInfo> found;
    for (int entries = 0; at != 0; ++entries) {
        uint8_t head[16];
        if (entries > 4096 || at > file.size() || file.size() - at < 16 || !file.read(at, 16, head)) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD whose metadata is cut short or loops");
        }
        const auto tag = static_cast<uint32_t>(codecs::be(head, 4));
        const auto length = static_cast<uint32_t>(codecs::be(head + 5, 3));
        const uint64_t next = codecs::be(head + 8, 8);
        if (tag == fourcc("CHGD")) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD of a GD-ROM, not a PlayStation disc");
        }
        if (tag == fourcc("CHT2") || tag == fourcc("CHTR")) {
            if (length > 1024 || file.size() - at - 16 < length) {
                return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD whose track metadata is corrupt");
            }
            std::string text(length, '\0');
            if (!file.read(at + 16, length, reinterpret_cast<uint8_t*>(text.data()))) {
                return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD whose track metadata is corrupt");
            }
            text.resize(std::strlen(text.c_str()));
            TrackInfo t;
            uint32_t number = 0;
            if (!number_field(text, "TRACK", number) || !field(text, "TYPE", t.type) ||
                !number_field(text, "FRAMES", t.frames) || number == 0 || number > 99 || found.count(static_cast<int>(number))) {
                return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD whose track metadata is corrupt (\"" + text + "\")");
            }
            t.number = static_cast<int>(number);
            number_field(text, "PREGAP", t.pregap);
            number_field(text, "POSTGAP", t.postgap);
            field(text, "PGTYPE", t.pregap_type);
            found[t.number] = t;
        }
        at = next;
    }
    if (found.empty()) {
        return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD without CD track metadata (not a CD image, or made by an older chdman)");
    }
    int expected = found.begin()->first;
    for (const auto& [number, t] : found) {
        if (number != expected++) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": a CHD whose track metadata skips track " + std::to_string(expected - 1));
        }
        tracks.push_back(t);
    }
    return true;
}

bool open_chd_image(const std::string& path, Disc& disc, Problem& problem) {
    auto image = std::make_unique<ChdImage>();
    std::string reason;
    image->file = ImageFile::open(path, false, reason);
    if (!image->file) {
        return fail(problem, DW_ERROR_MALFORMED, path + ": cannot open: " + reason);
    }
    if (!read_header(path, *image->file, image->header, problem) || !read_map(path, *image, problem)) return false;
    const Header& h = image->header;

    // The codecs the hunks use, and whether this build has their libraries.
    for (int i = 0; i < 4; ++i) {
        if (h.compressors[i] == 0) continue;
        const auto known = std::find_if(std::begin(kCdCodecs), std::end(kCdCodecs),
                                        [&](const CodecName& c) { return c.tag == h.compressors[i]; });
        if (known == std::end(kCdCodecs)) {
            image->codecs[i] = CdCodec::kNone;
            continue;  // unused unless a hunk names it; checked below
        }
        image->codecs[i] = known->codec;
    }
    if (!image->raw_map) {
        bool used[4] = {};
        for (const chd::Hunk& hunk : image->map) {
            if (hunk.type < chd::kUncompressed) used[hunk.type] = true;
            if (hunk.type == chd::kParent) {
                return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD that needs a parent CHD (its hunk map refers to one)");
            }
        }
        for (int i = 0; i < 4; ++i) {
            if (!used[i]) continue;
            const auto known = std::find_if(std::begin(kCdCodecs), std::end(kCdCodecs),
                                            [&](const CodecName& c) { return c.tag == h.compressors[i]; });
            if (known == std::end(kCdCodecs)) {
                return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD compressed with \"" + tag_text(h.compressors[i]) +
                                                               "\", which is not a CD codec; quorvex reads cdlz, cdzl, cdzs and cdfl");
            }
            if (!have_codec(known->library)) {
                return fail(problem, DW_ERROR_UNSUPPORTED, path + ": a CHD with " + known->name + " (" + codec_name(known->library) +
                        ") hunks, which this build of quorvex cannot decode");
            }
        }
    }

    std::vector<TrackInfo> tracks;
    if (!read_tracks(path, *image, tracks, problem)) return false;
    const uint32_t stored_frames = static_cast<uint32_t>(h.logical_bytes / kFrameBytes);

    // Place the tracks: their stored frames one after the other, each padded to a multiple of four;
    // a pregap the file does not store is silence.
    struct Placed {
        uint32_t start, index01;
    };
    std::vector<Placed> placed;
    std::vector<std::pair<uint32_t, uint32_t>> audio;
    struct Span {
        uint32_t count, first;  // first frame in the file, or ~0u for silence
    };
    std::vector<Span> spans;
    uint64_t position = 0, frame = 0;
    for (const TrackInfo& t : tracks) {
        const bool raw = t.type == "MODE1_RAW" || t.type == "MODE2_RAW" || t.type == "AUDIO";
        if (!raw) {
            return fail(problem, DW_ERROR_UNSUPPORTED, path + ": track " + std::to_string(t.number) + " is stored as " + t.type +
                                                           "; quorvex reads tracks of raw 2352-byte sectors (MODE1_RAW, MODE2_RAW, AUDIO)");
        }
        const bool pregap_stored = !t.pregap_type.empty() && t.pregap_type[0] == 'V';
        if (t.frames == 0 || (pregap_stored && t.pregap > t.frames) || frame + t.frames > stored_frames) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": track " + std::to_string(t.number) + " lies beyond the end of the CHD's data");
        }
        const auto start = static_cast<uint32_t>(position);
        if (t.pregap && !pregap_stored) {
            spans.push_back(Span{t.pregap, ~0u});
            position += t.pregap;
        }
        placed.push_back(Placed{start, static_cast<uint32_t>(position + (pregap_stored ? t.pregap : 0))});
        spans.push_back(Span{t.frames, static_cast<uint32_t>(frame)});
        if (t.type == "AUDIO") audio.emplace_back(static_cast<uint32_t>(frame), static_cast<uint32_t>(frame + t.frames));
        position += t.frames;
        frame += (t.frames + 3) / 4 * 4;
        if (t.postgap) {
            spans.push_back(Span{t.postgap, ~0u});
            position += t.postgap;
        }
        if (position > kMaxFrames) {
            return fail(problem, DW_ERROR_MALFORMED, path + ": the tracks add up to more sectors than a disc can hold");
        }
    }
    image->audio = std::move(audio);
    auto source = std::make_shared<ChdSectors>(std::move(image));
    for (const Span& s : spans) disc.append(s.count, s.first == ~0u ? nullptr : source, s.first == ~0u ? 0 : s.first);
    for (size_t i = 0; i < tracks.size(); ++i) {
        const TrackInfo& t = tracks[i];
        const uint32_t next = i + 1 < placed.size() ? placed[i + 1].start : static_cast<uint32_t>(position);
        const bool audio_track = t.type == "AUDIO";
        disc.add_track(DwTrack{static_cast<uint8_t>(t.number), static_cast<uint8_t>(audio_track ? 0x00 : 0x04),
                               static_cast<uint8_t>(audio_track ? DW_TRACK_AUDIO : t.type == "MODE1_RAW" ? DW_TRACK_MODE1 : DW_TRACK_MODE2),
                               0, placed[i].index01, next > placed[i].index01 ? next - placed[i].index01 : 0});
    }
    disc.drop_front(placed.front().index01);
    return true;
}

bool probe(const ImageHead& head) { return head.starts_with("MComprHD"); }

bool open(const ImageHead& head, bool, Disc& disc, Problem& problem) {
    return open_chd_image(head.path, disc, problem);
}

}  // namespace

extern const ImageFormat kChdFormat;
const ImageFormat kChdFormat{DW_FORMAT_CHD, "CHD", probe, open, whole_file};

}  // namespace discwell
