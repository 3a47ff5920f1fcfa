#include "mdec_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

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

}  // namespace codecs
