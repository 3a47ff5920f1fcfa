#include "mdec_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace codecs {
namespace {

constexpr uint16_t kEndCode = 0xFE00;

int32_t signed10(uint16_t word) { return static_cast<int32_t>(word & 0x3FF) - ((word & 0x200) ? 0x400 : 0); }

// The bitstream: 16-bit little-endian words, read from their top bit down. Past the end it
// reads zeros and says so.
class Bits {
public:
    explicit Bits(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint32_t peek(int n) {
        fill(n);
        return static_cast<uint32_t>(cache_ >> (64 - n));
    }
    void skip(int n) {
        fill(n);
        cache_ <<= n;
        held_ -= n;
        used_ += static_cast<uint64_t>(n);
    }
    uint32_t take(int n) {
        const uint32_t v = n ? peek(n) : 0;
        skip(n);
        return v;
    }
    bool overrun() const { return used_ > uint64_t{bytes_.size() / 2} * 16; }
    bool ends_within(int n) const { return used_ + static_cast<uint64_t>(n) > uint64_t{bytes_.size() / 2} * 16; }

private:
    void fill(int n) {
        while (held_ < n) {
            uint64_t word = 0;
            if (at_ + 1 < bytes_.size()) word = static_cast<uint64_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
            at_ += 2;
            cache_ |= word << (48 - held_);
            held_ += 16;
        }
    }
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    uint64_t cache_ = 0;
    int held_ = 0;
    uint64_t used_ = 0;
};

// The MPEG-1 coefficient codes by their next 16 bits: the code's length (0: none, 1: escape,
// 2: end of block) and its run and level, the sign bit not included.
struct AcEntry {
    uint8_t length = 0;
    uint8_t run = 0;
    uint8_t level = 0;
    uint8_t kind = 0;  // 0 none, 1 run and level, 2 escape, 3 end of block
};
const std::vector<AcEntry>& ac_lookup() {
    static const std::vector<AcEntry> table = [] {
        std::vector<AcEntry> t(1 << 16);
        auto put = [&](Code code, AcEntry e) {
            const int free = 16 - code.length;
            for (uint32_t tail = 0; tail < (1u << free); ++tail) t[(uint32_t{code.bits} << free) | tail] = e;
        };
        for (const AcCode& c : kAcCodes) put(c.code, {c.code.length, c.run, c.level, 1});
        put(kEscape, {kEscape.length, 0, 0, 2});
        put(kEndOfBlock, {kEndOfBlock.length, 0, 0, 3});
        return t;
    }();
    return table;
}

// A DC difference's size by its code (version 3).
int dc_size(Bits& bits, bool luma) {
    const Code* codes = luma ? kDcLuma : kDcChroma;
    for (int size = 0; size < 12; ++size) {
        if (codes[size].length && bits.peek(codes[size].length) == codes[size].bits) {
            bits.skip(codes[size].length);
            return size;
        }
    }
    return -1;
}

int32_t clamp_signed(int32_t v, int32_t low, int32_t high) { return std::clamp(v, low, high); }

}  // namespace

uint8_t mdec_matrix(int zigzag_index) { return zigzag_index == 0 ? 2 : kIntraMatrix[kZigzag[zigzag_index]]; }

void mdec_dequantise(std::span<const uint16_t> halfwords, int32_t coefficients[64]) {
    std::fill(coefficients, coefficients + 64, 0);
    size_t at = 0;
    while (at < halfwords.size() && halfwords[at] == kEndCode) ++at;  // padding before a block
    if (at >= halfwords.size()) return;
    const uint16_t first = halfwords[at++];
    const int32_t scale = (first >> 10) & 0x3F;
    int k = 0;
    int32_t value = signed10(first) * mdec_matrix(0);
    for (;;) {
        if (scale == 0) value = signed10(halfwords[at - 1]) * 2;
        value = clamp_signed(value, -0x400, 0x3FF);
        coefficients[scale ? kZigzag[k] : k] = value;
        if (at >= halfwords.size()) return;
        const uint16_t word = halfwords[at++];
        k += ((word >> 10) & 0x3F) + 1;
        if (k > 63) return;
        value = (signed10(word) * mdec_matrix(k) * scale + 4) >> 3;
    }
}

void mdec_idct(int32_t block[64]) {
    int32_t temp[64];
    int32_t* src = block;
    int32_t* dst = temp;
    for (int pass = 0; pass < 2; ++pass) {
        for (int x = 0; x < 8; ++x) {
            for (int y = 0; y < 8; ++y) {
                int64_t sum = 0;
                for (int z = 0; z < 8; ++z) sum += int64_t{src[y + z * 8]} * (kIdctScale[x + z * 8] >> 3);
                dst[x + y * 8] = static_cast<int32_t>((sum + 0xFFF) >> 13);
            }
        }
        std::swap(src, dst);
    }
    // Two passes: the result is back in `block`.
}

bool decode_mdec(std::span<const uint8_t> frame, uint16_t width, uint16_t height, Picture& planes, std::string& error) {
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
    const int mb_width = (width + 15) / 16, mb_height = (height + 15) / 16;
    const int full_width = mb_width * 16, full_height = mb_height * 16;
    std::vector<uint8_t> y(size_t(full_width) * full_height), cb(size_t(full_width / 2) * (full_height / 2)), cr(cb.size());
    const auto& lookup = ac_lookup();
    Bits bits(frame.subspan(8));
    int last_dc[3] = {128, 128, 128};
    std::vector<uint16_t> words;
    words.reserve(64);
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
                if (version == 2) {
                    dc = static_cast<int32_t>(bits.take(10));
                    if (dc & 0x200) dc -= 0x400;
                } else {
                    const int size = dc_size(bits, luma);
                    if (size < 0) return broken("a DC size code no table holds");
                    int32_t difference = static_cast<int32_t>(bits.take(size));
                    if (size && !(difference >> (size - 1))) difference -= (1 << size) - 1;
                    last_dc[component] += difference;
                    dc = std::clamp(last_dc[component] * 4 - 512, -512, 511);
                }
                words.clear();
                words.push_back(static_cast<uint16_t>((qscale & 0x3F) << 10 | (dc & 0x3FF)));
                for (int k = 0;;) {
                    const AcEntry e = lookup[bits.peek(16)];
                    if (e.kind == 0) return broken(bits.ends_within(16) ? "the frame's data ends inside it" : "a coefficient code no table holds");
                    bits.skip(e.length);
                    if (e.kind == 3) break;
                    int32_t run, level;
                    if (e.kind == 2) {
                        run = static_cast<int32_t>(bits.take(6));
                        level = static_cast<int32_t>(bits.take(10));
                        if (level & 0x200) level -= 0x400;
                    } else {
                        run = e.run;
                        level = bits.take(1) ? -int32_t{e.level} : int32_t{e.level};
                    }
                    k += run + 1;
                    if (k > 63) return broken("more than 63 coefficients");
                    if (bits.overrun()) break;
                    words.push_back(static_cast<uint16_t>(run << 10 | (level & 0x3FF)));
                }
                if (bits.overrun()) return broken("the frame's data ends inside it");
                words.push_back(kEndCode);
                int32_t block[64];
                mdec_dequantise(words, block);
                mdec_idct(block);
                if (luma) {
                    const int x0 = mx * 16 + ((b - 2) % 2) * 8, y0 = my * 16 + ((b - 2) / 2) * 8;
                    for (int i = 0; i < 64; ++i) {
                        y[size_t(y0 + i / 8) * full_width + x0 + i % 8] = static_cast<uint8_t>(clamp_signed(block[i], -128, 127) + 128);
                    }
                } else {
                    std::vector<uint8_t>& plane = b == 0 ? cr : cb;
                    for (int i = 0; i < 64; ++i) {
                        plane[size_t(my * 8 + i / 8) * (full_width / 2) + mx * 8 + i % 8] =
                            static_cast<uint8_t>(clamp_signed(block[i], -128, 127) + 128);
                    }
                }
            }
        }
    }
    // The picture's own size, from the macroblocks that cover it.
    planes.width = width;
    planes.height = height;
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    planes.y.resize(size_t(width) * height);
    planes.cb.resize(size_t(cw) * ch);
    planes.cr.resize(planes.cb.size());
    for (int row = 0; row < height; ++row) std::copy_n(&y[size_t(row) * full_width], width, &planes.y[size_t(row) * width]);
    for (int row = 0; row < ch; ++row) {
        std::copy_n(&cb[size_t(row) * (full_width / 2)], cw, &planes.cb[size_t(row) * cw]);
        std::copy_n(&cr[size_t(row) * (full_width / 2)], cw, &planes.cr[size_t(row) * cw]);
    }
    return true;
}

std::vector<uint8_t> console_rgb(const Picture& planes) {
    const int w = planes.width, h = planes.height, cw = (w + 1) / 2;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const size_t c = size_t(row / 2) * cw + col / 2;
            const int luma = planes.y[size_t(row) * w + col] - 128, cb = planes.cb[c] - 128, cr = planes.cr[c] - 128;
            const auto round = [](double v) { return static_cast<int>(std::lround(v)); };
            const int r = luma + round(1.402 * cr), g = luma + round(-0.3437 * cb - 0.7143 * cr), b = luma + round(1.772 * cb);
            uint8_t* out = &rgb[(size_t(row) * w + col) * 3];
            out[0] = static_cast<uint8_t>(std::clamp(r, -128, 127) + 128);
            out[1] = static_cast<uint8_t>(std::clamp(g, -128, 127) + 128);
            out[2] = static_cast<uint8_t>(std::clamp(b, -128, 127) + 128);
        }
    }
    return rgb;
}

}  // namespace codecs
