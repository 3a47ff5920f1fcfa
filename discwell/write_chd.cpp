// CHD files of version 5, written a hunk at a time: the header (its map offset and SHA-1 sums
// filled in at the end), the track metadata, the hunks as they are compressed, then the map.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "../codecs/cd_codes.h"
#include "../codecs/sha1.h"
#include "chd_map.h"
#include "image_writers.h"

#if QUORVEX_HAVE_ZLIB
#include <zlib.h>
#endif
#if QUORVEX_HAVE_ZSTD
#include <zstd.h>
#endif

namespace discwell {
namespace {

constexpr uint32_t kFrame = 2448, kSector = 2352, kSub = 96, kHunkFrames = 8, kHunkBytes = kFrame * kHunkFrames;
constexpr uint32_t kHeaderBytes = 124;

void put_be(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void set_be(uint8_t* p, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

bool compress([[maybe_unused]] ChdCodec codec, std::span<const uint8_t> in, std::vector<uint8_t>& out) {
    out.clear();
#if QUORVEX_HAVE_ZSTD
    if (codec == ChdCodec::kZstd) {
        out.resize(ZSTD_compressBound(in.size()));
        const size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 19);
        if (ZSTD_isError(n)) return false;
        out.resize(n);
        return true;
    }
#endif
#if QUORVEX_HAVE_ZLIB
    if (codec == ChdCodec::kDeflate) {
        z_stream z{};
        if (deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
        out.resize(deflateBound(&z, static_cast<uLong>(in.size())));
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int result = deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return result == Z_STREAM_END;
    }
#endif
    (void)in;
    return false;
}

// One hunk by a CD codec: the bitmap of frames whose sync and parity were left out, the size of
// the compressed sectors, the compressed sectors, the compressed subchannel.
bool compress_hunk(ChdCodec codec, const uint8_t* hunk, std::vector<uint8_t>& out) {
    std::vector<uint8_t> sectors(kHunkFrames * kSector), sub(kHunkFrames * kSub);
    uint8_t bitmap[kHunkFrames / 8] = {};
    for (uint32_t f = 0; f < kHunkFrames; ++f) {
        uint8_t* s = &sectors[f * kSector];
        std::memcpy(s, hunk + f * kFrame, kSector);
        std::memcpy(&sub[f * kSub], hunk + f * kFrame + kSector, kSub);
        if (std::memcmp(s, codecs::kSync, 12) == 0 && (s[15] == 1 || s[15] == 2) && codecs::ecc_matches(s)) {
            bitmap[f / 8] = static_cast<uint8_t>(bitmap[f / 8] | (1u << (f % 8)));
            std::memset(s, 0, 12);
            std::memset(s + 2076, 0, kSector - 2076);
        }
    }
    std::vector<uint8_t> base, subcode;
    if (!compress(codec, sectors, base) || !compress(codec, sub, subcode)) return false;
    out.assign(bitmap, bitmap + sizeof bitmap);
    put_be(out, base.size(), 2);
    out.insert(out.end(), base.begin(), base.end());
    out.insert(out.end(), subcode.begin(), subcode.end());
    return true;
}

// The logical data a hunk at a time: each track's sectors (pregap included) as frames with an
// empty subchannel, audio with each sample's bytes swapped, each track padded to four frames.
class Frames {
public:
    Frames(const SectorFeed& feed, const std::vector<TrackSpan>& tracks) : feed_(feed) {
        for (const TrackSpan& t : tracks) {
            const uint32_t count = t.pregap + t.sectors;
            runs_.push_back({t.first_lba - t.pregap, count, t.audio});
            if (count % 4) runs_.push_back({0, 4 - count % 4, false, true});
            logical_ += uint64_t{(count + 3) / 4 * 4} * kFrame;
        }
    }
    uint64_t logical_bytes() const { return logical_; }
    uint32_t hunks() const { return static_cast<uint32_t>((logical_ + kHunkBytes - 1) / kHunkBytes); }

    // The next hunk's frames (past the data: zeros).
    bool next(uint8_t* hunk, std::string& error) {
        std::memset(hunk, 0, kHunkBytes);
        uint8_t sector[kSector];
        for (uint32_t f = 0; f < kHunkFrames && run_ < runs_.size(); ++f) {
            const Run& r = runs_[run_];
            if (!r.padding) {
                if (!feed_.read(r.first + at_, 1, sector, error)) return false;
                uint8_t* frame = hunk + size_t{f} * kFrame;
                std::memcpy(frame, sector, kSector);
                if (r.audio) {
                    for (uint32_t b = 0; b < kSector; b += 2) std::swap(frame[b], frame[b + 1]);
                }
            }
            if (++at_ == r.count) ++run_, at_ = 0;
        }
        return true;
    }

private:
    struct Run {
        uint32_t first, count;
        bool audio;
        bool padding = false;
    };
    const SectorFeed& feed_;
    std::vector<Run> runs_;
    uint64_t logical_ = 0;
    size_t run_ = 0;
    uint32_t at_ = 0;
};

std::vector<std::string> track_texts(const std::vector<TrackSpan>& tracks) {
    std::vector<std::string> texts;
    for (const TrackSpan& t : tracks) {
        const char* type = t.audio ? "AUDIO" : t.mode == 1 ? "MODE1_RAW" : "MODE2_RAW";
        texts.push_back("TRACK:" + std::to_string(t.number) + " TYPE:" + type + " SUBTYPE:NONE FRAMES:" +
                        std::to_string(t.pregap + t.sectors) + " PREGAP:" + std::to_string(t.pregap) + " PGTYPE:" +
                        (t.pregap ? std::string("V") + type : std::string("MODE1")) + " PGSUB:NONE POSTGAP:0");
    }
    return texts;
}

// The header's SHA-1 sums, which chdman verify checks: of the logical data, and over that sum
// and each checksummed metadata entry's tag and SHA-1, those in sorted order.
void put_checksums(uint8_t* header, const codecs::Sha1::Digest& raw, const std::vector<std::string>& texts) {
    std::vector<std::array<uint8_t, 24>> entries;
    for (const std::string& text : texts) {
        std::array<uint8_t, 24> entry{'C', 'H', 'T', '2'};
        const auto sum = codecs::Sha1::of(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1);  // with its NUL
        std::copy(sum.begin(), sum.end(), entry.begin() + 4);
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<uint8_t> all(raw.begin(), raw.end());
    for (const auto& entry : entries) all.insert(all.end(), entry.begin(), entry.end());
    const auto overall = codecs::Sha1::of(all.data(), all.size());
    std::copy(raw.begin(), raw.end(), header + 64);
    std::copy(overall.begin(), overall.end(), header + 84);
}

class Output {
public:
    explicit Output(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {}
    ~Output() {
        if (file_) std::fclose(file_);
    }
    bool ok() const { return file_ && good_; }
    uint64_t at() const { return at_; }
    void write(const uint8_t* data, size_t n) {
        if (!ok()) return;
        good_ = std::fwrite(data, 1, n, file_) == n;
        at_ += n;
    }
    void write(const std::vector<uint8_t>& bytes) { write(bytes.data(), bytes.size()); }
    void rewrite(uint64_t offset, const uint8_t* data, size_t n) {
        if (!ok()) return;
        good_ = std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0 && std::fwrite(data, 1, n, file_) == n;
    }
    bool close(std::string& error) {
        const bool closed = file_ && std::fclose(file_) == 0;
        file_ = nullptr;
        if (!closed || !good_) error = path_ + ": cannot be written";
        return closed && good_;
    }

private:
    std::string path_;
    std::FILE* file_;
    bool good_ = true;
    uint64_t at_ = 0;
};

}  // namespace

bool MemoryFeed::read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const {
    if (lba > sector_count() || count > sector_count() - lba) {
        error = "sector " + std::to_string(lba) + " lies past the disc's end";
        return false;
    }
    std::memcpy(out, sectors_.data() + size_t{lba} * kSector, size_t{count} * kSector);
    return true;
}

bool write_chd(const SectorFeed& feed, const std::vector<TrackSpan>& tracks, ChdCodec codec, const std::string& path,
               std::string& error, const WriteProgress& progress) {
    Frames frames(feed, tracks);
    const std::vector<std::string> texts = track_texts(tracks);
    std::vector<uint8_t> head(kHeaderBytes, 0);
    std::memcpy(head.data(), "MComprHD", 8);
    set_be(&head[8], kHeaderBytes, 4);
    set_be(&head[12], 5, 4);
    if (codec != ChdCodec::kNone) std::memcpy(&head[16], codec == ChdCodec::kZstd ? "cdzs" : "cdzl", 4);
    set_be(&head[32], frames.logical_bytes(), 8);
    set_be(&head[48], kHeaderBytes, 8);
    set_be(&head[56], kHunkBytes, 4);
    set_be(&head[60], kFrame, 4);
    for (size_t i = 0; i < texts.size(); ++i) {
        const uint64_t next = i + 1 < texts.size() ? head.size() + 16 + texts[i].size() + 1 : 0;
        put_be(head, 0x43485432, 4);  // CHT2
        head.push_back(0x01);
        put_be(head, texts[i].size() + 1, 3);
        put_be(head, next, 8);
        head.insert(head.end(), texts[i].begin(), texts[i].end());
        head.push_back(0);
    }
    const uint32_t hunks = frames.hunks();
    const uint32_t total = feed.sector_count();
    Output out(path);
    std::vector<uint8_t> hunk(kHunkBytes), stored;
    codecs::Sha1 sha;
    uint64_t logical_left = frames.logical_bytes();
    const auto take = [&](uint32_t h) {
        if (!frames.next(hunk.data(), error)) return false;
        const uint64_t n = std::min<uint64_t>(logical_left, kHunkBytes);
        sha.update(hunk.data(), static_cast<size_t>(n));
        logical_left -= n;
        if (progress) progress(std::min(total, h * kHunkFrames), total);
        return true;
    };

    if (codec == ChdCodec::kNone) {
        // An uncompressed file: the map (each hunk's place, in hunks) then the hunks, aligned.
        set_be(&head[40], head.size(), 8);
        const size_t map_at = head.size();
        head.resize(map_at + size_t{hunks} * 4);
        const size_t first = (head.size() + kHunkBytes - 1) / kHunkBytes;
        for (uint32_t h = 0; h < hunks; ++h) set_be(&head[map_at + size_t{h} * 4], first + h, 4);
        head.resize(first * kHunkBytes);
        out.write(head);
        for (uint32_t h = 0; h < hunks && out.ok(); ++h) {
            if (!take(h)) return false;
            out.write(hunk);
        }
    } else {
        out.write(head);
        std::vector<chd::Hunk> map(hunks);
        std::map<codecs::Sha1::Digest, uint32_t> seen;  // a hunk's sum, and the first hunk that held it
        const uint64_t first_offset = out.at();
        for (uint32_t h = 0; h < hunks && out.ok(); ++h) {
            if (!take(h)) return false;
            const auto sum = codecs::Sha1::of(hunk.data(), hunk.size());
            if (auto it = seen.find(sum); it != seen.end()) {
                map[h] = chd::Hunk{chd::kSelf, 0, it->second, 0};
                continue;
            }
            seen.emplace(sum, h);
            const uint16_t crc = chd::crc16(hunk);
            if (!compress_hunk(codec, hunk.data(), stored)) {
                error = path + ": this build cannot compress with " + (codec == ChdCodec::kZstd ? "Zstandard" : "Deflate");
                return false;
            }
            if (stored.size() < kHunkBytes) {
                map[h] = chd::Hunk{chd::kCodec0, static_cast<uint32_t>(stored.size()), 0, crc};
                out.write(stored);
            } else {
                map[h] = chd::Hunk{chd::kUncompressed, kHunkBytes, 0, crc};
                out.write(hunk);
            }
        }
        set_be(&head[40], out.at(), 8);
        out.write(chd::encode_map(map, first_offset));
    }
    put_checksums(head.data(), sha.finish(), texts);
    out.rewrite(0, head.data(), kHeaderBytes);
    if (progress) progress(total, total);
    return out.close(error);
}

}  // namespace discwell
