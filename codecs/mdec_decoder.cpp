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
struct AcEntry {
    uint8_t length = 0;
    uint8_t run = 0;
    int8_t level = 0;
    uint8_t kind = 0;  // 0 none, 1 run and level, 2 escape, 3 end of block
};
class AcCodes {
public:
    AcCodes() {
        for (const AcCode& c : kAcCodes) {
            const uint8_t length = static_cast<uint8_t>(c.code.length + 1);
            put(uint32_t{c.code.bits} << 1, length, {length, c.run, static_cast<int8_t>(c.level), 1});
            put(uint32_t{c.code.bits} << 1 | 1, length, {length, c.run, static_cast<int8_t>(-c.level), 1});
        }
        put(kEscape.bits, kEscape.length, {kEscape.length, 0, 0, 2});
        put(kEndOfBlock.bits, kEndOfBlock.length, {kEndOfBlock.length, 0, 0, 3});
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

// What the dequantiser makes of the level at zigzag place `k`: the DC times the matrix's 2; an
// AC level times the matrix and the scale, plus 4, over 8; with a scale of 0, every level times 2
// (and the coefficients stay in zigzag order). Saturated to 11 bits.
constexpr std::array<int32_t, 64> kMatrix = [] {
    std::array<int32_t, 64> m{};
    for (int k = 0; k < 64; ++k) m[size_t(k)] = k == 0 ? 2 : kIntraMatrix[kZigzag[k]];
    return m;
}();

// A frame's dequantisation: for each zigzag place, what a level is multiplied by before the
// rounding (+ 4) >> 3; times 2 is (x 16 + 4) >> 3, so the DC and a scale of 0 take 16.
struct Dequantiser {
    explicit Dequantiser(int32_t scale) {
        for (int k = 0; k < 64; ++k) {
            const int place = scale == 0 ? k : kZigzag[k];
            slots[k] = {k == 0 || scale == 0 ? 16 : kMatrix[size_t(k)] * scale, static_cast<uint8_t>(place),
                        static_cast<uint8_t>(1u << (place % 8)), static_cast<uint8_t>(1u << (place / 8))};
        }
    }
    int32_t operator()(int32_t level, int k) const { return std::clamp((level * slots[k].factor + 4) >> 3, -0x400, 0x3FF); }
    int place(int k) const { return slots[k].place; }

    // Each zigzag place's factor, where its coefficient goes (natural order when the scale is 0)
    // and that place's column and row as bits.
    struct Slot {
        int32_t factor;
        uint8_t place, column, row;
    } slots[64];
};

// The scale table as the console's IDCT takes it: its upper 13 bits.
constexpr std::array<int16_t, 64> kIdct = [] {
    std::array<int16_t, 64> t{};
    for (int i = 0; i < 64; ++i) t[i] = static_cast<int16_t>(kIdctScale[i] >> 3);
    return t;
}();
static_assert(std::all_of(kIdct.begin(), kIdct.begin() + 8, [](int16_t v) { return v == kIdct[0]; }));

// The console's IDCT is two passes of out[x + 8y] = (sum over z of in[y + 8z] * table[x + 8z]
// + 0xFFF) >> 13. The sums fit 32 bits and each pass's results 16 (|coefficient| <= 0x400 and
// |table| < 0x1000: the first pass gives at most 0x1000, the second 0x4000). A column of
// coefficients that holds zeros only gives a row of zeros after the first pass (0xFFF >> 13 is
// 0), and a row of zeros adds nothing to a sum: only the rows and columns that hold something
// (`rows` and `columns`, a bit each; the block's other places hold zeros) are summed.

// The scalar way, which every build has.
void idct_pass(const int16_t in[64], uint8_t rows, uint8_t terms, int16_t out[64]) {
    for (int y = 0; y < 8; ++y) {
        if (!(rows >> y & 1)) continue;
        int32_t sum[8] = {};
        for (int z = 0; z < 8; ++z) {
            if (!(terms >> z & 1)) continue;
            const int32_t c = in[y + z * 8];
            for (int x = 0; x < 8; ++x) sum[x] += c * kIdct[x + z * 8];
        }
        for (int x = 0; x < 8; ++x) out[x + y * 8] = static_cast<int16_t>((sum[x] + 0xFFF) >> 13);
    }
}

void idct_scalar(const int16_t in[64], uint8_t columns, uint8_t rows, int16_t out[64]) {
    int16_t first[64];
    idct_pass(in, columns, rows, first);
    idct_pass(first, 0xFF, columns, out);
}

using IdctPasses = void (*)(const int16_t in[64], uint8_t columns, uint8_t rows, int16_t out[64]);

#if defined(__SSE2__)
// SSE2 multiplies and adds two z at once (pmaddwd), with the same sums. The first pass takes two
// rows of coefficients interleaved against each x's pair of table values and leaves its results
// transposed; the second then finds each pair of them side by side.
struct alignas(32) IdctTables {
    int16_t paired[4][2][8];  // table rows 2p and 2p + 1 interleaved, for x 0-3 and 4-7
    int32_t broadcast[4][8][4];  // for z pair p and x: table[x + 16p] and table[x + 16p + 8], four times
};
constexpr IdctTables kIdctTables = [] {
    IdctTables t{};
    for (int p = 0; p < 4; ++p) {
        for (int x = 0; x < 8; ++x) {
            const int16_t a = kIdct[size_t(x + 16 * p)], b = kIdct[size_t(x + 16 * p + 8)];
            t.paired[p][x / 4][2 * (x % 4)] = a;
            t.paired[p][x / 4][2 * (x % 4) + 1] = b;
            for (int lane = 0; lane < 4; ++lane) t.broadcast[p][x][lane] = int32_t(uint16_t(a) | uint32_t(uint16_t(b)) << 16);
        }
    }
    return t;
}();

__m128i load(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
__m128i rounded(__m128i low, __m128i high) { return _mm_packs_epi32(_mm_srai_epi32(low, 13), _mm_srai_epi32(high, 13)); }

// The pairs (0-3) with something in them, of the pairs of bits of `mask`.
int active_pairs(uint8_t mask, int pairs[4]) {
    int n = 0;
    for (int p = 0; p < 4; ++p) {
        if (mask >> (2 * p) & 3) pairs[n++] = p;
    }
    return n;
}

int32_t pair_at(const int16_t* p) {
    int32_t pair;
    std::memcpy(&pair, p, 4);
    return pair;
}

void idct_sse2(const int16_t in[64], uint8_t columns, uint8_t rows, int16_t out[64]) {
    const __m128i bias = _mm_set1_epi32(0xFFF);
    int pairs[4];
    // First pass, transposed: first[8x + y] is the first pass's out[x + 8y].
    int n = active_pairs(rows, pairs);
    __m128i front[4], back[4];
    for (int i = 0; i < n; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * pairs[i]));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * pairs[i] + 8));
        front[i] = _mm_unpacklo_epi16(a, b);
        back[i] = _mm_unpackhi_epi16(a, b);
    }
    alignas(16) int16_t first[64];
    for (int x = 0; x < 8; ++x) {
        __m128i low = bias, high = bias;
        for (int i = 0; i < n; ++i) {
            const __m128i pair = load(kIdctTables.broadcast[pairs[i]][x]);
            low = _mm_add_epi32(low, _mm_madd_epi16(front[i], pair));
            high = _mm_add_epi32(high, _mm_madd_epi16(back[i], pair));
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(first + 8 * x), rounded(low, high));
    }
    // Second pass: in[y + 8z] is first[8y + z], so z and z + 1 lie side by side.
    n = active_pairs(columns, pairs);
    for (int y = 0; y < 8; ++y) {
        __m128i low = bias, high = bias;
        for (int i = 0; i < n; ++i) {
            const __m128i a = _mm_set1_epi32(pair_at(first + 8 * y + 2 * pairs[i]));
            low = _mm_add_epi32(low, _mm_madd_epi16(a, load(kIdctTables.paired[pairs[i]][0])));
            high = _mm_add_epi32(high, _mm_madd_epi16(a, load(kIdctTables.paired[pairs[i]][1])));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * y), rounded(low, high));
    }
}

// Not in Windows builds: MinGW's GCC does not align the stack for 32-byte values it spills.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define QUORVEX_IDCT_AVX2 1
// AVX2 takes all eight lanes in one pmaddwd: the first pass's eight y for an x, the second's eight
// x for a y. Two results at a time are packed together and put back in order.
__attribute__((target("avx2"))) __m256i rounded_pair(__m256i a, __m256i b) {
    const __m256i packed = _mm256_packs_epi32(_mm256_srai_epi32(a, 13), _mm256_srai_epi32(b, 13));
    return _mm256_permute4x64_epi64(packed, 0xD8);  // a's 8, then b's 8
}

__attribute__((target("avx2"))) void idct_avx2(const int16_t in[64], uint8_t columns, uint8_t rows, int16_t out[64]) {
    const __m256i bias = _mm256_set1_epi32(0xFFF);
    int pairs[4];
    int n = active_pairs(rows, pairs);
    __m256i interleaved[4];
    for (int i = 0; i < n; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * pairs[i]));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * pairs[i] + 8));
        interleaved[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi16(a, b)), _mm_unpackhi_epi16(a, b), 1);
    }
    alignas(32) int16_t first[64];
    for (int x = 0; x < 8; x += 2) {
        __m256i sum0 = bias, sum1 = bias;
        for (int i = 0; i < n; ++i) {
            sum0 = _mm256_add_epi32(sum0, _mm256_madd_epi16(interleaved[i], _mm256_set1_epi32(kIdctTables.broadcast[pairs[i]][x][0])));
            sum1 = _mm256_add_epi32(sum1, _mm256_madd_epi16(interleaved[i], _mm256_set1_epi32(kIdctTables.broadcast[pairs[i]][x + 1][0])));
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(first + 8 * x), rounded_pair(sum0, sum1));
    }
    n = active_pairs(columns, pairs);
    __m256i table[4];
    for (int i = 0; i < n; ++i) table[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(kIdctTables.paired[pairs[i]]));
    for (int y = 0; y < 8; y += 2) {
        __m256i sum0 = bias, sum1 = bias;
        for (int i = 0; i < n; ++i) {
            sum0 = _mm256_add_epi32(sum0, _mm256_madd_epi16(_mm256_set1_epi32(pair_at(first + 8 * y + 2 * pairs[i])), table[i]));
            sum1 = _mm256_add_epi32(sum1, _mm256_madd_epi16(_mm256_set1_epi32(pair_at(first + 8 * y + 8 + 2 * pairs[i])), table[i]));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * y), rounded_pair(sum0, sum1));
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

void idct_sparse(const int16_t in[64], uint8_t columns, uint8_t rows, int16_t out[64], IdctPasses passes) {
    if (columns == 1 && rows == 1) {
        // The DC alone: the table's first row is one value, so each pass gives one value too.
        const int32_t first = (in[0] * kIdct[0] + 0xFFF) >> 13;
        std::fill_n(out, 64, static_cast<int16_t>((first * kIdct[0] + 0xFFF) >> 13));
        return;
    }
    passes(in, columns, rows, out);
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

}  // namespace

uint8_t mdec_matrix(int zigzag_index) { return static_cast<uint8_t>(kMatrix[size_t(zigzag_index & 63)]); }

void mdec_dequantise(std::span<const uint16_t> halfwords, int32_t coefficients[64]) {
    std::fill(coefficients, coefficients + 64, 0);
    size_t at = 0;
    while (at < halfwords.size() && halfwords[at] == kEndCode) ++at;  // padding before a block
    if (at >= halfwords.size()) return;
    const uint16_t first = halfwords[at++];
    const int32_t scale = (first >> 10) & 0x3F;
    const Dequantiser dequantised(scale);
    coefficients[0] = dequantised(signed10(first), 0);
    for (int k = 0; at < halfwords.size();) {
        const uint16_t word = halfwords[at++];
        k += ((word >> 10) & 0x3F) + 1;
        if (k > 63) return;
        coefficients[dequantised.place(k)] = dequantised(signed10(word), k);
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
    // Only the rows and columns holding something are summed, as when a frame is decoded.
    int16_t in[64], out[64];
    uint8_t columns = 1, rows = 1;
    for (int i = 0; i < 64; ++i) {
        in[i] = static_cast<int16_t>(block[i]);
        if (in[i]) {
            columns |= static_cast<uint8_t>(1u << (i % 8));
            rows |= static_cast<uint8_t>(1u << (i / 8));
        }
    }
    const std::vector<IdctWay> ways = mdec_idct_ways();
    if (!way || std::find(ways.begin(), ways.end(), *way) == ways.end()) way = ways.back();  // never one the machine lacks
    idct_sparse(in, columns, rows, out, idct_passes(*way));
    std::copy_n(out, 64, block);
}

bool decode_mdec(std::span<const uint8_t> frame, uint32_t width, uint32_t height, Picture& planes, std::string& error) {
    if (frame.size() < 8) {
        error = "the frame holds no MDEC header";
        return false;
    }
    if (width == 0 || height == 0 || width > 4096 || height > 4096) {
        error = "no usable picture size";
        return false;
    }
    const uint16_t qscale = static_cast<uint16_t>(frame[4] | frame[5] << 8), version = static_cast<uint16_t>(frame[6] | frame[7] << 8);
    if (version != 2 && version != 3) {
        error = "MDEC version " + std::to_string(version) + " is not one quorvex decodes (2 or 3)";
        return false;
    }
    const int mb_width = static_cast<int>(width + 15) / 16, mb_height = static_cast<int>(height + 15) / 16;
    const int full_width = mb_width * 16, full_height = mb_height * 16;
    // The macroblocks are decoded into the planes at their full size, then cut to the picture's.
    std::vector<uint8_t>&y = planes.y, &cb = planes.cb, &cr = planes.cr;
    y.resize(size_t(full_width) * full_height);
    cb.resize(size_t(full_width / 2) * (full_height / 2));
    cr.resize(cb.size());
    static const AcCodes lookup;
    const IdctPasses passes = idct_passes(best_idct_way());
    Bits bits(frame.subspan(8));
    int last_dc[3] = {128, 128, 128};
    const Dequantiser dequantised(qscale & 0x3F);
    int16_t block[64] = {};
    uint8_t places[64];  // where the block's AC coefficients went
    for (int mx = 0; mx < mb_width; ++mx) {
        for (int my = 0; my < mb_height; ++my) {
            for (int b = 0; b < 6; ++b) {
                const int block_number = (mx * mb_height + my) * 6 + b;
                auto broken = [&](const std::string& why) {
                    error = "macroblock " + std::to_string(block_number / 6) + ", block " + std::to_string(b) + ": " + why;
                    return false;
                };
                const bool luma = b >= 2;
                const int component = b == 0 ? 2 : b == 1 ? 1 : 0;
                // The DC word: the scale and the DC as the console takes it.
                int32_t dc;
                bits.refill();
                if (version == 2) {
                    dc = static_cast<int32_t>(bits.take(10));
                    if (dc & 0x200) dc -= 0x400;
                } else {
                    static const DcSizes luma_sizes(kDcLuma), chroma_sizes(kDcChroma);
                    const int size = (luma ? luma_sizes : chroma_sizes).read(bits);
                    if (size < 0) return broken("a DC size code no table holds");
                    int32_t difference = static_cast<int32_t>(bits.take(size));
                    if (size && !(difference >> (size - 1))) difference -= (1 << size) - 1;
                    last_dc[component] += difference;
                    dc = std::clamp(last_dc[component] * 4 - 512, -512, 511);
                }
                // Each coefficient dequantised as it is read, as the console does with the
                // halfwords: the DC word carries the scale, run/level words follow.
                block[0] = static_cast<int16_t>(dequantised(dc, 0));
                uint8_t columns = 1, rows = 1;
                int placed = 0;
                for (int k = 0;;) {
                    bits.refill();
                    const AcEntry e = lookup[bits.show(17)];
                    if (e.kind == 0) return broken(bits.ends_within(16) ? "the frame's data ends inside it" : "a coefficient code no table holds");
                    bits.drop(e.length);
                    if (e.kind == 3) break;
                    int32_t run = e.run, level = e.level;
                    if (e.kind == 2) {
                        run = static_cast<int32_t>(bits.take(6));
                        level = static_cast<int32_t>(bits.take(10));
                        if (level & 0x200) level -= 0x400;
                    }
                    k += run + 1;
                    if (k > 63) return broken("more than 63 coefficients");
                    // (Past the frame's end only zeros are read, which no code begins with: the
                    // block fails at its next code, or after its end of block.)
                    const Dequantiser::Slot& slot = dequantised.slots[k];
                    block[slot.place] = static_cast<int16_t>(std::clamp((level * slot.factor + 4) >> 3, -0x400, 0x3FF));
                    places[placed++] = slot.place;
                    columns |= slot.column;
                    rows |= slot.row;
                }
                if (bits.overrun()) return broken("the frame's data ends inside it");
                int16_t pixels[64];
                idct_sparse(block, columns, rows, pixels, passes);
                for (int i = 0; i < placed; ++i) block[places[i]] = 0;  // zeros again for the next block
                // The block's place in its plane: a quarter of the macroblock's luma, or its
                // whole chroma.
                uint8_t* to;
                size_t stride;
                if (luma) {
                    stride = size_t(full_width);
                    to = &y[size_t(my * 16 + (b - 2) / 2 * 8) * stride + size_t(mx * 16 + (b - 2) % 2 * 8)];
                } else {
                    stride = size_t(full_width / 2);
                    to = &(b == 0 ? cr : cb)[size_t(my * 8) * stride + size_t(mx * 8)];
                }
                put_pixels(pixels, to, stride);
            }
        }
    }
    // The picture's own size, from the macroblocks that cover it: each row moves back to its
    // place in the smaller picture (never over a row still to move).
    planes.width = static_cast<uint16_t>(width);
    planes.height = static_cast<uint16_t>(height);
    const auto cut = [](std::vector<uint8_t>& plane, size_t from_width, size_t to_width, size_t rows) {
        if (from_width != to_width) {
            for (size_t row = 1; row < rows; ++row) std::memmove(&plane[row * to_width], &plane[row * from_width], to_width);
        }
        plane.resize(to_width * rows);
    };
    cut(y, size_t(full_width), width, height);
    cut(cb, size_t(full_width / 2), size_t(width + 1) / 2, size_t(height + 1) / 2);
    cut(cr, size_t(full_width / 2), size_t(width + 1) / 2, size_t(height + 1) / 2);
    return true;
}

std::vector<uint8_t> console_rgb(const Picture& planes) {
    // Each chroma pair's three offsets, rounded once: R from Cr, B from Cb, G from both.
    struct Offsets {
        int16_t r[256], b[256];
        std::vector<int16_t> g = std::vector<int16_t>(65536);
    };
    static const Offsets offsets = [] {
        const auto round = [](double v) { return static_cast<int16_t>(std::lround(v)); };
        Offsets o;
        for (int c = 0; c < 256; ++c) {
            o.r[c] = round(1.402 * (c - 128));
            o.b[c] = round(1.772 * (c - 128));
            for (int cr = 0; cr < 256; ++cr) o.g[c << 8 | cr] = round(-0.3437 * (c - 128) - 0.7143 * (cr - 128));
        }
        return o;
    }();
    const int w = planes.width, h = planes.height, cw = (w + 1) / 2;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    const auto put = [](int luma, int offset) { return static_cast<uint8_t>(std::clamp(luma + offset, -128, 127) + 128); };
    for (int row = 0; row < h; ++row) {
        const uint8_t* luma = &planes.y[size_t(row) * w];
        const uint8_t* cb = &planes.cb[size_t(row / 2) * cw];
        const uint8_t* cr = &planes.cr[size_t(row / 2) * cw];
        uint8_t* out = &rgb[size_t(row) * w * 3];
        for (int col = 0; col < w; ++col, out += 3) {
            const int l = luma[col] - 128, b = cb[col / 2], r = cr[col / 2];
            out[0] = put(l, offsets.r[r]);
            out[1] = put(l, offsets.g[b << 8 | r]);
            out[2] = put(l, offsets.b[b]);
        }
    }
    return rgb;
}

}  // namespace codecs
