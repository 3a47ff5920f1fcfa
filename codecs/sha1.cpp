#include "sha1.h"

#include <algorithm>
#include <cstring>

namespace codecs {
namespace {

constexpr uint32_t rotl(uint32_t v, int n) { return v << n | v >> (32 - n); }

}  // namespace

void Sha1::block(const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 | uint32_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
        else f = b ^ c ^ d, k = 0xCA62C1D6;
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e;
}

void Sha1::update(const uint8_t* data, size_t n) {
    length_ += n;
    if (held_) {
        const size_t take = std::min(n, sizeof pending_ - held_);
        std::memcpy(pending_ + held_, data, take);
        held_ += take, data += take, n -= take;
        if (held_ < sizeof pending_) return;
        block(pending_);
        held_ = 0;
    }
    for (; n >= 64; data += 64, n -= 64) block(data);
    std::memcpy(pending_, data, n);
    held_ = n;
}

Sha1::Digest Sha1::finish() {
    const uint64_t bits = length_ * 8;
    const uint8_t one = 0x80, zero = 0;
    update(&one, 1);
    while (held_ != 56) update(&zero, 1);
    uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    update(tail, 8);
    Digest d;
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) d[size_t(4 * i + j)] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    }
    *this = Sha1{};
    return d;
}

}  // namespace codecs
