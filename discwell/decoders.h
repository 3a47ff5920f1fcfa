// The system's codec libraries as compressed images use them: raw Deflate (zlib), raw LZMA1
// (liblzma), Zstandard (libzstd) and FLAC (libFLAC). A build has those its platform offers; the
// others say so when asked to decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace discwell {

enum class Codec { kDeflate, kLzma, kZstd, kFlac };

// Whether this build decodes `codec`, and its name for messages ("LZMA").
bool have_codec(Codec codec);
const char* codec_name(Codec codec);

// One thread's decoders; each call decodes one independent stream. A call succeeds only when the
// stream fills `out` exactly (`out` is what the container says the data decodes to).
class Decoders {
public:
    Decoders();
    ~Decoders();
    Decoders(const Decoders&) = delete;
    Decoders& operator=(const Decoders&) = delete;

    bool inflate(std::span<const uint8_t> in, std::span<uint8_t> out, std::string& why);
    // LZMA1 without a header or end marker: literal context 3, literal position 0, position bits 2.
    bool lzma(std::span<const uint8_t> in, std::span<uint8_t> out, std::string& why);
    bool zstd(std::span<const uint8_t> in, std::span<uint8_t> out, std::string& why);
    // FLAC frames of 44.1 kHz 16-bit stereo with no stream header, `block` samples a frame, into
    // big-endian samples. `used` is how many bytes of `in` the frames took.
    bool flac(std::span<const uint8_t> in, uint32_t block, std::span<uint8_t> out, size_t& used, std::string& why);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace discwell
