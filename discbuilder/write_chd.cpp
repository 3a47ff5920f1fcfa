// CHD files of version 5 as `chdman createcd` lays them out: header, track metadata, hunks of
// eight 2448-byte frames, then the compressed hunk map. Hunks are compressed by the CD codec
// asked for (cdzs: Zstandard, cdzl: Deflate), with the sync and parity of sectors that can make
// them again left out; a hunk that does not shrink is stored whole, and a hunk equal to an
// earlier one is stored as a copy of it. Every file carries the SHA-1 sums chdman verify checks
// (chdman itself leaves them zero in an uncompressed file, which then cannot be checked).
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>

#include "codecs/cd_codes.h"
#include "codecs/sha1.h"
#include "discwell/chd_map.h"
#include "image_writers.h"


#if QUORVEX_HAVE_ZLIB
#include <zlib.h>
#endif
#if QUORVEX_HAVE_ZSTD
#include <zstd.h>
#endif

namespace discbuilder {
namespace {

constexpr uint32_t kFrame = 2448, kSector = 2352, kSub = 96, kHunkFrames = 8, kHunkBytes = kFrame * kHunkFrames;

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

using Sha1 = codecs::Sha1::Digest;
Sha1 sha1_of(const uint8_t* data, size_t n) { return codecs::Sha1::of(data, n); }

// The header's SHA-1 sums, which chdman verify checks: of the logical data, and over that sum
// and each checksummed metadata entry's tag and SHA-1, those in sorted order.
void put_checksums(std::vector<uint8_t>& file, std::span<const uint8_t> logical, const std::vector<std::string>& texts) {
    const Sha1 raw = sha1_of(logical.data(), logical.size());
    std::vector<std::array<uint8_t, 24>> entries;
    for (const std::string& text : texts) {
        std::array<uint8_t, 24> entry{'C', 'H', 'T', '2'};
        const Sha1 sum = sha1_of(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1);  // with its NUL
        std::copy(sum.begin(), sum.end(), entry.begin() + 4);
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<uint8_t> all(raw.begin(), raw.end());
    for (const auto& entry : entries) all.insert(all.end(), entry.begin(), entry.end());
    const Sha1 overall = sha1_of(all.data(), all.size());
    std::copy(raw.begin(), raw.end(), file.begin() + 64);
    std::copy(overall.begin(), overall.end(), file.begin() + 84);
}

}  // namespace

bool write_chd(const RawDisc& disc, ChdCodec codec, const std::string& path, std::string& error) {
    // The frames: each track's stored sectors, pregap included, padded to a multiple of four.
    std::vector<uint8_t> frames;
    std::string metadata_text;
    std::vector<std::string> texts;
    for (const TrackSpan& t : disc.tracks) {
        const uint32_t count = t.pregap + t.sectors;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* s = disc.sector(t.first_lba - t.pregap + i);
            const size_t at = frames.size();
            frames.resize(at + kFrame, 0);
            std::memcpy(&frames[at], s, kSector);
            // Audio is stored with each sample's bytes swapped.
            if (t.audio) {
                for (uint32_t b = 0; b < kSector; b += 2) std::swap(frames[at + b], frames[at + b + 1]);
            }
        }
        frames.resize(frames.size() + size_t{(4 - count % 4) % 4} * kFrame, 0);
        const char* type = t.audio ? "AUDIO" : "MODE2_RAW";
        texts.push_back("TRACK:" + std::to_string(t.number) + " TYPE:" + type + " SUBTYPE:NONE FRAMES:" +
                        std::to_string(count) + " PREGAP:" + std::to_string(t.pregap) + " PGTYPE:" +
                        (t.pregap ? std::string("V") + type : std::string("MODE1")) + " PGSUB:NONE POSTGAP:0");
    }
    const uint64_t logical = frames.size();
    frames.resize((frames.size() + kHunkBytes - 1) / kHunkBytes * kHunkBytes, 0);

    std::vector<uint8_t> file(124, 0);
    std::memcpy(file.data(), "MComprHD", 8);
    set_be(&file[8], 124, 4);
    set_be(&file[12], 5, 4);
    if (codec != ChdCodec::kNone) std::memcpy(&file[16], codec == ChdCodec::kZstd ? "cdzs" : "cdzl", 4);
    set_be(&file[32], logical, 8);
    set_be(&file[48], 124, 8);
    set_be(&file[56], kHunkBytes, 4);
    set_be(&file[60], kFrame, 4);
    for (size_t i = 0; i < texts.size(); ++i) {
        const uint64_t next = i + 1 < texts.size() ? file.size() + 16 + texts[i].size() + 1 : 0;
        put_be(file, 0x43485432, 4);  // CHT2
        file.push_back(0x01);
        put_be(file, texts[i].size() + 1, 3);
        put_be(file, next, 8);
        file.insert(file.end(), texts[i].begin(), texts[i].end());
        file.push_back(0);
    }

    const uint32_t hunks = static_cast<uint32_t>(frames.size() / kHunkBytes);
    put_checksums(file, std::span<const uint8_t>(frames.data(), static_cast<size_t>(logical)), texts);
    if (codec == ChdCodec::kNone) {
        // An uncompressed file: the map (each hunk's place, in hunks) then the hunks, aligned.
        const size_t map_at = file.size();
        set_be(&file[40], map_at, 8);
        file.resize(map_at + size_t{hunks} * 4);
        const size_t first = (file.size() + kHunkBytes - 1) / kHunkBytes;
        for (uint32_t h = 0; h < hunks; ++h) set_be(&file[map_at + size_t{h} * 4], first + h, 4);
        file.resize(first * kHunkBytes);
        file.insert(file.end(), frames.begin(), frames.end());
        return write_file(path, file, error);
    }

    std::vector<discwell::chd::Hunk> map(hunks);
    std::map<std::string, uint32_t> seen;  // a hunk's bytes, and the first hunk that held them
    const uint64_t first_offset = file.size();
    std::vector<uint8_t> stored;
    for (uint32_t h = 0; h < hunks; ++h) {
        disc.report(h * kHunkFrames);
        const std::span<const uint8_t> hunk(&frames[size_t{h} * kHunkBytes], kHunkBytes);
        std::string key(reinterpret_cast<const char*>(hunk.data()), hunk.size());
        if (auto it = seen.find(key); it != seen.end()) {
            map[h] = discwell::chd::Hunk{discwell::chd::kSelf, 0, it->second, 0};
            continue;
        }
        seen.emplace(std::move(key), h);
        const uint16_t crc = discwell::chd::crc16(hunk);
        if (!compress_hunk(codec, hunk.data(), stored)) {
            error = path + ": this build cannot compress with " + (codec == ChdCodec::kZstd ? "Zstandard" : "Deflate");
            return false;
        }
        if (stored.size() < kHunkBytes) {
            map[h] = discwell::chd::Hunk{discwell::chd::kCodec0, static_cast<uint32_t>(stored.size()), 0, crc};
            file.insert(file.end(), stored.begin(), stored.end());
        } else {
            map[h] = discwell::chd::Hunk{discwell::chd::kUncompressed, kHunkBytes, 0, crc};
            file.insert(file.end(), hunk.begin(), hunk.end());
        }
    }
    set_be(&file[40], file.size(), 8);
    const auto encoded = discwell::chd::encode_map(map, first_offset);
    file.insert(file.end(), encoded.begin(), encoded.end());
    return write_file(path, file, error);
}

}  // namespace discbuilder
