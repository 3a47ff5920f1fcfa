// CD-ROM XA ADPCM (4-bit): 18 sound groups of 128 bytes per audio sector, eight sound units of 28
// samples per group, each unit with its own prediction filter and range.
#pragma once

#include <cstdint>

namespace codecs {

inline constexpr uint32_t kXaSectorAudioBytes = 2304;
// The prediction filters: the sample is (s1 * K0 + s2 * K1 + 32) / 64 plus the scaled nibble.
inline constexpr int32_t kXaK0[5] = {0, 60, 115, 98, 122};
inline constexpr int32_t kXaK1[5] = {0, 0, -52, -55, -60};
inline constexpr uint32_t kXaSamplesPerSector = 4032;  // both channels together

struct XaHistory {
    int32_t s1 = 0;
    int32_t s2 = 0;
};

class XaAdpcmEncoder {
public:
    // How hard each unit's nibbles are searched for: one rounding per sample (the quick way the
    // builder's discs were made with), or a beam over the roundings either side, every range
    // tried, which follows the decoder's history and loses several dB less.
    enum class Search { kQuick, kThorough };
    explicit XaAdpcmEncoder(bool stereo, Search search = Search::kQuick) : stereo_(stereo), search_(search) {}
    // `pcm` holds 4032 samples: mono, or 2016 left/right pairs interleaved.
    void encode_sector(const int16_t* pcm, uint8_t* out);

private:
    bool stereo_;
    Search search_;
    XaHistory history_[2];
};

// Decodes one sector's 2304 bytes into 4032 samples (interleaved when stereo).
void decode_xa_sector(const uint8_t* in, bool stereo, XaHistory history[2], int16_t* out);

}  // namespace codecs
