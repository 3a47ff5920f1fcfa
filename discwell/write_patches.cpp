// Patches of a BIN in the two forms people trade them: VCDIFF (RFC 3284, what xdelta3 applies)
// and PPF 3.0 (the PlayStation patch file). The original is read from a feed a window at a time;
// only the changed sectors are held whole.
#include <algorithm>
#include <cstring>

#include "image_writers.h"

namespace discwell {
namespace {

constexpr uint32_t kSector = 2352;

// The runs where two buffers of one size differ: [first, end) each, runs closer than `join`
// bytes made one (a short equal stretch costs more to skip than to carry).
std::vector<std::pair<size_t, size_t>> changed_runs(const uint8_t* a, const uint8_t* b, size_t n, size_t join) {
    std::vector<std::pair<size_t, size_t>> runs;
    size_t i = 0;
    while (i < n) {
        while (i + 8 <= n && std::memcmp(a + i, b + i, 8) == 0) i += 8;
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

uint32_t adler32(const uint8_t* data, size_t n) {
    uint32_t a = 1, b = 0;
    while (n > 0) {
        const size_t run = std::min<size_t>(n, 5552);  // the most bytes before the sums must be reduced
        for (size_t i = 0; i < run; ++i) {
            a += data[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        data += run;
        n -= run;
    }
    return b << 16 | a;
}

// Windows of whole sectors, under 4 MiB.
constexpr uint32_t kWindowSectors = 1782;
// The default code table's instructions with their size following: ADD and COPY in mode 0
// (VCD_SELF, the address as it is).
constexpr uint8_t kAdd = 1, kCopySelf = 19;
// The window indicator: a source segment, and the Adler-32 of the window made (as xdelta3 writes).
constexpr uint8_t kSourceAndAdler32 = 0x05;

// The original's sectors from `first`, and the same with the changes that fall among them.
bool window_of(const SectorFeed& original, uint32_t first, uint32_t count, const std::vector<ChangedSector>& changes,
               std::vector<uint8_t>& before, std::vector<uint8_t>& after, std::string& error) {
    before.resize(size_t{count} * kSector);
    if (!original.read(first, count, before.data(), error)) return false;
    after = before;
    const uint64_t from = uint64_t{first} * kSector, to = from + before.size();
    for (const ChangedSector& c : changes) {
        if (c.offset < from || c.offset >= to) continue;
        std::memcpy(after.data() + (c.offset - from), c.after, kSector);
    }
    return true;
}

bool changes_fit(uint64_t bin_bytes, const std::vector<ChangedSector>& changes, std::string& error) {
    if (bin_bytes % kSector != 0) {
        error = "the BIN is no whole number of 2352-byte sectors";
        return false;
    }
    for (const ChangedSector& c : changes) {
        if (c.offset % kSector != 0 || c.offset + kSector > bin_bytes) {
            error = "a changed sector lies outside the BIN";
            return false;
        }
    }
    return true;
}

}  // namespace

bool vcdiff_patch(const SectorFeed& original, uint64_t bin_bytes, const std::vector<ChangedSector>& changes,
                  std::vector<uint8_t>& out, std::string& error) {
    if (!changes_fit(bin_bytes, changes, error)) return false;
    out = {0xD6, 0xC3, 0xC4, 0x00, 0x00};  // "VCD", version 0, no extras
    const auto sectors = static_cast<uint32_t>(bin_bytes / kSector);
    std::vector<uint8_t> before, after;
    for (uint32_t first = 0; first < sectors; first += kWindowSectors) {
        const uint32_t count = std::min(kWindowSectors, sectors - first);
        if (!window_of(original, first, count, changes, before, after, error)) return false;
        const size_t length = after.size();
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
            data.insert(data.end(), after.begin() + static_cast<std::ptrdiff_t>(done), after.begin() + static_cast<std::ptrdiff_t>(upto));
            done = upto;
        };
        for (const auto& [from, to] : changed_runs(before.data(), after.data(), length, 16)) {
            copy(from);
            add(to);
        }
        copy(length);
        const uint32_t sum = adler32(after.data(), length);
        std::vector<uint8_t> delta;
        put_varint(delta, length);
        delta.push_back(0);  // Delta_Indicator: nothing compressed
        put_varint(delta, data.size());
        put_varint(delta, instructions.size());
        put_varint(delta, addresses.size());
        for (int shift = 24; shift >= 0; shift -= 8) delta.push_back(static_cast<uint8_t>(sum >> shift));
        delta.insert(delta.end(), data.begin(), data.end());
        delta.insert(delta.end(), instructions.begin(), instructions.end());
        delta.insert(delta.end(), addresses.begin(), addresses.end());
        out.push_back(kSourceAndAdler32);
        put_varint(out, length);
        put_varint(out, uint64_t{first} * kSector);
        put_varint(out, delta.size());
        out.insert(out.end(), delta.begin(), delta.end());
    }
    return true;
}

bool ppf3_patch(const SectorFeed& original, uint64_t bin_bytes, const std::vector<ChangedSector>& changes,
                const std::string& description, std::vector<uint8_t>& out, std::string& error) {
    constexpr uint64_t kBlockCheckAt = 0x9320;
    constexpr size_t kBlockCheckBytes = 1024;
    if (!changes_fit(bin_bytes, changes, error)) return false;
    if (bin_bytes < kBlockCheckAt + kBlockCheckBytes) {
        error = "the BIN is too short for a PPF's block check";
        return false;
    }
    out.assign(60, 0);
    std::memcpy(out.data(), "PPF30", 5);
    out[5] = 0x02;  // PPF 3.0
    std::memset(&out[6], ' ', 50);
    std::memcpy(&out[6], description.data(), std::min<size_t>(description.size(), 50));
    out[56] = 0;  // a BIN image
    out[57] = 1;  // with its block check
    // The block check: the original's 1024 bytes at 0x9320 (in sectors 16 and 17).
    std::vector<uint8_t> sectors(2 * kSector);
    const auto first = static_cast<uint32_t>(kBlockCheckAt / kSector);
    if (!original.read(first, 2, sectors.data(), error)) return false;
    const size_t skip = static_cast<size_t>(kBlockCheckAt - uint64_t{first} * kSector);
    out.insert(out.end(), sectors.begin() + static_cast<std::ptrdiff_t>(skip),
               sectors.begin() + static_cast<std::ptrdiff_t>(skip + kBlockCheckBytes));
    for (const ChangedSector& c : changes) {
        for (auto [from, to] : changed_runs(c.before, c.after, kSector, 1)) {
            for (size_t at = from; at < to;) {
                const size_t n = std::min<size_t>(255, to - at);
                const uint64_t offset = c.offset + at;
                for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(offset >> (8 * i)));
                out.push_back(static_cast<uint8_t>(n));
                out.insert(out.end(), c.after + at, c.after + at + n);
                at += n;
            }
        }
    }
    return true;
}

}  // namespace discwell
