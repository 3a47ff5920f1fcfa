#include "png_writer.h"

#include <array>
#include <cstdlib>
#include <string_view>

#if QUORVEX_HAVE_ZLIB
#include <zlib.h>
#endif

namespace quorvex {
namespace {

constexpr std::array<uint32_t, 256> kCrcTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

uint32_t crc32_of(std::span<const uint8_t> bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void chunk(std::vector<uint8_t>& out, std::string_view type, std::span<const uint8_t> data) {
    put32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    put32(out, crc32_of({out.data() + start, out.size() - start}));
}

uint8_t paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// One row through PNG filter `Filter` (0 none, 1 sub, 2 up, 3 average, 4 Paeth) into `out`;
// the sum of the output bytes taken as signed, in magnitude.
template <int Filter>
uint64_t filter_row(const uint8_t* row, const uint8_t* up, size_t stride, uint8_t* out) {
    constexpr size_t kPixel = 3;
    const auto predicted = [&](size_t i) -> int {
        const int a = i >= kPixel ? row[i - kPixel] : 0, b = up[i], c = i >= kPixel ? up[i - kPixel] : 0;
        if constexpr (Filter == 1) return a;
        if constexpr (Filter == 2) return b;
        if constexpr (Filter == 3) return (a + b) / 2;
        if constexpr (Filter == 4) return paeth(a, b, c);
        return 0;
    };
    uint64_t cost = 0;
    for (size_t i = 0; i < stride; ++i) {
        out[i] = static_cast<uint8_t>(row[i] - predicted(i));
        cost += static_cast<uint64_t>(std::abs(static_cast<int8_t>(out[i])));
    }
    return cost;
}

constexpr uint64_t (*kFilters[5])(const uint8_t*, const uint8_t*, size_t, uint8_t*) = {
    filter_row<0>, filter_row<1>, filter_row<2>, filter_row<3>, filter_row<4>};

// Each row behind its filter byte: of the five filters, the one whose output bytes, taken as
// signed, sum smallest in magnitude.
std::vector<uint8_t> filtered_rows(std::span<const uint8_t> rgb, uint32_t width, uint32_t height) {
    const size_t stride = size_t(width) * 3;
    std::vector<uint8_t> out((stride + 1) * height);
    std::vector<uint8_t> zero(stride, 0), trial(stride);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb.data() + y * stride;
        const uint8_t* up = y ? row - stride : zero.data();
        uint8_t* best = &out[y * (stride + 1)];
        uint64_t best_cost = kFilters[0](row, up, stride, best + 1);
        for (uint8_t filter = 1; filter < 5; ++filter) {
            const uint64_t cost = kFilters[filter](row, up, stride, trial.data());
            if (cost < best_cost) {
                best_cost = cost;
                best[0] = filter;
                std::copy(trial.begin(), trial.end(), best + 1);
            }
        }
    }
    return out;
}

uint32_t adler32_of(const std::vector<uint8_t>& bytes) {
    uint32_t a = 1, b = 0;
    for (size_t at = 0; at < bytes.size();) {
        // 5552 bytes at most between reductions keep the sums within 32 bits.
        const size_t end = std::min(bytes.size(), at + 5552);
        for (; at < end; ++at) {
            a += bytes[at];
            b += a;
        }
        a %= 65521;
        b %= 65521;
    }
    return b << 16 | a;
}

std::vector<uint8_t> zlib_stream(const std::vector<uint8_t>& raw, [[maybe_unused]] int level) {
#if QUORVEX_HAVE_ZLIB
    if (level > 0) {
        uLongf size = compressBound(static_cast<uLong>(raw.size()));
        std::vector<uint8_t> packed(size);
        if (compress2(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level) == Z_OK) {
            packed.resize(size);
            return packed;
        }
    }
#endif
    // Stored blocks of at most 65535 bytes, then the Adler-32 of the data.
    std::vector<uint8_t> out = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(raw.size() - at, 65535);
        out.push_back(at + n == raw.size() ? 1 : 0);
        out.insert(out.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                               static_cast<uint8_t>(~n >> 8)});
        out.insert(out.end(), raw.begin() + static_cast<ptrdiff_t>(at), raw.begin() + static_cast<ptrdiff_t>(at + n));
        at += n;
    } while (at < raw.size());
    put32(out, adler32_of(raw));
    return out;
}

}  // namespace

std::vector<uint8_t> encode_png(std::span<const uint8_t> rgb, uint32_t width, uint32_t height, int level) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    put32(header, width);
    put32(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, adaptive filters, no interlace
    chunk(out, "IHDR", header);
    chunk(out, "IDAT", zlib_stream(filtered_rows(rgb, width, height), level));
    chunk(out, "IEND", {});
    return out;
}

}  // namespace quorvex
