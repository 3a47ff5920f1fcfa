// SHA-1, as CHD files sum their data with it (FIPS 180-4): in every build, the Windows ones
// included, which link no cryptographic library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace codecs {

class Sha1 {
public:
    using Digest = std::array<uint8_t, 20>;
    void update(const uint8_t* data, size_t n);
    Digest finish();  // the sum; the object starts afresh
    static Digest of(const uint8_t* data, size_t n) {
        Sha1 s;
        s.update(data, n);
        return s.finish();
    }

private:
    void block(const uint8_t* p);
    uint32_t h_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    uint8_t pending_[64] = {};
    size_t held_ = 0;
    uint64_t length_ = 0;
};

}  // namespace codecs
