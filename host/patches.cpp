#include "patches.h"

#include <algorithm>
#include <cstring>

namespace quorvex {
namespace {

// The runs where two buffers of one size differ: [first, end) each, runs closer than `join`
// bytes made one (a short equal stretch costs more to skip than to carry).
std::vector<std::pair<size_t, size_t>> changed_runs(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t join) {
    std::vector<std::pair<size_t, size_t>> runs;
    size_t i = 0;
    const size_t n = std::min(a.size(), b.size());
    while (i < n) {
        // Skip equal bytes eight at a time where the buffers agree.
        while (i + 8 <= n && std::memcmp(&a[i], &b[i], 8) == 0) i += 8;
        while (i < n && a[i] == b[i]) ++i;
        if (i == n) break;
        const size_t first = i;
        while (i < n && a[i] != b[i]) ++i;
        if (!runs.empty() && first - runs.back().second < join) {
            runs.back().second = i;
        } else {
            runs.emplace_back(first, i);
        }
    }
    return runs;
}

// RFC 3284's integers: seven bits a byte, most significant first, the high bit on all but the last.
void put_varint(std::vector<uint8_t>& out, uint64_t v) {
    uint8_t bytes[10];
    int n = 0;
    do {
        bytes[n++] = static_cast<uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v);
    while (n > 1) out.push_back(static_cast<uint8_t>(bytes[--n] | 0x80));
    out.push_back(bytes[0]);
}

constexpr size_t kWindowBytes = 4u << 20;
// The default code table's instructions with their size following: ADD and COPY in mode 0
// (VCD_SELF, the address as it is).
constexpr uint8_t kAdd = 1, kCopySelf = 19;

}  // namespace

std::vector<uint8_t> vcdiff_patch(std::span<const uint8_t> before, std::span<const uint8_t> after) {
    std::vector<uint8_t> out = {0xD6, 0xC3, 0xC4, 0x00, 0x00};  // "VCD", version 0, no extras
    for (size_t at = 0; at < after.size(); at += kWindowBytes) {
        const size_t length = std::min(kWindowBytes, after.size() - at);
        const size_t source = std::min(length, before.size() > at ? before.size() - at : 0);
        std::vector<uint8_t> data, instructions, addresses;
        size_t done = 0;
        const auto copy = [&](size_t upto) {  // unchanged bytes, from the same place of the source
            if (upto <= done) return;
            instructions.push_back(kCopySelf);
            put_varint(instructions, upto - done);
            put_varint(addresses, done);
            done = upto;
        };
        const auto add = [&](size_t upto) {
            if (upto <= done) return;
            instructions.push_back(kAdd);
            put_varint(instructions, upto - done);
            data.insert(data.end(), after.begin() + static_cast<std::ptrdiff_t>(at + done),
                        after.begin() + static_cast<std::ptrdiff_t>(at + upto));
            done = upto;
        };
        for (const auto& [first, end] : changed_runs(before.subspan(at, source), after.subspan(at, source), 16)) {
            copy(first);
            add(end);
        }
        copy(source);
        add(length);  // past the source's end: all new
        std::vector<uint8_t> delta;
        put_varint(delta, length);
        delta.push_back(0);  // Delta_Indicator: nothing compressed
        put_varint(delta, data.size());
        put_varint(delta, instructions.size());
        put_varint(delta, addresses.size());
        delta.insert(delta.end(), data.begin(), data.end());
        delta.insert(delta.end(), instructions.begin(), instructions.end());
        delta.insert(delta.end(), addresses.begin(), addresses.end());
        out.push_back(source ? 0x01 : 0x00);  // Win_Indicator: VCD_SOURCE
        if (source) {
            put_varint(out, source);
            put_varint(out, at);
        }
        put_varint(out, delta.size());
        out.insert(out.end(), delta.begin(), delta.end());
    }
    return out;
}

std::vector<uint8_t> ppf3_patch(std::span<const uint8_t> before, std::span<const uint8_t> after,
                                const std::string& description) {
    std::vector<uint8_t> out(60, 0);
    std::memcpy(out.data(), "PPF30", 5);
    out[5] = 0x02;  // PPF 3.0
    std::memset(&out[6], ' ', 50);
    std::memcpy(&out[6], description.data(), std::min<size_t>(description.size(), 50));
    // out[56] image type BIN, [57] no block check, [58] no undo data, [59] unused: all zero.
    for (auto [first, end] : changed_runs(before, after, 1)) {
        for (size_t at = first; at < end;) {
            const size_t n = std::min<size_t>(255, end - at);
            for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(uint64_t{at} >> (8 * i)));
            out.push_back(static_cast<uint8_t>(n));
            out.insert(out.end(), after.begin() + static_cast<std::ptrdiff_t>(at), after.begin() + static_cast<std::ptrdiff_t>(at + n));
            at += n;
        }
    }
    return out;
}

}  // namespace quorvex
