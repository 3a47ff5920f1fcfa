#include "mdec_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace codecs {
namespace {

constexpr uint16_t kEndCode = 0xFE00;

int32_t signed10(uint16_t word) { return static_cast<int32_t>(word & 0x3FF) - ((word & 0x200) ? 0x400 : 0); }

// The bitstream: 16-bit little-endian words, read from their top bit down. Past the end it
// reads zeros and says so. refill() makes at least 33 bits ready, more than one block's DC or one
// coefficient's code takes; show, drop and take then work on what is ready.
class Bits {
public:
    explicit Bits(std::span<const uint8_t> bytes) : bytes_(bytes), limit_(uint64_t{bytes.size() / 2} * 16) {}
    void refill() {
        if (held_ > 32) return;
        // Two words at once where the frame holds both, else one at a time.
        if (at_ + 3 < bytes_.size()) {
            const uint64_t words = uint64_t{bytes_[at_]} << 16 | uint64_t{bytes_[at_ + 1]} << 24 | bytes_[at_ + 2] |
                                   uint64_t{bytes_[at_ + 3]} << 8;
            cache_ |= words << (32 - held_);
            at_ += 4;
            held_ += 32;
            return;
        }
        while (held_ <= 48) {
            uint64_t word = 0;
            if (at_ + 1 < bytes_.size()) word = static_cast<uint64_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
            at_ += 2;
            cache_ |= word << (48 - held_);
            held_ += 16;
        }
    }
    uint32_t show(int n) const { return n ? static_cast<uint32_t>(cache_ >> (64 - n)) : 0; }
    void drop(int n) {
        cache_ = n < 64 ? cache_ << n : 0;
        held_ -= n;
    }
    uint32_t take(int n) {
        const uint32_t v = show(n);
        drop(n);
        return v;
    }
    bool overrun() const { return used() > limit_; }
    bool ends_within(int n) const { return used() + static_cast<uint64_t>(n) > limit_; }

private:
    uint64_t used() const { return uint64_t{at_} * 8 - static_cast<uint64_t>(held_); }
    std::span<const uint8_t> bytes_;
    uint64_t limit_;
    size_t at_ = 0;
    uint64_t cache_ = 0;
    int held_ = 0;
};

// The MPEG-1 coefficient codes with their sign bit, found by the next 17 bits: the length taken
// (sign included) and the run and signed level. A code with a 1 in its first six bits is at
// most 8 bits long and is found by the first 9; the others begin with six 0s and are found by the
// 11 bits after them. Both tables together fit the first-level cache.
enum class AcCodeKind : uint8_t { kNone, kRunLevel, kEscape, kEndOfBlock };
struct AcEntry {
    uint8_t length = 0;
    uint8_t run = 0;
    int8_t level = 0;
    AcCodeKind kind = AcCodeKind::kNone;
};
class AcCodes {
public:
    AcCodes() {
        for (const AcCode& c : kAcCodes) {
            const uint8_t length = static_cast<uint8_t>(c.code.length + 1);
            put(uint32_t{c.code.bits} << 1, length, {length, c.run, static_cast<int8_t>(c.level), AcCodeKind::kRunLevel});
            put(uint32_t{c.code.bits} << 1 | 1, length, {length, c.run, static_cast<int8_t>(-c.level), AcCodeKind::kRunLevel});
        }
        put(kEscape.bits, kEscape.length, {kEscape.length, 0, 0, AcCodeKind::kEscape});
        put(kEndOfBlock.bits, kEndOfBlock.length, {kEndOfBlock.length, 0, 0, AcCodeKind::kEndOfBlock});
    }
    AcEntry operator[](uint32_t next17) const { return next17 >> 11 ? short_[next17 >> 8] : long_[next17 & 0x7FF]; }

private:
    void put(uint32_t bits, int length, AcEntry e) {
        const uint32_t top = bits << (17 - length);  // the code in the top of 17 bits
        const bool short_code = top >> 11 != 0;
        const int index_bits = short_code ? 9 : 11, used = short_code ? length : length - 6;
        const uint32_t first = short_code ? top >> 8 : top & 0x7FF;
        for (uint32_t tail = 0; tail < (1u << (index_bits - used)); ++tail) (short_code ? short_ : long_)[first | tail] = e;
    }
    AcEntry short_[512], long_[2048];
};

// A DC difference's size by its code (version 3), found by the next 10 bits: the codes of each
// table are free of prefixes, and none is longer than 10 bits.
class DcSizes {
public:
    explicit DcSizes(const Code (&codes)[12]) {
        for (int size = 0; size < 12; ++size) {
            const Code c = codes[size];
            for (uint32_t tail = 0; tail < (1u << (10 - c.length)); ++tail) {
                entries_[uint32_t{c.bits} << (10 - c.length) | tail] = {static_cast<int8_t>(size), c.length};
            }
        }
    }
    // The size, or -1 for bits no code begins.
    int read(Bits& bits) const {
        const Entry e = entries_[bits.show(10)];
        bits.drop(e.length);
        return e.size;
    }

private:
    struct Entry {
        int8_t size = -1;
        uint8_t length = 0;
    };
    Entry entries_[1024];
};

}  // namespace

namespace {

// ---- Dequantisation -------------------------------------------------------------------------
//
// The console turns a level into a 12-bit coefficient with one fractional bit: the level's
// magnitude times the matrix and the scale (the DC's times the matrix and 8), over 8, then half a
// step towards zero. Positive products are rounded to the nearest step first and negative ones
// down, so both lose the same half step: 2 x floor((x + 4) / 8) - 1 and 2 x floor(x / 8) + 1.
// With a scale of 0 the matrix is bypassed: every level times 4, in zigzag order as it came.

constexpr int32_t kCoefficientMin = -2048, kCoefficientMax = 2047;

constexpr int16_t dequantised(int32_t level, int32_t factor) {
    if (factor == 0) return static_cast<int16_t>(std::clamp(level * 4, kCoefficientMin, kCoefficientMax));
    const int32_t negative = level >> 31;  // 0 or -1
    const int32_t v = 2 * ((level * factor + (4 & ~negative)) >> 3) - 1 - 2 * negative;
    return level ? static_cast<int16_t>(std::clamp(v, kCoefficientMin, kCoefficientMax)) : int16_t{0};
}

// The quantisation matrix the games load: the MPEG-1 intra matrix with 2 for the DC, in zigzag
// order.
constexpr std::array<int32_t, 64> kMatrix = [] {
    std::array<int32_t, 64> m{};
    for (int k = 0; k < 64; ++k) m[size_t(k)] = k == 0 ? 2 : kIntraMatrix[kZigzag[k]];
    return m;
}();

// A frame's dequantisation: for each zigzag place, what a level is multiplied by (0: the matrix is
// bypassed), where its coefficient goes, and that place's column as a bit.
struct Dequantiser {
    explicit Dequantiser(int32_t scale) {
        for (int k = 0; k < 64; ++k) {
            const int place = scale == 0 ? k : kZigzag[k];
            const int32_t factor = scale == 0 ? 0 : kMatrix[size_t(k)] * (k == 0 ? 8 : scale);
            slots[k] = {factor, static_cast<uint8_t>(place), static_cast<uint8_t>(1u << (place % 8))};
        }
    }
    struct Slot {
        int32_t factor;
        uint8_t place, column;
    } slots[64];
};

// ---- The inverse DCT ------------------------------------------------------------------------
//
// Two passes of out[x + 8y] = sum over z of in[y + 8z] x table[x + 8z], as the console's two
// multiply-accumulate units do them. Each product loses its lowest 7 bits as it is added (the
// units keep only the carry out of them) into a 17-bit accumulator. The first pass takes the
// table's upper 13 bits and keeps its sum's upper 13 bits (>> 4); the second takes the table's
// upper 12 bits and keeps its sum's upper 10 bits (>> 7), which a signed halving rounding up,
// (v + 1) >> 1, brings to the pixel, clamped to -128..127 when it is placed.
//
// A 17-bit accumulator wraps as modular arithmetic does, so wrapping the whole sum once is the
// same as wrapping each addition. An input column that holds zeros only gives a first-pass row
// of zeros, and a row of zeros adds nothing to a sum: only the coefficients and the columns that
// hold something are summed.

constexpr std::array<int16_t, 64> table_bits(int shift) {
    std::array<int16_t, 64> t{};
    for (int i = 0; i < 64; ++i) t[size_t(i)] = static_cast<int16_t>(kIdctScale[i] >> shift);
    return t;
}
constexpr std::array<int16_t, 64> kFirstTable = table_bits(3), kSecondTable = table_bits(4);
static_assert(std::all_of(kFirstTable.begin(), kFirstTable.begin() + 8, [](int16_t v) { return v == kFirstTable[0]; }));
static_assert(std::all_of(kSecondTable.begin(), kSecondTable.begin() + 8, [](int16_t v) { return v == kSecondTable[0]; }));

constexpr int32_t wrap17(int32_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) << 15) >> 15; }
constexpr int32_t first_pass_value(int32_t sum) { return wrap17(sum) >> 4; }
constexpr int32_t second_pass_value(int32_t sum) { return ((wrap17(sum) >> 7) + 1) >> 1; }

// The nonzero coefficients of a block: their natural places (a place holding 0 adds nothing), and
// the columns they lie in, a bit each.
struct Coefficients {
    const int16_t* block;
    const uint8_t* places;
    int count;
    uint8_t columns;
};

// The first pass leaves row y of its results from input column y alone, so it is summed one
// coefficient at a time, into the rows of the columns that hold something; the second pass sums
// those rows.
void idct_scalar(const Coefficients& in, int16_t out[64]) {
    int32_t sums[8][8] = {};
    for (int i = 0; i < in.count; ++i) {
        const int place = in.places[i], y = place % 8, z = place / 8;
        const int32_t c = in.block[place];
        for (int x = 0; x < 8; ++x) sums[y][x] += (c * kFirstTable[size_t(x + 8 * z)]) >> 7;
    }
    int32_t first[8][8];
    for (int z = 0; z < 8; ++z) {
        for (int x = 0; x < 8; ++x) first[z][x] = first_pass_value(sums[z][x]);
    }
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            int32_t sum = 0;
            for (int z = 0; z < 8; ++z) {
                if (in.columns >> z & 1) sum += (first[z][y] * kSecondTable[size_t(x + 8 * z)]) >> 7;
            }
            out[x + 8 * y] = static_cast<int16_t>(second_pass_value(sum));
        }
    }
}

using IdctPasses = void (*)(const Coefficients& in, int16_t out[64]);

#if defined(__SSE2__)
// The vector ways take each product whole: pmaddwd of a table value beside a zero and a value
// beside anything. Their lanes are x: a row of a table against one value.
struct alignas(32) TableRows {
    int32_t lanes[8][8];  // row z of a table, each value in the low half of its lane
};
constexpr TableRows table_rows(const std::array<int16_t, 64>& table) {
    TableRows r{};
    for (int z = 0; z < 8; ++z) {
        for (int x = 0; x < 8; ++x) r.lanes[z][x] = int32_t(uint16_t(table[size_t(x + 8 * z)]));
    }
    return r;
}
constexpr TableRows kFirstRows = table_rows(kFirstTable), kSecondRows = table_rows(kSecondTable);

__m128i row_half(const TableRows& t, int z, int half) { return _mm_load_si128(reinterpret_cast<const __m128i*>(t.lanes[z] + 4 * half)); }
__m128i product_sum(__m128i sum, __m128i table, __m128i value) { return _mm_add_epi32(sum, _mm_srai_epi32(_mm_madd_epi16(table, value), 7)); }
__m128i first_values(__m128i sum) { return _mm_srai_epi32(_mm_slli_epi32(sum, 15), 19); }
__m128i second_values(__m128i sum) {
    return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(_mm_slli_epi32(sum, 15), 22), _mm_set1_epi32(1)), 1);
}

void idct_sse2(const Coefficients& in, int16_t out[64]) {
    __m128i sums[8][2];
    for (int z = 0; z < 8; ++z) {
        if (in.columns >> z & 1) sums[z][0] = sums[z][1] = _mm_setzero_si128();
    }
    for (int i = 0; i < in.count; ++i) {
        const int place = in.places[i], y = place % 8, z = place / 8;
        const __m128i c = _mm_set1_epi32(in.block[place]);
        sums[y][0] = product_sum(sums[y][0], row_half(kFirstRows, z, 0), c);
        sums[y][1] = product_sum(sums[y][1], row_half(kFirstRows, z, 1), c);
    }
    alignas(16) int32_t first[8][8];
    int used[8], n = 0;
    for (int z = 0; z < 8; ++z) {
        if (!(in.columns >> z & 1)) continue;
        _mm_store_si128(reinterpret_cast<__m128i*>(first[z]), first_values(sums[z][0]));
        _mm_store_si128(reinterpret_cast<__m128i*>(first[z] + 4), first_values(sums[z][1]));
        used[n++] = z;
    }
    // Column 0 always holds the DC, and the second table's first row is one value.
    for (int y = 0; y < 8; ++y) {
        __m128i a = _mm_set1_epi32((first[0][y] * kSecondTable[0]) >> 7), b = a;
        for (int i = 1; i < n; ++i) {
            const int z = used[i];
            const __m128i v = _mm_set1_epi32(first[z][y]);
            a = product_sum(a, row_half(kSecondRows, z, 0), v);
            b = product_sum(b, row_half(kSecondRows, z, 1), v);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * y), _mm_packs_epi32(second_values(a), second_values(b)));
    }
}

// Not in Windows builds: MinGW's GCC does not align the stack for 32-byte values it spills.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define QUORVEX_IDCT_AVX2 1
// AVX2 takes a whole row of eight lanes in one pmaddwd; the second pass broadcasts its value
// straight from the first pass's row in a register.
__attribute__((target("avx2"))) void idct_avx2(const Coefficients& in, int16_t out[64]) {
    __m256i rows[8];
    for (int z = 0; z < 8; ++z) {
        if (in.columns >> z & 1) rows[z] = _mm256_setzero_si256();
    }
    for (int i = 0; i < in.count; ++i) {
        const int place = in.places[i], y = place % 8, z = place / 8;
        if (z == 0) {  // the first table's first row is one value: one product for the row
            rows[y] = _mm256_add_epi32(rows[y], _mm256_set1_epi32((in.block[place] * kFirstTable[0]) >> 7));
            continue;
        }
        const __m256i product = _mm256_madd_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(kFirstRows.lanes[z])),
                                                  _mm256_set1_epi32(in.block[place]));
        rows[y] = _mm256_add_epi32(rows[y], _mm256_srai_epi32(product, 7));
    }
    __m256i table[8];
    int n = 0;
    for (int z = 0; z < 8; ++z) {
        if (!(in.columns >> z & 1)) continue;
        rows[n] = _mm256_srai_epi32(_mm256_slli_epi32(rows[z], 15), 19);
        table[n++] = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSecondRows.lanes[z]));
    }
    // Column 0 always holds the DC, and the second table's first row is one value: its products
    // are one a row, for all eight rows at once.
    const __m256i by_row = _mm256_srai_epi32(_mm256_madd_epi16(rows[0], _mm256_set1_epi32(int32_t(uint16_t(kSecondTable[0])))), 7);
    const __m256i one = _mm256_set1_epi32(1);
    if (n == 1) {  // column 0 alone: every output row is one value
        const __m256i v = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(_mm256_slli_epi32(by_row, 15), 22), one), 1);
        const __m128i row_values = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        alignas(16) int16_t values[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(values), row_values);
        for (int y = 0; y < 8; ++y) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * y), _mm_set1_epi16(values[y]));
        return;
    }
    for (int y = 0; y < 8; y += 2) {
        const __m256i pick_a = _mm256_set1_epi32(y), pick_b = _mm256_set1_epi32(y + 1);
        __m256i a = _mm256_permutevar8x32_epi32(by_row, pick_a), b = _mm256_permutevar8x32_epi32(by_row, pick_b);
        for (int i = 1; i < n; ++i) {
            a = _mm256_add_epi32(a, _mm256_srai_epi32(_mm256_madd_epi16(table[i], _mm256_permutevar8x32_epi32(rows[i], pick_a)), 7));
            b = _mm256_add_epi32(b, _mm256_srai_epi32(_mm256_madd_epi16(table[i], _mm256_permutevar8x32_epi32(rows[i], pick_b)), 7));
        }
        a = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(_mm256_slli_epi32(a, 15), 22), one), 1);
        b = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(_mm256_slli_epi32(b, 15), 22), one), 1);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);  // a's 8, then b's 8
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * y), packed);
    }
}
#endif
#endif

IdctPasses idct_passes(IdctWay way) {
    switch (way) {
#if defined(__SSE2__)
        case IdctWay::kSse2:
            return idct_sse2;
#endif
#if defined(QUORVEX_IDCT_AVX2)
        case IdctWay::kAvx2:
            return idct_avx2;
#endif
        default:
            return idct_scalar;
    }
}

// The fastest way this machine has.
IdctWay best_idct_way() {
    static const IdctWay best = mdec_idct_ways().back();
    return best;
}

void idct_sparse(const Coefficients& in, int16_t out[64], IdctPasses passes) {
    if (in.count == 1 && in.places[0] == 0) {
        // The DC alone: the tables' first rows are one value each, so each pass gives one value.
        const int32_t first = first_pass_value((in.block[0] * kFirstTable[0]) >> 7);
        std::fill_n(out, 64, static_cast<int16_t>(second_pass_value((first * kSecondTable[0]) >> 7)));
        return;
    }
    passes(in, out);
}

// A block's values clamped to -128..127 and offset by 128, into its plane's rows.
void put_pixels(const int16_t pixels[64], uint8_t* to, size_t stride) {
#if defined(__SSE2__)
    const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
    for (int row = 0; row < 8; ++row, to += stride) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 8 * row));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_xor_si128(_mm_packs_epi16(v, v), offset));
    }
#else
    for (int row = 0; row < 8; ++row, to += stride) {
        for (int col = 0; col < 8; ++col) to[col] = static_cast<uint8_t>(std::clamp<int16_t>(pixels[row * 8 + col], -128, 127) + 128);
    }
#endif
}

// ---- Macroblocks into planes ----------------------------------------------------------------

// The planes a frame's macroblocks (16x16, taken column by column: Cr, Cb, then the four luma
// blocks) are decoded into, at the macroblocks' full size, then cut to the picture's.
class PlaneWriter {
public:
    PlaneWriter(uint32_t width, uint32_t height, Picture& planes)
        : planes_(planes), width_(width), height_(height), mb_height_(int(height + 15) / 16),
          full_width_(int(width + 15) / 16 * 16), full_height_(mb_height_ * 16),
          passes_(idct_passes(best_idct_way())) {
        planes.y.resize(size_t(full_width_) * size_t(full_height_));
        planes.cb.resize(size_t(full_width_ / 2) * size_t(full_height_ / 2));
        planes.cr.resize(planes.cb.size());
    }
    int macroblocks() const { return full_width_ / 16 * mb_height_; }

    // Macroblock `m`'s six blocks go to these places.
    void begin(int m) {
        const int mx = m / mb_height_, my = m % mb_height_;
        const size_t luma = size_t(full_width_), chroma = luma / 2;
        to_[0] = &planes_.cr[size_t(my * 8) * chroma + size_t(mx * 8)];
        to_[1] = &planes_.cb[size_t(my * 8) * chroma + size_t(mx * 8)];
        for (int b = 2; b < 6; ++b) to_[b] = &planes_.y[size_t(my * 16 + (b - 2) / 2 * 8) * luma + size_t(mx * 16 + (b - 2) % 2 * 8)];
    }

    // Block `b` (0 Cr, 1 Cb, 2-5 luma) of the macroblock begun, from its coefficients in natural
    // order; the places `placed` are zeroed again for the next block.
    void put(int b, int16_t block[64], uint8_t columns, const uint8_t* placed, int count) {
        int16_t pixels[64];
        idct_sparse({block, placed, count, columns}, pixels, passes_);
        for (int i = 0; i < count; ++i) block[placed[i]] = 0;
        put_pixels(pixels, to_[b], size_t(b >= 2 ? full_width_ : full_width_ / 2));
    }

    // The picture's own size, from the macroblocks that cover it: each row moves back to its
    // place in the smaller picture (never over a row still to move).
    void finish() {
        planes_.width = static_cast<uint16_t>(width_);
        planes_.height = static_cast<uint16_t>(height_);
        const auto cut = [](std::vector<uint8_t>& plane, size_t from_width, size_t to_width, size_t rows) {
            if (from_width != to_width) {
                for (size_t row = 1; row < rows; ++row) std::memmove(&plane[row * to_width], &plane[row * from_width], to_width);
            }
            plane.resize(to_width * rows);
        };
        cut(planes_.y, size_t(full_width_), width_, height_);
        cut(planes_.cb, size_t(full_width_ / 2), size_t(width_ + 1) / 2, size_t(height_ + 1) / 2);
        cut(planes_.cr, size_t(full_width_ / 2), size_t(width_ + 1) / 2, size_t(height_ + 1) / 2);
    }

private:
    Picture& planes_;
    uint32_t width_, height_;
    int mb_height_, full_width_, full_height_;
    IdctPasses passes_;
    uint8_t* to_[6] = {};
};

// One block's coefficients as they are read: the DC word's level, then runs and levels.
class BlockBuilder {
public:
    void start(const Dequantiser& dequantiser, int32_t dc) {
        d_ = &dequantiser;
        block_[d_->slots[0].place] = dequantised(dc, d_->slots[0].factor);
        placed_[0] = d_->slots[0].place;
        count_ = 1;
        columns_ = d_->slots[0].column;
        k_ = 0;
    }
    // False when the run takes the block past its 63rd coefficient.
    bool add(int32_t run, int32_t level) {
        k_ += run + 1;
        if (k_ > 63) return false;
        const Dequantiser::Slot& slot = d_->slots[k_];
        block_[slot.place] = dequantised(level, slot.factor);
        placed_[count_++] = slot.place;
        columns_ |= slot.column;
        return true;
    }
    bool full() const { return k_ == 63; }
    void put(PlaneWriter& writer, int b) { writer.put(b, block_, columns_, placed_, count_); }

private:
    const Dequantiser* d_ = nullptr;
    int16_t block_[64] = {};
    uint8_t placed_[64] = {};
    int count_ = 0, k_ = 0;
    uint8_t columns_ = 1;
};

constexpr int16_t clamp_channel(int32_t v) {
    // The sum keeps 9 bits with their sign before it is clamped: one past them wraps.
    const int32_t nine = static_cast<int32_t>(static_cast<uint32_t>(v) << 23) >> 23;
    return static_cast<int16_t>(std::clamp(nine, -128, 127));
}

}  // namespace

void mdec_dequantise(std::span<const uint16_t> halfwords, int32_t coefficients[64]) {
    std::fill(coefficients, coefficients + 64, 0);
    size_t at = 0;
    while (at < halfwords.size() && halfwords[at] == kEndCode) ++at;  // padding before a block
    if (at >= halfwords.size()) return;
    const uint16_t first = halfwords[at++];
    const Dequantiser dequantiser((first >> 10) & 0x3F);
    coefficients[dequantiser.slots[0].place] = dequantised(signed10(first), dequantiser.slots[0].factor);
    for (int k = 0; at < halfwords.size() && k < 63;) {
        const uint16_t word = halfwords[at++];
        if (word == kEndCode) break;
        k += ((word >> 10) & 0x3F) + 1;
        if (k > 63) return;
        coefficients[dequantiser.slots[k].place] = dequantised(signed10(word), dequantiser.slots[k].factor);
    }
}

std::vector<IdctWay> mdec_idct_ways() {
    std::vector<IdctWay> ways{IdctWay::kScalar};
#if defined(__SSE2__)
    ways.push_back(IdctWay::kSse2);
#endif
#if defined(QUORVEX_IDCT_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) ways.push_back(IdctWay::kAvx2);
#endif
    return ways;
}

void mdec_idct(int32_t block[64], std::optional<IdctWay> way) {
    // Only the coefficients holding something are summed, as when a frame is decoded.
    int16_t in[64], out[64];
    uint8_t places[64] = {0};
    int count = 1;  // the DC always
    uint8_t columns = 1;
    for (int i = 0; i < 64; ++i) {
        in[i] = static_cast<int16_t>(std::clamp(block[i], kCoefficientMin, kCoefficientMax));
        if (in[i] && i) {
            places[count++] = static_cast<uint8_t>(i);
            columns |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    const std::vector<IdctWay> ways = mdec_idct_ways();
    if (!way || std::find(ways.begin(), ways.end(), *way) == ways.end()) way = ways.back();  // never one the machine lacks
    idct_sparse({in, places, count, columns}, out, idct_passes(*way));
    for (int i = 0; i < 64; ++i) block[i] = std::clamp<int32_t>(out[i], -128, 127);
}

namespace {

// Reads a frame's blocks, in coding order, into `sink`: start(macroblock, block, dc) with the DC
// as the console takes it (version 3: `coded`, the running DC of its component, as well), then
// add(run, level) for each coefficient (false past the 63rd), then end(macroblock, block).
template <class Sink>
bool walk_mdec(std::span<const uint8_t> frame, uint16_t version, int macroblocks, Sink& sink, std::string& error) {
    static const AcCodes lookup;
    Bits bits(frame.subspan(MdecHeader::kBytes));
    int last_dc[3] = {128, 128, 128};
    for (int m = 0; m < macroblocks; ++m) {
        for (int b = 0; b < 6; ++b) {
            auto broken = [&](const std::string& why) {
                error = "macroblock " + std::to_string(m) + ", block " + std::to_string(b) + ": " + why;
                return false;
            };
            const bool luma = b >= 2;
            const int component = b == 0 ? 2 : b == 1 ? 1 : 0;
            // The DC word: the DC as the console takes it.
            int32_t dc, coded;
            bits.refill();
            if (version == 2) {
                dc = static_cast<int32_t>(bits.take(10));
                if (dc & 0x200) dc -= 0x400;
                coded = dc;
            } else {
                static const DcSizes luma_sizes(kDcLuma), chroma_sizes(kDcChroma);
                const int size = (luma ? luma_sizes : chroma_sizes).read(bits);
                if (size < 0) return broken("a DC size code no table holds");
                int32_t difference = static_cast<int32_t>(bits.take(size));
                if (size && !(difference >> (size - 1))) difference -= (1 << size) - 1;
                last_dc[component] += difference;
                coded = last_dc[component];
                dc = std::clamp(last_dc[component] * 4 - 512, -512, 511);
            }
            sink.start(m, b, dc, coded);
            for (;;) {
                bits.refill();
                const AcEntry e = lookup[bits.show(17)];
                if (e.kind == AcCodeKind::kNone) return broken(bits.ends_within(16) ? "the frame's data ends inside it" : "a coefficient code no table holds");
                bits.drop(e.length);
                if (e.kind == AcCodeKind::kEndOfBlock) break;
                int32_t run = e.run, level = e.level;
                if (e.kind == AcCodeKind::kEscape) {
                    run = static_cast<int32_t>(bits.take(6));
                    level = static_cast<int32_t>(bits.take(10));
                    if (level & 0x200) level -= 0x400;
                }
                // (Past the frame's end only zeros are read, which no code begins with: the
                // block fails at its next code, or after its end of block.)
                if (!sink.add(run, level)) return broken("more than 63 coefficients");
            }
            if (bits.overrun()) return broken("the frame's data ends inside it");
            sink.end(m, b);
        }
    }
    return true;
}

// The frame's header, checked as both readers need it.
bool frame_header(std::span<const uint8_t> frame, uint32_t width, uint32_t height, MdecHeader& header, std::string& error) {
    if (frame.size() < MdecHeader::kBytes) {
        error = "the frame holds no MDEC header";
        return false;
    }
    if (width == 0 || height == 0 || width > 4096 || height > 4096) {
        error = "no usable picture size";
        return false;
    }
    header = MdecHeader::parse(frame.data());
    if (header.version != 2 && header.version != 3) {
        error = "MDEC version " + std::to_string(header.version) + " is not one quorvex decodes (2 or 3)";
        return false;
    }
    return true;
}

// Each block built as the console builds it and put into the planes.
struct PictureSink {
    PlaneWriter& writer;
    const Dequantiser& dequantiser;
    BlockBuilder builder;
    void start(int m, int b, int32_t dc, int32_t) {
        if (b == 0) writer.begin(m);
        builder.start(dequantiser, dc);
    }
    bool add(int32_t run, int32_t level) { return builder.add(run, level); }
    void end(int, int b) { builder.put(writer, b); }
};

// Each block's levels as coded.
struct LevelsSink {
    std::vector<MdecLevels>& blocks;
    int position = 0;
    void start(int, int, int32_t, int32_t coded) {
        blocks.emplace_back();
        blocks.back().dc = coded;
        position = 0;
    }
    bool add(int32_t run, int32_t level) {
        position += run + 1;
        if (position > 63) return false;
        blocks.back().ac[static_cast<size_t>(position)] = static_cast<int16_t>(level);
        return true;
    }
    void end(int, int) {}
};

}  // namespace

bool decode_mdec(std::span<const uint8_t> frame, uint32_t width, uint32_t height, Picture& planes, std::string& error) {
    MdecHeader header;
    if (!frame_header(frame, width, height, header, error)) return false;
    PlaneWriter writer(width, height, planes);
    const Dequantiser dequantiser(header.scale & 0x3F);
    PictureSink sink{writer, dequantiser, {}};
    if (!walk_mdec(frame, header.version, writer.macroblocks(), sink, error)) return false;
    writer.finish();
    return true;
}

bool read_mdec_levels(std::span<const uint8_t> frame, uint32_t width, uint32_t height, MdecHeader& header,
                      std::vector<MdecLevels>& blocks, std::string& error) {
    blocks.clear();
    if (!frame_header(frame, width, height, header, error)) return false;
    const int macroblocks = int(width + 15) / 16 * (int(height + 15) / 16);
    LevelsSink sink{blocks};
    return walk_mdec(frame, header.version, macroblocks, sink, error);
}

bool decode_mdec_halfwords(std::span<const uint16_t> words, uint32_t width, uint32_t height, Picture& planes, std::string& error) {
    if (width == 0 || height == 0 || width > 4096 || height > 4096) {
        error = "no usable picture size";
        return false;
    }
    PlaneWriter writer(width, height, planes);
    BlockBuilder builder;
    size_t at = 0;
    for (int m = 0; m < writer.macroblocks(); ++m) {
        writer.begin(m);
        for (int b = 0; b < 6; ++b) {
            while (at < words.size() && words[at] == kEndCode) ++at;  // padding before a block
            if (at >= words.size()) {
                error = "the halfwords end before macroblock " + std::to_string(m) + ", block " + std::to_string(b);
                return false;
            }
            const uint16_t first = words[at++];
            const Dequantiser dequantiser((first >> 10) & 0x3F);
            builder.start(dequantiser, signed10(first));
            // A block ends at its end code or with its 63rd coefficient.
            while (!builder.full() && at < words.size()) {
                const uint16_t word = words[at++];
                if (word == kEndCode) break;
                if (!builder.add((word >> 10) & 0x3F, signed10(word))) break;
            }
            builder.put(writer, b);
        }
    }
    writer.finish();
    return true;
}

std::vector<uint8_t> console_rgb(const Picture& planes) {
    // Every sum of a centred luma (-128 to 127) and a chroma offset (within +-228), as shown.
    static const auto shown = [] {
        std::array<uint8_t, 1024> t{};
        for (int v = -512; v < 512; ++v) t[size_t(v + 512)] = static_cast<uint8_t>(clamp_channel(v) + 128);
        return t;
    }();
    const int w = planes.width, h = planes.height, cw = (w + 1) / 2;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    std::vector<int16_t> offsets(size_t(cw) * 3);  // a chroma row's, in whole levels, biased for the table
    for (int row = 0; row < h; ++row) {
        if (row % 2 == 0) {
            for (int c = 0; c < cw; ++c) {
                const auto t = ConsoleChroma::terms(planes.cb[size_t(row / 2) * cw + c] - 128, planes.cr[size_t(row / 2) * cw + c] - 128);
                offsets[size_t(c) * 3] = int16_t(((t.r + 128) >> 8) + 512 - 128);
                offsets[size_t(c) * 3 + 1] = int16_t(((t.g + 128) >> 8) + 512 - 128);
                offsets[size_t(c) * 3 + 2] = int16_t(((t.b + 128) >> 8) + 512 - 128);
            }
        }
        const uint8_t* luma = &planes.y[size_t(row) * w];
        uint8_t* out = &rgb[size_t(row) * w * 3];
        for (int col = 0; col < w; ++col) {
            const int16_t* o = &offsets[size_t(col / 2) * 3];
            out[3 * col] = shown[size_t(luma[col] + o[0])];
            out[3 * col + 1] = shown[size_t(luma[col] + o[1])];
            out[3 * col + 2] = shown[size_t(luma[col] + o[2])];
        }
    }
    return rgb;
}

std::vector<uint16_t> console_rgb15(const Picture& planes, bool bit15) {
    const int w = planes.width, h = planes.height, cw = (w + 1) / 2;
    std::vector<uint16_t> out(size_t(w) * h);
    const auto five = [](int32_t y, int32_t term) { return uint16_t(std::clamp(((y << 8) + term + 1024) >> 11, -16, 15) + 16); };
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const int32_t y = planes.y[size_t(row) * w + col] - 128;
            const ConsoleChroma::Terms t = ConsoleChroma::terms(planes.cb[size_t(row / 2) * cw + col / 2] - 128, planes.cr[size_t(row / 2) * cw + col / 2] - 128);
            out[size_t(row) * w + col] = uint16_t(five(y, t.r) | five(y, t.g) << 5 | five(y, t.b) << 10 | (bit15 ? 0x8000 : 0));
        }
    }
    return out;
}

}  // namespace codecs
