#include "mdec_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <tuple>

namespace discbuilder {
namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The MPEG-1 default intra quantiser matrix, in natural order.
constexpr uint8_t kIntraMatrix[64] = {8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37,
                                      19, 22, 26, 27, 29, 34, 34, 38, 22, 22, 26, 27, 29, 34, 37, 40,
                                      22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32, 35, 40, 48, 58,
                                      26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

// MPEG-1 DCT coefficient codes (run, level) -> (code, length), without the sign bit.
struct Code {
    uint16_t bits;
    uint8_t length;
};
struct AcCode {
    uint8_t run, level;
    Code code;
};
constexpr AcCode kAcCodes[] = {
    {0, 1, {0x3, 2}},    {0, 2, {0x4, 4}},    {0, 3, {0x5, 5}},    {0, 4, {0x6, 7}},    {0, 5, {0x26, 8}},
    {0, 6, {0x21, 8}},   {0, 7, {0xa, 10}},   {0, 8, {0x1d, 12}},  {0, 9, {0x18, 12}},  {0, 10, {0x13, 12}},
    {0, 11, {0x10, 12}}, {0, 12, {0x1a, 13}}, {0, 13, {0x19, 13}}, {0, 14, {0x18, 13}}, {0, 15, {0x17, 13}},
    {0, 16, {0x1f, 14}}, {0, 17, {0x1e, 14}}, {0, 18, {0x1d, 14}}, {0, 19, {0x1c, 14}}, {0, 20, {0x1b, 14}},
    {0, 21, {0x1a, 14}}, {0, 22, {0x19, 14}}, {0, 23, {0x18, 14}}, {0, 24, {0x17, 14}}, {0, 25, {0x16, 14}},
    {0, 26, {0x15, 14}}, {0, 27, {0x14, 14}}, {0, 28, {0x13, 14}}, {0, 29, {0x12, 14}}, {0, 30, {0x11, 14}},
    {0, 31, {0x10, 14}}, {0, 32, {0x18, 15}}, {0, 33, {0x17, 15}}, {0, 34, {0x16, 15}}, {0, 35, {0x15, 15}},
    {0, 36, {0x14, 15}}, {0, 37, {0x13, 15}}, {0, 38, {0x12, 15}}, {0, 39, {0x11, 15}}, {0, 40, {0x10, 15}},
    {1, 1, {0x3, 3}},    {1, 2, {0x6, 6}},    {1, 3, {0x25, 8}},   {1, 4, {0xc, 10}},   {1, 5, {0x1b, 12}},
    {1, 6, {0x16, 13}},  {1, 7, {0x15, 13}},  {1, 8, {0x1f, 15}},  {1, 9, {0x1e, 15}},  {1, 10, {0x1d, 15}},
    {1, 11, {0x1c, 15}}, {1, 12, {0x1b, 15}}, {1, 13, {0x1a, 15}}, {1, 14, {0x19, 15}}, {1, 15, {0x13, 16}},
    {1, 16, {0x12, 16}}, {1, 17, {0x11, 16}}, {1, 18, {0x10, 16}}, {2, 1, {0x5, 4}},    {2, 2, {0x4, 7}},
    {2, 3, {0xb, 10}},   {2, 4, {0x14, 12}},  {2, 5, {0x14, 13}},  {3, 1, {0x7, 5}},    {3, 2, {0x24, 8}},
    {3, 3, {0x1c, 12}},  {3, 4, {0x13, 13}},  {4, 1, {0x6, 5}},    {4, 2, {0xf, 10}},   {4, 3, {0x12, 12}},
    {5, 1, {0x7, 6}},    {5, 2, {0x9, 10}},   {5, 3, {0x12, 13}},  {6, 1, {0x5, 6}},    {6, 2, {0x1e, 12}},
    {6, 3, {0x14, 16}},  {7, 1, {0x4, 6}},    {7, 2, {0x15, 12}},  {8, 1, {0x7, 7}},    {8, 2, {0x11, 12}},
    {9, 1, {0x5, 7}},    {9, 2, {0x11, 13}},  {10, 1, {0x27, 8}},  {10, 2, {0x10, 13}}, {11, 1, {0x23, 8}},
    {11, 2, {0x1a, 16}}, {12, 1, {0x22, 8}},  {12, 2, {0x19, 16}}, {13, 1, {0x20, 8}},  {13, 2, {0x18, 16}},
    {14, 1, {0xe, 10}},  {14, 2, {0x17, 16}}, {15, 1, {0xd, 10}},  {15, 2, {0x16, 16}}, {16, 1, {0x8, 10}},
    {16, 2, {0x15, 16}}, {17, 1, {0x1f, 12}}, {18, 1, {0x1a, 12}}, {19, 1, {0x19, 12}}, {20, 1, {0x17, 12}},
    {21, 1, {0x16, 12}}, {22, 1, {0x1f, 13}}, {23, 1, {0x1e, 13}}, {24, 1, {0x1d, 13}}, {25, 1, {0x1c, 13}},
    {26, 1, {0x1b, 13}}, {27, 1, {0x1f, 16}}, {28, 1, {0x1e, 16}}, {29, 1, {0x1d, 16}}, {30, 1, {0x1c, 16}},
    {31, 1, {0x1b, 16}},
};
constexpr Code kEscape{0x1, 6};
constexpr Code kEndOfBlock{0x2, 2};

// DC size codes of MPEG-1 for luminance and chrominance, by the size of the difference.
constexpr Code kDcLuma[12] = {{0x4, 3}, {0x0, 2}, {0x1, 2}, {0x5, 3}, {0x6, 3}, {0xe, 4},
                              {0x1e, 5}, {0x3e, 6}, {0x7e, 7}, {0xfe, 8}, {0x1fe, 9}, {0x1ff, 9}};
constexpr Code kDcChroma[12] = {{0x0, 2}, {0x1, 2}, {0x2, 2}, {0x6, 3}, {0xe, 4}, {0x1e, 5},
                                {0x3e, 6}, {0x7e, 7}, {0xfe, 8}, {0x1fe, 9}, {0x3fe, 10}, {0x3ff, 10}};

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

void put_dc_difference(BitWriter& out, int difference, bool luma) {
    int size = 0;
    for (int magnitude = std::abs(difference); magnitude; magnitude >>= 1) ++size;
    out.put((luma ? kDcLuma : kDcChroma)[size]);
    if (size) out.put(static_cast<uint32_t>(difference > 0 ? difference : difference + (1 << size) - 1), size);
}

// Codes a block; returns how many MDEC codes it decodes to (its DC, each run and level, the end).
uint32_t encode_block(BitWriter& out, const std::array<double, 64>& f, uint16_t qscale, uint16_t version, int& last_dc,
                      bool luma) {
    uint32_t codes = 2;
    if (version <= 2) {
        const int dc = std::clamp(static_cast<int>(std::lround((f[0] - 1024) / 2)), -512, 511);
        out.put(static_cast<uint32_t>(dc) & 0x3FF, 10);
    } else {
        const int dc = std::clamp(static_cast<int>(std::lround(f[0] / 8)), 0, 255);
        put_dc_difference(out, dc - last_dc, luma);
        last_dc = dc;
    }
    int run = 0;
    for (int i = 1; i < 64; ++i) {
        const int j = kZigzag[i];
        const double step = qscale * kIntraMatrix[j] / 8.0;
        const int level = static_cast<int>(std::lround(f[static_cast<size_t>(j)] / step));
        if (level == 0) {
            ++run;
            continue;
        }
        const auto code = ac_table().find({run, std::abs(level)});
        if (code != ac_table().end()) {
            out.put(code->second);
            out.put(level < 0 ? 1 : 0, 1);
        } else {
            out.put(kEscape);
            out.put(static_cast<uint32_t>(run), 6);
            out.put(static_cast<uint32_t>(std::clamp(level, -511, 511)) & 0x3FF, 10);
        }
        run = 0;
        ++codes;
    }
    out.put(kEndOfBlock);
    return codes;
}

}  // namespace

Picture test_picture(uint16_t width, uint16_t height, uint32_t frame) {
    Picture p;
    p.width = width;
    p.height = height;
    p.y.resize(size_t{width} * height);
    p.cb.resize(size_t{width / 2u} * (height / 2u));
    p.cr.resize(p.cb.size());
    const double t = frame;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = 128 + 70 * std::sin((x + 3 * t) / 23.0) * std::cos((y - 2 * t) / 31.0) + 30 * std::sin((x + y) / 57.0);
            p.y[size_t(y) * width + x] = static_cast<uint8_t>(std::clamp(std::lround(v), 16L, 235L));
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            p.cb[size_t(y) * (width / 2) + x] = static_cast<uint8_t>(128 + 40 * std::sin((x + t) / 17.0));
            p.cr[size_t(y) * (width / 2) + x] = static_cast<uint8_t>(128 + 40 * std::cos((y - t) / 13.0));
        }
    }
    return p;
}

std::vector<uint8_t> encode_mdec(const Picture& picture, uint16_t qscale, uint16_t version) {
    BitWriter out;
    uint32_t codes = 0;
    int last_dc[3] = {128, 128, 128};
    const int mb_width = (picture.width + 15) / 16, mb_height = (picture.height + 15) / 16;
    const int cw = picture.width / 2, ch = picture.height / 2;
    for (int mx = 0; mx < mb_width; ++mx) {
        for (int my = 0; my < mb_height; ++my) {
            codes += encode_block(out, dct_block(picture.cr, cw, ch, mx * 8, my * 8), qscale, version, last_dc[2], false);
            codes += encode_block(out, dct_block(picture.cb, cw, ch, mx * 8, my * 8), qscale, version, last_dc[1], false);
            for (int b = 0; b < 4; ++b) {
                codes += encode_block(out, dct_block(picture.y, picture.width, picture.height, mx * 16 + (b % 2) * 8, my * 16 + (b / 2) * 8),
                                      qscale, version, last_dc[0], true);
            }
        }
    }
    std::vector<uint8_t> bits = out.finish();
    // The first word, as the games write it: the MDEC codes halved, rounded up to a multiple of 32.
    const auto count = static_cast<uint16_t>(std::min<uint32_t>(((codes + 1) / 2 + 31) / 32 * 32, 0xFFE0));
    const uint16_t header[4] = {count, 0x3800, qscale, version};
    std::vector<uint8_t> frame;
    frame.reserve(8 + bits.size());
    for (const uint16_t word : header) {
        frame.push_back(static_cast<uint8_t>(word));
        frame.push_back(static_cast<uint8_t>(word >> 8));
    }
    frame.insert(frame.end(), bits.begin(), bits.end());
    return frame;
}

std::vector<uint8_t> encode_mdec_within(const Picture& picture, uint16_t version, uint32_t max_bytes) {
    // A coarser scale never makes a frame larger: search the scales by halves.
    uint16_t low = 1, high = 63;
    std::vector<uint8_t> best = encode_mdec(picture, high, version);
    while (low < high) {
        const auto q = static_cast<uint16_t>((low + high) / 2);
        auto frame = encode_mdec(picture, q, version);
        if (frame.size() <= max_bytes) {
            best = std::move(frame);
            high = q;
        } else {
            low = static_cast<uint16_t>(q + 1);
        }
    }
    return best;
}

std::vector<uint8_t> test_picture_frame(uint16_t width, uint16_t height, uint32_t frame, uint16_t version,
                                        uint32_t max_bytes) {
    static std::map<std::tuple<uint16_t, uint16_t, uint32_t, uint16_t, uint32_t>, std::vector<uint8_t>> made;
    const auto key = std::make_tuple(width, height, frame % 240, version, max_bytes);
    auto found = made.find(key);
    if (found == made.end()) {
        found = made.emplace(key, encode_mdec_within(test_picture(width, height, frame % 240), version, max_bytes)).first;
    }
    return found->second;
}

}  // namespace discbuilder
