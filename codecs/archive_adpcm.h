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

struct ArchiveHistory {
    double s1 = 0.0;
    double s2 = 0.0;
};

// What the game's decoder makes of one 16-byte group: 28 rounded samples, history carried.
void decode_archive_group(const uint8_t* group, ArchiveHistory& history, int16_t* out);

// Encodes 28 samples into a group, choosing the filter (0 to 4) and shift (0 to 15) whose decoded
// output comes closest; `offset` is what the decoder subtracts afterwards (20 on the right channel
// of stereo archives).
void encode_archive_group(const int16_t* samples, ArchiveHistory& history, uint8_t flag, int offset, uint8_t* group);

}  // namespace codecs
