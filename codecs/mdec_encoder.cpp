#include "mdec_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <bit>
#include <limits>

namespace codecs {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Each (run, level) of the variable-length code: its code, or none (length 0) for the escape.
struct AcTable {
    Code code[64][41] = {};
    constexpr AcTable() {
        for (const AcCode& c : kAcCodes) code[c.run][c.level] = c.code;
    }
};
constexpr AcTable kAcTable;

class BitWriter {
public:
    void put(uint32_t bits, int count) {
        pending_ = pending_ << count | (bits & ((uint64_t{1} << count) - 1));
        for (filled_ += count; filled_ >= 8; filled_ -= 8) bytes_.push_back(static_cast<uint8_t>(pending_ >> (filled_ - 8)));
    }
    void put(Code code) { put(code.bits, code.length); }
    // Pads to whole 32-bit words, then stores each 16-bit word little-endian.
    std::vector<uint8_t> finish() {
        if (filled_) put(0, 8 - filled_);
        bytes_.resize((bytes_.size() + 3) / 4 * 4, 0);
        for (size_t i = 0; i + 1 < bytes_.size(); i += 2) std::swap(bytes_[i], bytes_[i + 1]);
        return std::move(bytes_);
    }

private:
    std::vector<uint8_t> bytes_;
    uint64_t pending_ = 0;
    int filled_ = 0;
};

// The DCT basis, scaled as JPEG's: F(u, v) = sum of f(x, y) B(u, x) B(v, y); `by_x` is the same
// transposed, so that both passes run along rows of eight.
struct DctBasis {
    float by_u[8][8];
    float by_x[8][8];
};
const DctBasis& dct_basis() {
    static const DctBasis basis = [] {
        DctBasis b{};
        for (int u = 0; u < 8; ++u) {
            for (int x = 0; x < 8; ++x) {
                b.by_u[u][x] = b.by_x[x][u] = static_cast<float>((u == 0 ? 0.5 / std::sqrt(2.0) : 0.5) * std::cos((2 * x + 1) * u * kPi / 16));
            }
        }
        return b;
    }();
    return basis;
}

// The 8x8 block at (x0, y0) of a plane, edges repeated; then its DCT, rows first. Each sum runs in
// the same order on every build, so every build codes a picture alike.
std::array<float, 64> dct_block(const std::vector<uint8_t>& plane, int plane_width, int plane_height, int x0, int y0) {
    const auto& basis = dct_basis();
    int columns[8];
    for (int x = 0; x < 8; ++x) columns[x] = std::min(x0 + x, plane_width - 1);
    float rows[8][8] = {};
    for (int y = 0; y < 8; ++y) {
        const uint8_t* line = &plane[static_cast<size_t>(std::min(y0 + y, plane_height - 1)) * plane_width];
        for (int x = 0; x < 8; ++x) {
            const float f = line[columns[x]];
            for (int u = 0; u < 8; ++u) rows[y][u] += f * basis.by_x[x][u];
        }
    }
    std::array<float, 64> out{};
    for (int v = 0; v < 8; ++v) {
        for (int y = 0; y < 8; ++y) {
            for (int u = 0; u < 8; ++u) out[static_cast<size_t>(8 * v + u)] += basis.by_u[v][y] * rows[y][u];
        }
    }
    return out;
}

// The bits a DC difference takes after its size code.
int dc_size(int difference) {
    int size = 0;
    for (int magnitude = std::abs(difference); magnitude; magnitude >>= 1) ++size;
    return size;
}

void put_dc_difference(BitWriter& out, int difference, bool luma) {
    const int size = dc_size(difference);
    out.put((luma ? kDcLuma : kDcChroma)[size]);
    if (size) out.put(static_cast<uint32_t>(difference > 0 ? difference : difference + (1 << size) - 1), size);
}

int dc_difference_bits(int difference, bool luma) {
    const int size = dc_size(difference);
    return (luma ? kDcLuma : kDcChroma)[size].length + size;
}

// The bits of a block's DC code (the difference from `last` in version 3).
int dc_bits(int dc, int last, uint16_t version, bool luma) { return version <= 2 ? 10 : dc_difference_bits(dc - last, luma); }

// The bits of a run and level: its code and sign, or the escape with a 6-bit run and a 10-bit level.
int ac_bits(int run, int level) {
    const int magnitude = std::abs(level);
    const int own = magnitude <= 40 ? kAcTable.code[run][magnitude].length : 0;
    return own ? own + 1 : kEscape.length + 16;
}

// What an error in a block's samples costs in the RGB the console shows, in units of a luma
// sample's (which moves its pixel's three channels by as much): a chroma sample moves two
// channels of four pixels, by the console's factors.
constexpr float kLumaWeight = 1;
constexpr float chroma_weight(int32_t a, int32_t b) { return 4.0f * static_cast<float>(a * a + b * b) / (256 * 256) / 3; }
constexpr float kCbWeight = chroma_weight(ConsoleChroma::kCbToG, ConsoleChroma::kCbToB);
constexpr float kCrWeight = chroma_weight(ConsoleChroma::kCrToR, ConsoleChroma::kCrToG);

// Each AC coefficient's quantiser step at scale 1, by zigzag position.
const std::array<float, 64>& unit_steps() {
    static const auto steps = [] {
        std::array<float, 64> s{};
        for (int i = 0; i < 64; ++i) s[static_cast<size_t>(i)] = static_cast<float>(kIntraMatrix[kZigzag[i]]) / 8;
        return s;
    }();
    return steps;
}

// A picture's block in coding order (each macroblock, column by column: Cr, Cb, then the four Y):
// its DC coefficient, and its AC coefficients in zigzag order as multiples of their step at scale 1.
struct Block {
    float dc;
    std::array<float, 64> ac;  // ac[0] unused
    float weight;              // kLumaWeight, kCbWeight or kCrWeight
    bool luma;
};
Block make_block(const std::array<float, 64>& f, float weight, bool luma) {
    Block b{f[0], {}, weight, luma};
    for (int i = 1; i < 64; ++i) b.ac[static_cast<size_t>(i)] = f[kZigzag[i]] / unit_steps()[static_cast<size_t>(i)];
    return b;
}
std::vector<Block> picture_blocks(const Picture& picture) {
    std::vector<Block> blocks;
    const int mb_width = (picture.width + 15) / 16, mb_height = (picture.height + 15) / 16;
    const int cw = picture.width / 2, ch = picture.height / 2;
    blocks.reserve(static_cast<size_t>(mb_width) * mb_height * 6);
    for (int mx = 0; mx < mb_width; ++mx) {
        for (int my = 0; my < mb_height; ++my) {
            blocks.push_back(make_block(dct_block(picture.cr, cw, ch, mx * 8, my * 8), kCrWeight, false));
            blocks.push_back(make_block(dct_block(picture.cb, cw, ch, mx * 8, my * 8), kCbWeight, false));
            for (int b = 0; b < 4; ++b) {
                blocks.push_back(make_block(dct_block(picture.y, picture.width, picture.height, mx * 16 + (b % 2) * 8, my * 16 + (b / 2) * 8),
                                            kLumaWeight, true));
            }
        }
    }
    return blocks;
}

// Which component a block of the coding order belongs to: 0 luma, 1 Cb, 2 Cr.
size_t component_of(size_t k) { return k % 6 == 0 ? 2 : k % 6 == 1 ? 1 : 0; }

using Levels = MdecLevels;

// Rounded half away from zero, as the levels are.
int nearest(float x) { return static_cast<int>(x + (x < 0 ? -0.5f : 0.5f)); }

void quantise(const Block& b, uint16_t qscale, uint16_t version, Levels& l) {
    l.dc = version <= 2 ? std::clamp(nearest((b.dc - 1024) / 2), -512, 511) : std::clamp(nearest(b.dc / 8), 0, 255);
    const float inverse = 1.0f / qscale;
    l.ac[0] = 0;
    for (size_t i = 1; i < 64; ++i) l.ac[i] = static_cast<int16_t>(std::clamp(nearest(b.ac[i] * inverse), -511, 511));
}

// The zigzag positions of a block's nonzero AC levels, as bits.
uint64_t nonzero(const Levels& l) {
    uint64_t mask = 0;
    for (size_t i = 1; i < 64; ++i) mask |= uint64_t{l.ac[i] != 0} << i;
    return mask;
}

// The bits of a block's AC levels and its end code.
int ac_block_bits(const Levels& l) {
    int bits = kEndOfBlock.length, last = 0;
    for (uint64_t m = nonzero(l); m; m &= m - 1) {
        const int i = std::countr_zero(m);
        bits += ac_bits(i - last - 1, l.ac[static_cast<size_t>(i)]);
        last = i;
    }
    return bits;
}

// Codes a block; returns how many MDEC codes it decodes to (its DC, each run and level, the end).
uint32_t emit_block(BitWriter& out, const Levels& l, uint16_t version, int& last_dc, bool luma) {
    uint32_t codes = 2;
    if (version <= 2) {
        out.put(static_cast<uint32_t>(l.dc) & 0x3FF, 10);
    } else {
        put_dc_difference(out, l.dc - last_dc, luma);
        last_dc = l.dc;
    }
    int last = 0;
    for (uint64_t m = nonzero(l); m; m &= m - 1, ++codes) {
        const int i = std::countr_zero(m), run = i - last - 1, level = l.ac[static_cast<size_t>(i)];
        last = i;
        const int magnitude = std::abs(level);
        const Code code = magnitude <= 40 ? kAcTable.code[run][magnitude] : Code{};
        if (code.length) {
            out.put(code);
            out.put(level < 0 ? 1 : 0, 1);
        } else {
            out.put(kEscape);
            out.put(static_cast<uint32_t>(run), 6);
            out.put(static_cast<uint32_t>(level) & 0x3FF, 10);
        }
    }
    out.put(kEndOfBlock);
    return codes;
}

std::vector<uint8_t> emit_frame(const std::vector<Block>& blocks, const std::vector<Levels>& levels, uint16_t qscale,
                                uint16_t version) {
    BitWriter out;
    uint32_t codes = 0;
    int last_dc[3] = {128, 128, 128};  // version 3 predicts each component from its own
    for (size_t k = 0; k < blocks.size(); ++k) {
        codes += emit_block(out, levels[k], version, last_dc[component_of(k)], blocks[k].luma);
    }
    std::vector<uint8_t> bits = out.finish();
    // The first word, as the games write it: the MDEC codes halved, rounded up to a multiple of 32.
    const auto count = static_cast<uint16_t>(std::min<uint32_t>(((codes + 1) / 2 + 31) / 32 * 32, 0xFFE0));
    const uint16_t header[4] = {count, MdecHeader::kMarker, qscale, version};
    std::vector<uint8_t> frame;
    frame.reserve(8 + bits.size());
    for (const uint16_t word : header) {
        frame.push_back(static_cast<uint8_t>(word));
        frame.push_back(static_cast<uint8_t>(word >> 8));
    }
    frame.insert(frame.end(), bits.begin(), bits.end());
    return frame;
}

std::vector<Levels> quantise_all(const std::vector<Block>& blocks, uint16_t qscale, uint16_t version) {
    std::vector<Levels> levels(blocks.size());
    for (size_t k = 0; k < blocks.size(); ++k) quantise(blocks[k], qscale, version, levels[k]);
    return levels;
}

// The bits of a whole frame's blocks (DC, AC and end codes), without its header.
uint64_t frame_bits(const std::vector<Block>& blocks, const std::vector<Levels>& levels, uint16_t version) {
    uint64_t bits = 0;
    int last_dc[3] = {128, 128, 128};
    for (size_t k = 0; k < blocks.size(); ++k) {
        int& last = last_dc[component_of(k)];
        bits += static_cast<uint64_t>(ac_block_bits(levels[k]) + dc_bits(levels[k].dc, last, version, blocks[k].luma));
        last = levels[k].dc;
    }
    return bits;
}

// The bits of the whole frame's levels as rounded at `qscale`.
uint64_t rounded_bits(const std::vector<Block>& blocks, uint16_t qscale, uint16_t version) {
    uint64_t bits = 0;
    int last_dc[3] = {128, 128, 128};
    Levels l;
    for (size_t k = 0; k < blocks.size(); ++k) {
        quantise(blocks[k], qscale, version, l);
        int& last = last_dc[component_of(k)];
        bits += static_cast<uint64_t>(ac_block_bits(l) + dc_bits(l.dc, last, version, blocks[k].luma));
        last = l.dc;
    }
    return bits;
}

// The finest scale whose levels, as rounded, fit `max_bits` (63 when none does); a coarser scale
// never takes more bits. Searched from `hint` (a scale that fitted a picture like this one) by
// steps that double until they pass it, then by halves; with no hint, by halves from the start.
uint16_t finest_fitting_scale(const std::vector<Block>& blocks, uint16_t version, uint64_t max_bits, uint16_t hint) {
    const auto fits = [&](int q) { return q >= 63 || rounded_bits(blocks, static_cast<uint16_t>(q), version) <= max_bits; };
    int low = 1, high = 63;  // the answer lies in [low, high]
    if (hint >= 1 && hint < 63) {
        if (fits(hint)) {
            high = hint;
            for (int step = 1; high > 1; step *= 2) {
                const int q = std::max(1, high - step);
                if (!fits(q)) {
                    low = q + 1;
                    break;
                }
                high = q;
            }
            low = std::min(low, high);
        } else {
            low = hint + 1;
            for (int step = 1; low < 63; step *= 2) {
                const int q = std::min(63, hint + step);
                if (fits(q)) {
                    high = q;
                    break;
                }
                low = q + 1;
            }
        }
    }
    while (low < high) {
        const int q = (low + high) / 2;
        if (fits(q)) {
            high = q;
        } else {
            low = q + 1;
        }
    }
    return static_cast<uint16_t>(high);
}

// The weighted squared error of a block's AC coefficients as quantised (the DC is the same at every scale).
double ac_error(const Block& b, const Levels& l, uint16_t qscale) {
    float e = 0;
    for (size_t i = 1; i < 64; ++i) {
        const float d = (b.ac[i] - static_cast<float>(l.ac[i] * qscale)) * unit_steps()[i];
        e += d * d;
    }
    return double(e) * b.weight;
}

double frame_error(const std::vector<Block>& blocks, const std::vector<Levels>& levels, uint16_t qscale) {
    double e = 0;
    for (size_t k = 0; k < blocks.size(); ++k) e += ac_error(blocks[k], levels[k], qscale);
    return e;
}

// What lowering a level by one saves in bits (a level of one dropped also joins its run to the
// next level's, at `next_at` if any) and loses in picture, at `qscale`.
struct Lowering {
    int saved;
    float added;
};
Lowering lowering(const Block& b, size_t i, int level, int run, int before, int next_at, int next_level, uint16_t qscale) {
    const int lower = level > 0 ? level - 1 : level + 1;
    int saved = ac_bits(run, level);
    if (lower != 0) {
        saved -= ac_bits(run, lower);
    } else if (next_at) {
        saved += ac_bits(next_at - static_cast<int>(i) - 1, next_level) - ac_bits(next_at - before - 1, next_level);
    }
    const float g = b.ac[i], was = g - static_cast<float>(level * qscale), now = g - static_cast<float>(lower * qscale);
    return {saved, b.weight * unit_steps()[i] * unit_steps()[i] * (now * now - was * was)};
}

// A block's levels as rounded, each lowered by one (a level of one dropped) while the picture it
// loses is less than `lambda` times the bits it saves; from its last level to its first, so that a
// level dropped counts the longer run it gives the level after it. Returns the block's AC bits.
int lower_block(const Block& b, const Levels& rounded, Levels& out, uint16_t qscale, float lambda) {
    out = rounded;
    int at[63], n = 0;
    for (uint64_t m = nonzero(rounded); m; m &= m - 1) at[n++] = std::countr_zero(m);
    int next_at = 0, next_level = 0, bits = kEndOfBlock.length;  // the nearest level after the one in hand that stays
    for (int j = n - 1; j >= 0; --j) {
        const auto i = static_cast<size_t>(at[j]);
        const int before = j ? at[j - 1] : 0, run = at[j] - before - 1;
        int level = out.ac[i];
        while (level != 0) {
            const Lowering l = lowering(b, i, level, run, before, next_at, next_level, qscale);
            if (l.saved <= 0 || l.added >= lambda * static_cast<float>(l.saved)) break;
            level = level > 0 ? level - 1 : level + 1;
        }
        out.ac[i] = static_cast<int16_t>(level);
        if (level == 0) continue;
        if (next_at) bits += ac_bits(next_at - at[j] - 1, next_level);  // the run before it known now
        next_at = at[j], next_level = level;
    }
    return next_at ? bits + ac_bits(next_at - 1, next_level) : bits;
}

// The bits the first lowering of every level as rounded would save, summed by what it loses in
// picture per bit saved: in eighths of an octave, read off the ratio's float bits (which order as
// the ratios do), from 2^-16 up.
class LoweringsByRatio {
public:
    static constexpr int kBins = 8 * 48;
    LoweringsByRatio(const std::vector<Block>& blocks, const std::vector<Levels>& rounded, uint16_t qscale) {
        for (size_t k = 0; k < blocks.size(); ++k) {
            int at[63], n = 0;
            for (uint64_t m = nonzero(rounded[k]); m; m &= m - 1) at[n++] = std::countr_zero(m);
            for (int j = 0; j < n; ++j) {
                const auto i = static_cast<size_t>(at[j]);
                const int before = j ? at[j - 1] : 0, next_at = j + 1 < n ? at[j + 1] : 0;
                const Lowering l = lowering(blocks[k], i, rounded[k].ac[i], at[j] - before - 1, before, next_at,
                                            next_at ? rounded[k].ac[static_cast<size_t>(next_at)] : 0, qscale);
                if (l.saved > 0) saved_[bin(l.added / static_cast<float>(l.saved))] += static_cast<uint64_t>(l.saved);
            }
        }
    }
    // The least ratio (a bin's upper edge) below which the first lowerings save `wanted` bits, at
    // or above `from`; infinity when all of them do not.
    float ratio_saving(uint64_t wanted, float from) const {
        uint64_t sum = 0;
        for (int b = 0; b < kBins; ++b) {
            sum += saved_[b];
            if (sum >= wanted && edge(b) > from) return edge(b);
        }
        return std::numeric_limits<float>::infinity();
    }

private:
    static int bin(float ratio) {
        if (!(ratio > kLeast)) return 0;
        const int b = static_cast<int>((std::bit_cast<uint32_t>(ratio) - std::bit_cast<uint32_t>(kLeast)) >> 20);
        return std::min(b, kBins - 1);
    }
    static float edge(int b) {
        return b == kBins - 1 ? std::numeric_limits<float>::infinity() : std::bit_cast<float>(std::bit_cast<uint32_t>(kLeast) + (uint32_t(b + 1) << 20));
    }
    static constexpr float kLeast = 1.0f / 65536;
    uint64_t saved_[kBins] = {};
};

// The rounded levels at `qscale` lowered, at the least cost in picture, until the frame fits
// `max_bits`: every lowering that loses less than `lambda` per bit saved, with `lambda` first
// read off the first lowerings by ratio, then narrowed by halves. False when not even every lowering
// that saves bits fits.
bool lower_until_fits(const std::vector<Block>& blocks, const std::vector<Levels>& rounded, std::vector<Levels>& levels,
                      uint16_t qscale, uint16_t version, uint64_t max_bits) {
    const uint64_t bits = frame_bits(blocks, rounded, version);
    levels = rounded;
    if (bits <= max_bits) return true;
    std::vector<Levels> trial(blocks.size());
    const auto bits_at = [&](float lambda) {
        uint64_t total = 0;
        int last_dc[3] = {128, 128, 128};
        for (size_t k = 0; k < blocks.size(); ++k) {
            int& last = last_dc[component_of(k)];
            total += static_cast<uint64_t>(lower_block(blocks[k], rounded[k], trial[k], qscale, lambda) +
                                           dc_bits(rounded[k].dc, last, version, blocks[k].luma));
            last = rounded[k].dc;
        }
        return total;
    };
    const LoweringsByRatio lowerings(blocks, rounded, qscale);
    uint64_t wanted = bits - max_bits;
    float low = 0, high = 0;
    for (;;) {
        high = lowerings.ratio_saving(wanted, high);
        const uint64_t got = bits_at(high);
        if (got <= max_bits) break;
        if (!std::isfinite(high)) return false;
        low = high;
        wanted += got - max_bits;
    }
    levels.swap(trial);
    for (int step = 0; step < 2 && std::isfinite(high); ++step) {
        const float lambda = (low + high) / 2;
        if (bits_at(lambda) <= max_bits) {
            high = lambda;
            levels.swap(trial);
        } else {
            low = lambda;
        }
    }
    return true;
}

}  // namespace

std::vector<uint8_t> encode_mdec(const Picture& picture, uint16_t qscale, uint16_t version) {
    const std::vector<Block> blocks = picture_blocks(picture);
    return emit_frame(blocks, quantise_all(blocks, qscale, version), qscale, version);
}

std::vector<uint8_t> encode_mdec_within(const Picture& picture, uint16_t version, uint32_t max_bytes) {
    const std::vector<Block> blocks = picture_blocks(picture);  // transformed once for every scale
    const uint64_t max_bits = max_bytes >= 8 ? (uint64_t{max_bytes} - 8) / 4 * 32 : 0;
    const uint16_t q = finest_fitting_scale(blocks, version, max_bits, 0);
    return emit_frame(blocks, quantise_all(blocks, q, version), q, version);
}

std::vector<uint8_t> encode_mdec_fitted(const Picture& picture, uint16_t version, uint32_t max_bytes, FitReport* report,
                                        uint16_t scale_hint) {
    const std::vector<Block> blocks = picture_blocks(picture);
    const uint64_t max_bits = max_bytes >= 8 ? (uint64_t{max_bytes} - 8) / 4 * 32 : 0;
    // The scale search alone: the finest scale whose frame fits.
    const uint16_t coarse = finest_fitting_scale(blocks, version, max_bits, scale_hint);
    std::vector<Levels> best = quantise_all(blocks, coarse, version);
    if (frame_bits(blocks, best, version) > max_bits) {  // even the coarsest scale does not fit: lower its levels
        const std::vector<Levels> rounded = best;
        if (!lower_until_fits(blocks, rounded, best, coarse, version, max_bits)) return {};  // not even the DCs fit
    }
    FitReport fit{coarse, 0, frame_error(blocks, best, coarse), 0, coarse};
    fit.scale_only_error = fit.error;
    // Then the next finer scale, its costliest levels lowered until it fits, if that loses less.
    if (coarse > 1) {
        const auto q = static_cast<uint16_t>(coarse - 1);
        std::vector<Levels> levels;
        if (lower_until_fits(blocks, quantise_all(blocks, q, version), levels, q, version, max_bits)) {
            if (const double e = frame_error(blocks, levels, q); e < fit.error) {
                best = std::move(levels);
                fit.scale = q;
                fit.error = e;
            }
        }
    }
    std::vector<uint8_t> frame = emit_frame(blocks, best, fit.scale, version);
    fit.bytes = static_cast<uint32_t>(frame.size());
    if (report) *report = fit;
    return frame;
}

std::vector<uint8_t> encode_mdec_keeping(const Picture& picture, uint16_t version, uint16_t scale,
                                         const std::vector<MdecLevels>& old, const std::vector<bool>& keep, FitReport* report) {
    const std::vector<Block> blocks = picture_blocks(picture);
    if (old.size() != blocks.size() || keep.size() * 6 != blocks.size()) return {};
    std::vector<Levels> levels(blocks.size());
    double error = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        if (keep[k / 6]) {
            levels[k] = old[k];
        } else {
            quantise(blocks[k], scale, version, levels[k]);
            error += ac_error(blocks[k], levels[k], scale);
        }
    }
    std::vector<uint8_t> frame = emit_frame(blocks, levels, scale, version);
    if (report) *report = FitReport{scale, static_cast<uint32_t>(frame.size()), error, error, scale};
    return frame;
}

}  // namespace codecs

// The planes to code for an RGB picture, chosen for what the console will show.

namespace codecs {
namespace {

// The console's conversion as a matrix on centred (Cb, Cr): R, G and B rows.
constexpr float kRows[3][2] = {{0, ConsoleChroma::kCrToR / 256.0f},
                               {-ConsoleChroma::kCbToG / 256.0f, -ConsoleChroma::kCrToG / 256.0f},
                               {ConsoleChroma::kCbToB / 256.0f, 0}};

// Chroma and lumas of one 2x2 block, centred on zero, and the RGB the console shows for them.
struct Quad {
    float cb = 0, cr = 0, y[4] = {};
    float shown(int pixel, int channel) const {
        return y[pixel] + kRows[channel][0] * cb + kRows[channel][1] * cr;
    }
};

// The chroma pair and lumas whose RGB lies nearest `rgb` (centred, four pixels) in least squares,
// leaving out the channels `free` marks (a target at 0 or 255 the console reaches by clamping):
// each luma the mean of what its channels want less the chroma's part, which leaves for the
// chroma a 2x2 system of the channels' differences from their pixel's mean.
void nearest_quad(const float rgb[4][3], const bool free[4][3], Quad& q) {
    const auto& rows = kRows;
    float a00 = 0, a01 = 0, a11 = 0, b0 = 0, b1 = 0;
    float mean_t[4] = {}, mean_m[4][2] = {};
    int counted[4] = {};
    for (int p = 0; p < 4; ++p) {
        for (int c = 0; c < 3; ++c) {
            if (free[p][c]) continue;
            mean_t[p] += rgb[p][c], mean_m[p][0] += rows[c][0], mean_m[p][1] += rows[c][1];
            ++counted[p];
        }
        if (counted[p] == 0) continue;
        const auto n = static_cast<float>(counted[p]);
        mean_t[p] /= n, mean_m[p][0] /= n, mean_m[p][1] /= n;
        for (int c = 0; c < 3; ++c) {
            if (free[p][c]) continue;
            const float m0 = rows[c][0] - mean_m[p][0], m1 = rows[c][1] - mean_m[p][1], r = rgb[p][c] - mean_t[p];
            a00 += m0 * m0, a01 += m0 * m1, a11 += m1 * m1, b0 += m0 * r, b1 += m1 * r;
        }
    }
    const float det = a00 * a11 - a01 * a01;
    if (det > 1e-6f) q.cb = (a11 * b0 - a01 * b1) / det, q.cr = (a00 * b1 - a01 * b0) / det;
    for (int p = 0; p < 4; ++p) {
        if (counted[p]) q.y[p] = mean_t[p] - (mean_m[p][0] * q.cb + mean_m[p][1] * q.cr);
    }
}

// The chroma nearest a pixel's RGB (centred) with its luma free, k * rgb in least squares, and
// mu: what a unit of Cb and of Cr adds to a pixel's mean channel.
struct ChromaSolution {
    float k[2][3];
    float mu[2];
};
const ChromaSolution& chroma_solution() {
    static const ChromaSolution s = [] {
        const auto& rows = kRows;
        ChromaSolution out{};
        for (int j = 0; j < 2; ++j) out.mu[j] = (rows[0][j] + rows[1][j] + rows[2][j]) / 3;
        float pm[3][2], a[2][2] = {};  // the rows less their mean, and their normal matrix
        for (int c = 0; c < 3; ++c) {
            for (int j = 0; j < 2; ++j) pm[c][j] = rows[c][j] - out.mu[j];
        }
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < 2; ++i) {
                for (int j = 0; j < 2; ++j) a[i][j] += pm[c][i] * pm[c][j];
            }
        }
        const float det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
        for (int c = 0; c < 3; ++c) {
            out.k[0][c] = (a[1][1] * pm[c][0] - a[0][1] * pm[c][1]) / det;
            out.k[1][c] = (a[0][0] * pm[c][1] - a[1][0] * pm[c][0]) / det;
        }
        return out;
    }();
    return s;
}

// The chroma pair and lumas nearest a 2x2 block's RGB (centred) with every channel counted, in
// closed form: the chroma nearest the block's mean RGB, each luma its pixel's mean channel less
// what the chroma adds to it.
Quad nearest_unclamped(const float rgb[4][3]) {
    const ChromaSolution& s = chroma_solution();
    float mean[3] = {};
    for (int p = 0; p < 4; ++p) {
        for (int c = 0; c < 3; ++c) mean[c] += rgb[p][c] / 4;
    }
    Quad q;
    q.cb = s.k[0][0] * mean[0] + s.k[0][1] * mean[1] + s.k[0][2] * mean[2];
    q.cr = s.k[1][0] * mean[0] + s.k[1][1] * mean[1] + s.k[1][2] * mean[2];
    const float added = s.mu[0] * q.cb + s.mu[1] * q.cr;
    for (int p = 0; p < 4; ++p) q.y[p] = (rgb[p][0] + rgb[p][1] + rgb[p][2]) / 3 - added;
    return q;
}

uint8_t sample(float centred) { return static_cast<uint8_t>(std::clamp(nearest(centred + 128), 0, 255)); }

}  // namespace

Picture console_planes(std::span<const uint8_t> rgb, int width, int height) {
    Picture out;
    out.width = static_cast<uint16_t>(width);
    out.height = static_cast<uint16_t>(height);
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    out.y.resize(static_cast<size_t>(width) * height);
    out.cb.resize(static_cast<size_t>(cw) * ch);
    out.cr.resize(out.cb.size());
    for (int by = 0; by < ch; ++by) {
        for (int bx = 0; bx < cw; ++bx) {
            float t[4][3];
            bool bounded = false;  // a target at 0 or 255, which the console may reach by clamping
            for (int p = 0; p < 4; ++p) {
                const int x = std::min(2 * bx + p % 2, width - 1), y = std::min(2 * by + p / 2, height - 1);
                for (int c = 0; c < 3; ++c) {
                    const uint8_t v = rgb[(static_cast<size_t>(y) * width + x) * 3 + c];
                    t[p][c] = static_cast<float>(v) - 128;
                    bounded = bounded || v == 0 || v == 255;
                }
            }
            Quad q = nearest_unclamped(t);
            // Where the console would clamp to a target at its bound, that channel is met: the
            // others are fitted again without it.
            bool free[4][3] = {}, clamped = false;
            for (int p = 0; bounded && p < 4; ++p) {
                for (int c = 0; c < 3; ++c) {
                    const float shown = q.shown(p, c);
                    if ((t[p][c] <= -128 && shown < -128) || (t[p][c] >= 127 && shown > 127)) free[p][c] = clamped = true;
                }
            }
            if (clamped) nearest_quad(t, free, q);
            out.cb[static_cast<size_t>(by) * cw + bx] = sample(q.cb);
            out.cr[static_cast<size_t>(by) * cw + bx] = sample(q.cr);
            for (int p = 0; p < 4; ++p) {
                const int x = 2 * bx + p % 2, y = 2 * by + p / 2;
                if (x < width && y < height) out.y[static_cast<size_t>(y) * width + x] = sample(q.y[p]);
            }
        }
    }
    return out;
}

}  // namespace codecs
