// The Nimbrel archives' ADPCM: 16-byte groups of 28 samples, each with a filter (0 to 4) and a
// shift (0 to 15) in its first byte and a flag in its second, decoded in double precision as the
// game's own decoder does.
#pragma once

#include <cstdint>

namespace codecs {

// The prediction filters, the game's own constants (sixty-fourths), which the archive plug-ins'
// decoder and this encoder share.
inline constexpr double kArchiveFilters[5][2] = {
    {0.0, 0.0}, {60.0 / 64, 0.0}, {115.0 / 64, -52.0 / 64}, {98.0 / 64, -55.0 / 64}, {122.0 / 64, -60.0 / 64}};

// The block layout. A 2048-byte sector holds two 1024-byte blocks; a mono block is 64 groups in a
// row, a stereo block 32 groups of the left channel and then 32 of the right. A mono group whose
// flag (its second byte) is the end marker ends its clip: it and the rest of the block are silent.
inline constexpr uint32_t kArchiveSampleRate = 22050;  // as the archive plug-ins describe it
inline constexpr uint32_t kArchiveGroupBytes = 16;
inline constexpr uint32_t kArchiveGroupSamples = 28;
inline constexpr uint32_t kArchiveBlockBytes = 1024;
inline constexpr uint32_t kArchiveBlocksPerSector = 2;
inline constexpr uint8_t kArchiveEndMarker = 7;
inline constexpr int kArchiveRightOffset = 20;  // the decoder takes 20 off the right channel, wrapping in 16 bits

// Groups per channel in a block, and where group `g` of `channel` lies in it.
constexpr uint32_t archive_block_groups(bool stereo) { return stereo ? 32 : 64; }
constexpr uint32_t archive_group_at(bool stereo, uint32_t channel, uint32_t g) {
    return (stereo ? channel * kArchiveBlockBytes / 2 : 0) + kArchiveGroupBytes * g;
}
constexpr bool archive_clip_ends(const uint8_t* group) { return group[1] == kArchiveEndMarker; }

struct ArchiveHistory {
    double s1 = 0.0;  // the last clamped value, before rounding
    double s2 = 0.0;  // the one before it
};

// What the game's decoder makes of one 16-byte group: 28 samples rounded half up (towards zero
// below -0.5), the history carried on.
inline void decode_archive_group(const uint8_t* group, ArchiveHistory& h, int16_t* out) {
    const int shift = group[0] & 15;
    const int filter = (group[0] >> 4) >= 4 ? 4 : group[0] >> 4;
    const double f0 = kArchiveFilters[filter][0], f1 = kArchiveFilters[filter][1];
    for (uint32_t i = 0; i < kArchiveGroupSamples; ++i) {
        const int raw = (group[2 + i / 2] >> (i % 2 ? 4 : 0)) & 15;
        const int32_t x = ((raw >= 8 ? raw - 16 : raw) * 4096) >> shift;
        double v = h.s1 * f0 + h.s2 * f1 + x;
        v = v < -32768.0 ? -32768.0 : v > 32767.0 ? 32767.0 : v;
        h.s2 = h.s1;
        h.s1 = v;
        out[i] = static_cast<int16_t>(static_cast<int32_t>(v + 0.5));
    }
}

// One block into interleaved samples (`history[1]` for a stereo block's right channel); returns
// the samples written: the whole block's, or a mono clip's up to its end marker.
inline uint32_t decode_archive_block(const uint8_t* block, bool stereo, ArchiveHistory* history, int16_t* out) {
    const uint32_t groups = archive_block_groups(stereo);
    if (!stereo) {
        for (uint32_t g = 0; g < groups; ++g) {
            const uint8_t* group = block + archive_group_at(false, 0, g);
            if (archive_clip_ends(group)) return g * kArchiveGroupSamples;
            decode_archive_group(group, history[0], out + g * kArchiveGroupSamples);
        }
        return groups * kArchiveGroupSamples;
    }
    int16_t left[kArchiveGroupSamples], right[kArchiveGroupSamples];
    for (uint32_t g = 0; g < groups; ++g) {
        decode_archive_group(block + archive_group_at(true, 0, g), history[0], left);
        decode_archive_group(block + archive_group_at(true, 1, g), history[1], right);
        for (uint32_t i = 0; i < kArchiveGroupSamples; ++i) {
            *out++ = left[i];
            *out++ = static_cast<int16_t>(static_cast<uint16_t>(right[i] - kArchiveRightOffset));
        }
    }
    return 2 * groups * kArchiveGroupSamples;
}

// Encodes 28 samples into a group, choosing the filter (0 to 4) and shift (0 to 15) whose decoded
// output comes closest; `offset` is what the decoder subtracts afterwards (20 on the right channel
// of stereo archives).
void encode_archive_group(const int16_t* samples, ArchiveHistory& history, uint8_t flag, int offset, uint8_t* group);

}  // namespace codecs
