#include "mdec_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <queue>

namespace codecs {
namespace {

constexpr double kPi = 3.14159265358979323846;

const std::map<std::pair<int, int>, Code>& ac_table() {
    static const std::map<std::pair<int, int>, Code> table = [] {
        std::map<std::pair<int, int>, Code> t;
        for (const AcCode& c : kAcCodes) t[{c.run, c.level}] = c.code;
        return t;
    }();
    return table;
}

class BitWriter {
public:
    void put(uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            current_ = static_cast<uint8_t>(current_ << 1 | ((bits >> i) & 1));
            if (++filled_ == 8) {
                bytes_.push_back(current_);
                current_ = 0;
                filled_ = 0;
            }
        }
    }
    void put(Code code) { put(code.bits, code.length); }
    // Pads to whole 32-bit words, then stores each 16-bit word little-endian.
    std::vector<uint8_t> finish() {
        while (filled_ != 0 || bytes_.size() % 4 != 0) put(0, 1);
        for (size_t i = 0; i + 1 < bytes_.size(); i += 2) std::swap(bytes_[i], bytes_[i + 1]);
        return bytes_;
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t current_ = 0;
    int filled_ = 0;
};

// The 8x8 block at (x, y) of a plane, edges repeated; then its DCT, scaled as JPEG's.
std::array<double, 64> dct_block(const std::vector<uint8_t>& plane, int plane_width, int plane_height, int x0, int y0) {
    static const auto cosines = [] {
        std::array<std::array<double, 8>, 8> c{};
        for (int u = 0; u < 8; ++u) {
            for (int x = 0; x < 8; ++x) c[u][x] = std::cos((2 * x + 1) * u * kPi / 16);
        }
        return c;
    }();
    double f[8][8];
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            const int px = std::min(x0 + x, plane_width - 1), py = std::min(y0 + y, plane_height - 1);
            f[y][x] = plane[static_cast<size_t>(py) * plane_width + px];
        }
    }
    std::array<double, 64> out{};
    for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
            double sum = 0;
            for (int y = 0; y < 8; ++y) {
                for (int x = 0; x < 8; ++x) sum += f[y][x] * cosines[u][x] * cosines[v][y];
            }
            const double cu = u == 0 ? 1 / std::sqrt(2.0) : 1, cv = v == 0 ? 1 / std::sqrt(2.0) : 1;
            out[static_cast<size_t>(8 * v + u)] = 0.25 * cu * cv * sum;
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

// The bits of a run and level: its code and sign, or the escape with a 6-bit run and a 10-bit level.
struct AcLengths {
    uint8_t length[64][41] = {};  // 0: no code of its own
    constexpr AcLengths() {
        for (const AcCode& c : kAcCodes) length[c.run][c.level] = static_cast<uint8_t>(c.code.length);
    }
};
constexpr AcLengths kAcLengths;
int ac_bits(int run, int level) {
    const AcLengths& table = kAcLengths;
    const int magnitude = std::abs(level);
    const int own = magnitude <= 40 ? table.length[run][magnitude] : 0;
    return own ? own + 1 : kEscape.length + 16;
}

// A picture's blocks in coding order (each macroblock, column by column: Cr, Cb, then the four Y),
// as DCT coefficients.
struct Block {
    std::array<double, 64> f;
    bool luma;
};
std::vector<Block> picture_blocks(const Picture& picture) {
    std::vector<Block> blocks;
    const int mb_width = (picture.width + 15) / 16, mb_height = (picture.height + 15) / 16;
    const int cw = picture.width / 2, ch = picture.height / 2;
    blocks.reserve(static_cast<size_t>(mb_width) * mb_height * 6);
    for (int mx = 0; mx < mb_width; ++mx) {
        for (int my = 0; my < mb_height; ++my) {
            blocks.push_back({dct_block(picture.cr, cw, ch, mx * 8, my * 8), false});
            blocks.push_back({dct_block(picture.cb, cw, ch, mx * 8, my * 8), false});
            for (int b = 0; b < 4; ++b) {
                blocks.push_back({dct_block(picture.y, picture.width, picture.height, mx * 16 + (b % 2) * 8, my * 16 + (b / 2) * 8),
                                  true});
            }
        }
    }
    return blocks;
}

// Which component a block of the coding order belongs to: 0 luma, 1 Cb, 2 Cr.
size_t component_of(size_t k) { return k % 6 == 0 ? 2 : k % 6 == 1 ? 1 : 0; }

using Levels = MdecLevels;

double step_of(uint16_t qscale, int zigzag) { return qscale * kIntraMatrix[kZigzag[zigzag]] / 8.0; }

Levels quantise(const Block& b, uint16_t qscale, uint16_t version) {
    Levels l;
    l.dc = version <= 2 ? std::clamp(static_cast<int>(std::lround((b.f[0] - 1024) / 2)), -512, 511)
                        : std::clamp(static_cast<int>(std::lround(b.f[0] / 8)), 0, 255);
    for (int i = 1; i < 64; ++i) {
        const long level = std::lround(b.f[kZigzag[i]] / step_of(qscale, i));
        l.ac[static_cast<size_t>(i)] = static_cast<int16_t>(std::clamp(level, -511L, 511L));
    }
    return l;
}

// The bits of a block's AC levels and its end code.
int ac_block_bits(const Levels& l) {
    int bits = kEndOfBlock.length, run = 0;
    for (int i = 1; i < 64; ++i) {
        const int level = l.ac[static_cast<size_t>(i)];
        if (level == 0) {
            ++run;
            continue;
        }
        bits += ac_bits(run, level);
        run = 0;
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
    int run = 0;
    for (int i = 1; i < 64; ++i) {
        const int level = l.ac[static_cast<size_t>(i)];
        if (level == 0) {
            ++run;
            continue;
        }
        const auto code = std::abs(level) <= 40 ? ac_table().find({run, std::abs(level)}) : ac_table().end();
        if (code != ac_table().end()) {
            out.put(code->second);
            out.put(level < 0 ? 1 : 0, 1);
        } else {
            out.put(kEscape);
            out.put(static_cast<uint32_t>(run), 6);
            out.put(static_cast<uint32_t>(level) & 0x3FF, 10);
        }
        run = 0;
        ++codes;
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
    std::vector<Levels> levels;
    levels.reserve(blocks.size());
    for (const Block& b : blocks) levels.push_back(quantise(b, qscale, version));
    return levels;
}

// The bits of a whole frame's blocks (DC, AC and end codes), without its header.
uint64_t frame_bits(const std::vector<Block>& blocks, const std::vector<Levels>& levels, uint16_t version) {
    uint64_t bits = 0;
    int last_dc[3] = {128, 128, 128};
    for (size_t k = 0; k < blocks.size(); ++k) {
        int& last = last_dc[component_of(k)];
        bits += static_cast<uint64_t>(ac_block_bits(levels[k]));
        bits += version <= 2 ? 10u : static_cast<uint64_t>(dc_difference_bits(levels[k].dc - last, blocks[k].luma));
        last = levels[k].dc;
    }
    return bits;
}

// The squared error of a block's AC coefficients as quantised (the DC is the same at every scale).
double ac_error(const Block& b, const Levels& l, uint16_t qscale) {
    double e = 0;
    for (int i = 1; i < 64; ++i) {
        const double d = b.f[kZigzag[i]] - l.ac[static_cast<size_t>(i)] * step_of(qscale, i);
        e += d * d;
    }
    return e;
}

// Lowers levels, each time the one that loses least picture for the bits it saves, until the
// frame's bits fit `max_bits`. False when even every level dropped would not fit.
bool lower_until_fits(const std::vector<Block>& blocks, std::vector<Levels>& levels, uint16_t qscale, uint64_t bits,
                      uint64_t max_bits, uint32_t& lowered) {
    struct Move {
        double ratio;  // error added per bit saved
        size_t block;
        int at;
        int saved;
        uint32_t stamp;
        bool operator>(const Move& o) const { return ratio > o.ratio; }
    };
    std::vector<uint32_t> stamps(blocks.size(), 0);
    // Each level's saving from the codes around it: lowering a level changes its own code; a
    // level of one dropped also joins its run to the next level's.
    const auto best_move = [&](size_t k, Move& move) {
        const Levels& l = levels[k];
        int at[64], run[64], n = 0;
        for (int i = 1, r = 0; i < 64; ++i) {
            if (l.ac[static_cast<size_t>(i)] == 0) {
                ++r;
                continue;
            }
            at[n] = i;
            run[n++] = r;
            r = 0;
        }
        bool found = false;
        for (int j = 0; j < n; ++j) {
            const int i = at[j], level = l.ac[static_cast<size_t>(i)];
            const int lower = level > 0 ? level - 1 : level + 1;
            int saved = ac_bits(run[j], level);
            if (lower != 0) {
                saved -= ac_bits(run[j], lower);
            } else if (j + 1 < n) {
                const int next = l.ac[static_cast<size_t>(at[j + 1])];
                saved += ac_bits(run[j + 1], next) - ac_bits(run[j] + 1 + run[j + 1], next);
            }
            if (saved <= 0) continue;
            const double f = blocks[k].f[kZigzag[i]], step = step_of(qscale, i);
            const double added = (f - lower * step) * (f - lower * step) - (f - level * step) * (f - level * step);
            const double ratio = added / saved;
            if (!found || ratio < move.ratio) move = Move{ratio, k, i, saved, stamps[k]};
            found = true;
        }
        return found;
    };
    std::priority_queue<Move, std::vector<Move>, std::greater<Move>> moves;
    for (size_t k = 0; k < blocks.size(); ++k) {
        Move m{};
        if (best_move(k, m)) moves.push(m);
    }
    while (bits > max_bits) {
        if (moves.empty()) return false;
        const Move m = moves.top();
        moves.pop();
        if (m.stamp != stamps[m.block]) continue;  // the block changed since: its move was pushed anew
        int16_t& level = levels[m.block].ac[static_cast<size_t>(m.at)];
        level = static_cast<int16_t>(level > 0 ? level - 1 : level + 1);
        bits -= static_cast<uint64_t>(m.saved);
        ++lowered;
        ++stamps[m.block];
        Move next{};
        if (best_move(m.block, next)) moves.push(next);
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
    const auto encode = [&](uint16_t q) { return emit_frame(blocks, quantise_all(blocks, q, version), q, version); };
    // A coarser scale never makes a frame larger: search the scales by halves.
    uint16_t low = 1, high = 63;
    std::vector<uint8_t> best = encode(high);
    while (low < high) {
        const auto q = static_cast<uint16_t>((low + high) / 2);
        auto frame = encode(q);
        if (frame.size() <= max_bytes) {
            best = std::move(frame);
            high = q;
        } else {
            low = static_cast<uint16_t>(q + 1);
        }
    }
    return best;
}

std::vector<uint8_t> encode_mdec_fitted(const Picture& picture, uint16_t version, uint32_t max_bytes, FitReport* report) {
    const std::vector<Block> blocks = picture_blocks(picture);
    const auto error_of = [&](const std::vector<Levels>& levels, uint16_t q) {
        double e = 0;
        for (size_t k = 0; k < blocks.size(); ++k) e += ac_error(blocks[k], levels[k], q);
        return e;
    };
    const uint64_t max_bits = max_bytes >= 8 ? (uint64_t{max_bytes} - 8) / 4 * 32 : 0;
    // The scale search alone: the finest scale whose frame fits.
    uint16_t low = 1, high = 63;
    while (low < high) {
        const auto q = static_cast<uint16_t>((low + high) / 2);
        if (frame_bits(blocks, quantise_all(blocks, q, version), version) <= max_bits) {
            high = q;
        } else {
            low = static_cast<uint16_t>(q + 1);
        }
    }
    const uint16_t coarse = high;
    std::vector<Levels> best = quantise_all(blocks, coarse, version);
    FitReport fit{coarse, 0, 0, error_of(best, coarse), 0, coarse};
    fit.scale_only_error = fit.error;
    uint64_t bits = frame_bits(blocks, best, version);
    if (bits > max_bits) {  // even the coarsest scale does not fit: lower its levels
        if (!lower_until_fits(blocks, best, coarse, bits, max_bits, fit.lowered)) return {};  // not even the DCs fit
        fit.error = fit.scale_only_error = error_of(best, coarse);
    }
    // Then the next finer scale, its costliest levels lowered until it fits, if that loses less.
    for (uint16_t q = static_cast<uint16_t>(coarse - 1); q >= 1 && q + 2 > coarse; --q) {
        std::vector<Levels> levels = quantise_all(blocks, q, version);
        uint32_t lowered = 0;
        if (!lower_until_fits(blocks, levels, q, frame_bits(blocks, levels, version), max_bits, lowered)) break;
        const double e = error_of(levels, q);
        if (e >= fit.error) break;
        best = std::move(levels);
        fit.scale = q;
        fit.error = e;
        fit.lowered = lowered;
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
            levels[k] = quantise(blocks[k], scale, version);
            error += ac_error(blocks[k], levels[k], scale);
        }
    }
    std::vector<uint8_t> frame = emit_frame(blocks, levels, scale, version);
    if (report) *report = FitReport{scale, static_cast<uint32_t>(frame.size()), 0, error, error, scale};
    return frame;
}

}  // namespace codecs
