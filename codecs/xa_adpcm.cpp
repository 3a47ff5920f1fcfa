#include "xa_adpcm.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace codecs {
namespace {

constexpr int kUnitSamples = 28;

int32_t clamp16(int32_t v) { return std::clamp(v, -32768, 32767); }
int32_t predict(const XaHistory& h, int filter) { return (h.s1 * kXaK0[filter] + h.s2 * kXaK1[filter] + 32) >> 6; }

struct UnitChoice {
    uint8_t param = 0;
    int8_t nibbles[kUnitSamples] = {};
    XaHistory end;
    int64_t error = std::numeric_limits<int64_t>::max();
};

// Quantises one unit with a given filter and shift (step 2^shift), tracking the decoder's history.
void try_unit(const int32_t* x, const XaHistory& start, int filter, int shift, UnitChoice& best) {
    UnitChoice trial;
    XaHistory h = start;
    int64_t error = 0;
    for (int i = 0; i < kUnitSamples; ++i) {
        const int32_t pred = predict(h, filter);
        const int32_t residual = x[i] - pred;
        const int32_t half = shift > 0 ? 1 << (shift - 1) : 0;
        int32_t q = residual >= 0 ? (residual + half) >> shift : -((-residual + half) >> shift);
        q = std::clamp(q, -8, 7);
        const int32_t decoded = clamp16(q * (1 << shift) + pred);
        error += static_cast<int64_t>(x[i] - decoded) * (x[i] - decoded);
        trial.nibbles[i] = static_cast<int8_t>(q);
        h.s2 = h.s1;
        h.s1 = decoded;
    }
    if (error < best.error) {
        trial.error = error;
        trial.end = h;
        trial.param = static_cast<uint8_t>(filter << 4 | (12 - shift));
        best = trial;
    }
}

// The largest residual of an ideal prediction tells the step that fits it.
int fitting_shift(const int32_t* x, const XaHistory& start, int filter) {
    XaHistory h = start;
    int32_t peak = 0;
    for (int i = 0; i < kUnitSamples; ++i) {
        peak = std::max(peak, std::abs(x[i] - predict(h, filter)));
        h.s2 = h.s1;
        h.s1 = x[i];
    }
    int shift = 0;
    while (shift < 12 && (7 << shift) < peak) ++shift;
    return shift;
}

// The same with each nibble chosen from the rounding and its neighbours, keeping the `kBeam`
// best paths through the unit.
void search_unit(const int32_t* x, const XaHistory& start, int filter, int shift, UnitChoice& best) {
    constexpr size_t kBeam = 4;
    struct Path {
        XaHistory h;
        int64_t error = 0;
        int8_t nibbles[kUnitSamples] = {};
    };
    std::vector<Path> paths{Path{start, 0, {}}}, next;
    for (int i = 0; i < kUnitSamples; ++i) {
        next.clear();
        for (const Path& p : paths) {
            const int32_t pred = predict(p.h, filter);
            const int32_t residual = x[i] - pred;
            const int32_t half = shift > 0 ? 1 << (shift - 1) : 0;
            const int32_t q0 = std::clamp(residual >= 0 ? (residual + half) >> shift : -((-residual + half) >> shift), -8, 7);
            for (int32_t q = std::max(q0 - 1, -8); q <= std::min(q0 + 1, 7); ++q) {
                Path n = p;
                const int32_t decoded = clamp16(q * (1 << shift) + pred);
                n.error += static_cast<int64_t>(x[i] - decoded) * (x[i] - decoded);
                n.nibbles[i] = static_cast<int8_t>(q);
                n.h.s2 = n.h.s1;
                n.h.s1 = decoded;
                next.push_back(n);
            }
        }
        const size_t keep = std::min(kBeam, next.size());
        std::partial_sort(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(keep), next.end(),
                          [](const Path& a, const Path& b) { return a.error < b.error; });
        next.resize(keep);
        std::swap(paths, next);
    }
    const Path& winner = paths.front();
    if (winner.error < best.error) {
        best.error = winner.error;
        best.end = winner.h;
        best.param = static_cast<uint8_t>(filter << 4 | (12 - shift));
        std::copy(std::begin(winner.nibbles), std::end(winner.nibbles), best.nibbles);
    }
}

UnitChoice encode_unit_thoroughly(const int32_t* x, const XaHistory& start) {
    UnitChoice best;
    for (int filter = 0; filter < 4; ++filter) {
        const int shift = fitting_shift(x, start, filter);
        for (int s = std::max(0, shift - 1); s <= std::min(12, shift + 1); ++s) search_unit(x, start, filter, s, best);
    }
    return best;
}

UnitChoice encode_unit(const int32_t* x, const XaHistory& start) {
    UnitChoice best;
    for (int filter = 0; filter < 4; ++filter) {
        const int shift = fitting_shift(x, start, filter);
        for (int s = std::max(0, shift - 1); s <= std::min(12, shift + 1); ++s) try_unit(x, start, filter, s, best);
    }
    return best;
}

}  // namespace

void XaAdpcmEncoder::encode_sector(const int16_t* pcm, uint8_t* out) {
    std::memset(out, 0, kXaSectorAudioBytes);
    const int channels = stereo_ ? 2 : 1;
    for (int group = 0; group < 18; ++group) {
        uint8_t* g = out + group * 128;
        for (int unit = 0; unit < 8; ++unit) {
            const int channel = stereo_ ? unit & 1 : 0;
            const int block = stereo_ ? group * 4 + unit / 2 : group * 8 + unit;
            int32_t x[kUnitSamples];
            for (int i = 0; i < kUnitSamples; ++i) x[i] = pcm[(block * kUnitSamples + i) * channels + channel];
            const UnitChoice choice = search_ == Search::kThorough ? encode_unit_thoroughly(x, history_[channel])
                                                                   : encode_unit(x, history_[channel]);
            history_[channel] = choice.end;
            g[4 + unit] = choice.param;
            for (int i = 0; i < kUnitSamples; ++i) {
                g[16 + i * 4 + unit / 2] |= static_cast<uint8_t>((choice.nibbles[i] & 0x0F) << ((unit & 1) ? 4 : 0));
            }
        }
        std::memcpy(g, g + 4, 4);
        std::memcpy(g + 12, g + 8, 4);
    }
}

void decode_xa_sector(const uint8_t* in, bool stereo, XaHistory history[2], int16_t* out) {
    const int channels = stereo ? 2 : 1;
    for (int group = 0; group < 18; ++group) {
        const uint8_t* g = in + group * 128;
        for (int unit = 0; unit < 8; ++unit) {
            const int channel = stereo ? unit & 1 : 0;
            const int block = stereo ? group * 4 + unit / 2 : group * 8 + unit;
            const int range = g[4 + unit] & 0x0F;
            const int filter = std::min(g[4 + unit] >> 4, 4);
            XaHistory& h = history[channel];
            for (int i = 0; i < kUnitSamples; ++i) {
                const uint8_t byte = g[16 + i * 4 + unit / 2];
                const int32_t nibble = static_cast<int8_t>(static_cast<uint8_t>(((unit & 1) ? byte >> 4 : byte) << 4)) >> 4;
                const int32_t sample = clamp16(((nibble * 4096) >> range) + predict(h, filter));
                h.s2 = h.s1;
                h.s1 = sample;
                out[(block * kUnitSamples + i) * channels + channel] = static_cast<int16_t>(sample);
            }
        }
    }
}

}  // namespace codecs
