#include "decoders.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if QUORVEX_HAVE_ZLIB
#include <zlib.h>
#endif
#if QUORVEX_HAVE_LZMA
#include <lzma.h>
#endif
#if QUORVEX_HAVE_ZSTD
#include <zstd.h>
#endif
#if QUORVEX_HAVE_FLAC
#include <FLAC/stream_decoder.h>
#endif

namespace discwell {

bool have_codec(Codec codec) {
    switch (codec) {
        case Codec::kDeflate: return QUORVEX_HAVE_ZLIB;
        case Codec::kLzma: return QUORVEX_HAVE_LZMA;
        case Codec::kZstd: return QUORVEX_HAVE_ZSTD;
        case Codec::kFlac: return QUORVEX_HAVE_FLAC;
    }
    return false;
}

const char* codec_name(Codec codec) {
    switch (codec) {
        case Codec::kDeflate: return "Deflate";
        case Codec::kLzma: return "LZMA";
        case Codec::kZstd: return "Zstandard";
        case Codec::kFlac: return "FLAC";
    }
    return "?";
}

namespace {
[[maybe_unused]] bool lacking(Codec codec, std::string& why) {
    why = std::string("this build of quorvex cannot decode ") + codec_name(codec);
    return false;
}
}  // namespace

#if QUORVEX_HAVE_FLAC
// A FLAC stream made of a header written here and the frames of one block of the image.
struct FlacFeed {
    uint8_t header[42];
    std::span<const uint8_t> frames;
    size_t delivered = 0;  // bytes of header and frames handed to the decoder
    std::span<uint8_t> out;
    size_t written = 0;    // bytes of `out` filled
    bool failed = false;
};
#endif

struct Decoders::State {
#if QUORVEX_HAVE_ZLIB
    z_stream zlib{};
    bool zlib_ready = false;
#endif
#if QUORVEX_HAVE_ZSTD
    ZSTD_DCtx* zstd = nullptr;
#endif
#if QUORVEX_HAVE_FLAC
    FLAC__StreamDecoder* flac = nullptr;
#endif
    ~State() {
#if QUORVEX_HAVE_ZLIB
        if (zlib_ready) inflateEnd(&zlib);
#endif
#if QUORVEX_HAVE_ZSTD
        ZSTD_freeDCtx(zstd);
#endif
#if QUORVEX_HAVE_FLAC
        if (flac) FLAC__stream_decoder_delete(flac);
#endif
    }
};

Decoders::Decoders() : state_(std::make_unique<State>()) {}
Decoders::~Decoders() = default;

bool Decoders::inflate(std::span<const uint8_t> in, std::span<uint8_t> out, std::string& why) {
#if QUORVEX_HAVE_ZLIB
    z_stream& z = state_->zlib;
    if (!state_->zlib_ready) {
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
            why = "zlib would not start";
            return false;
        }
        state_->zlib_ready = true;
    } else {
        inflateReset(&z);
    }
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = ::inflate(&z, Z_FINISH);
    if ((result != Z_STREAM_END && result != Z_OK && result != Z_BUF_ERROR) || z.avail_out != 0) {
        why = result == Z_STREAM_END || result == Z_BUF_ERROR ? "Deflate data decodes to fewer bytes than stated"
                                                               : "Deflate data is corrupt";
        return false;
    }
    return true;
#else
    (void)in, (void)out;
    return lacking(Codec::kDeflate, why);
#endif
}

bool Decoders::lzma(std::span<const uint8_t> in, std::span<uint8_t> out, std::string& why) {
#if QUORVEX_HAVE_LZMA
    lzma_options_lzma options{};
    options.dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN, static_cast<uint32_t>(out.size()));
    options.lc = 3;
    options.lp = 0;
    options.pb = 2;
    // The decoder is told the size, so the data needs no end marker.
    options.ext_size_low = static_cast<uint32_t>(out.size());
    options.ext_size_high = 0;
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream z = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&z, filters) != LZMA_OK) {
        why = "liblzma would not start";
        return false;
    }
    z.next_in = in.data();
    z.avail_in = in.size();
    z.next_out = out.data();
    z.avail_out = out.size();
    const lzma_ret result = lzma_code(&z, LZMA_FINISH);
    const bool full = z.avail_out == 0;
    lzma_end(&z);
    if ((result != LZMA_STREAM_END && result != LZMA_OK) || !full) {
        why = result == LZMA_STREAM_END || result == LZMA_BUF_ERROR ? "LZMA data decodes to fewer bytes than stated"
                                                                    : "LZMA data is corrupt";
        return false;
    }
    return true;
#else
    (void)in, (void)out;
    return lacking(Codec::kLzma, why);
#endif
}

bool Decoders::zstd(std::span<const uint8_t> in, std::span<uint8_t> out, std::string& why) {
#if QUORVEX_HAVE_ZSTD
    if (!state_->zstd && !(state_->zstd = ZSTD_createDCtx())) {
        why = "libzstd would not start";
        return false;
    }
    ZSTD_DCtx_reset(state_->zstd, ZSTD_reset_session_only);
    ZSTD_inBuffer source{in.data(), in.size(), 0};
    ZSTD_outBuffer target{out.data(), out.size(), 0};
    while (target.pos < target.size) {
        const size_t result = ZSTD_decompressStream(state_->zstd, &target, &source);
        if (ZSTD_isError(result)) {
            why = std::string("Zstandard data is corrupt (") + ZSTD_getErrorName(result) + ")";
            return false;
        }
        if (source.pos == source.size && target.pos < target.size && result != 0) {
            why = "Zstandard data ends early";
            return false;
        }
        if (result == 0 && target.pos < target.size) break;
    }
    if (target.pos != target.size) {
        why = "Zstandard data decodes to fewer bytes than stated";
        return false;
    }
    return true;
#else
    (void)in, (void)out;
    return lacking(Codec::kZstd, why);
#endif
}

#if QUORVEX_HAVE_FLAC
namespace {

FLAC__StreamDecoderReadStatus flac_read(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes, void* client) {
    auto& feed = *static_cast<FlacFeed*>(client);
    const size_t total = sizeof feed.header + feed.frames.size();
    if (feed.delivered >= total) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    size_t n = 0;
    while (n < *bytes && feed.delivered < total) {
        const size_t at = feed.delivered;
        if (at < sizeof feed.header) {
            const size_t take = std::min(*bytes - n, sizeof feed.header - at);
            std::memcpy(buffer + n, feed.header + at, take);
            n += take;
            feed.delivered += take;
        } else {
            const size_t take = std::min(*bytes - n, total - at);
            std::memcpy(buffer + n, feed.frames.data() + (at - sizeof feed.header), take);
            n += take;
            feed.delivered += take;
        }
    }
    *bytes = n;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderTellStatus flac_tell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client) {
    *offset = static_cast<FlacFeed*>(client)->delivered;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderWriteStatus flac_write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const channels[], void* client) {
    auto& feed = *static_cast<FlacFeed*>(client);
    const size_t bytes = size_t{frame->header.blocksize} * 4;
    if (frame->header.channels != 2 || frame->header.bits_per_sample != 16 || bytes > feed.out.size() - feed.written) {
        feed.failed = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    uint8_t* out = feed.out.data() + feed.written;
    for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
        for (int c = 0; c < 2; ++c) {
            const auto sample = static_cast<uint32_t>(channels[c][i]);
            *out++ = static_cast<uint8_t>(sample >> 8);
            *out++ = static_cast<uint8_t>(sample);
        }
    }
    feed.written += bytes;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void flac_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* client) {
    static_cast<FlacFeed*>(client)->failed = true;
}

// The stream header the frames lack: "fLaC" and a STREAMINFO of fixed-size blocks of 44.1 kHz
// 16-bit stereo, length and checksum unknown.
void write_flac_header(uint8_t* h, uint32_t block) {
    std::memset(h, 0, 42);
    std::memcpy(h, "fLaC", 4);
    h[4] = 0x80;  // the last metadata block, of type STREAMINFO
    h[7] = 34;
    h[8] = h[10] = static_cast<uint8_t>(block >> 8);
    h[9] = h[11] = static_cast<uint8_t>(block);
    constexpr uint32_t rate = 44100;
    h[18] = static_cast<uint8_t>(rate >> 12);
    h[19] = static_cast<uint8_t>(rate >> 4);
    h[20] = static_cast<uint8_t>(((rate & 0x0F) << 4) | (1 << 1) | (15 >> 4));  // 2 channels, 16 bits
    h[21] = static_cast<uint8_t>((15 & 0x0F) << 4);
}

}  // namespace
#endif

bool Decoders::flac(std::span<const uint8_t> in, uint32_t block, std::span<uint8_t> out, size_t& used, std::string& why) {
#if QUORVEX_HAVE_FLAC
    if (block < 16 || block > 65535) {
        why = "an impossible FLAC block size";
        return false;
    }
    if (!state_->flac && !(state_->flac = FLAC__stream_decoder_new())) {
        why = "libFLAC would not start";
        return false;
    }
    FLAC__StreamDecoder* decoder = state_->flac;
    FlacFeed feed;
    write_flac_header(feed.header, block);
    feed.frames = in;
    feed.out = out;
    FLAC__stream_decoder_set_md5_checking(decoder, false);
    if (FLAC__stream_decoder_init_stream(decoder, flac_read, nullptr, flac_tell, nullptr, nullptr, flac_write, nullptr,
                                         flac_error, &feed) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        why = "libFLAC would not start";
        return false;
    }
    bool ok = FLAC__stream_decoder_process_until_end_of_metadata(decoder);
    while (ok && !feed.failed && feed.written < out.size()) {
        ok = FLAC__stream_decoder_process_single(decoder) &&
             FLAC__stream_decoder_get_state(decoder) != FLAC__STREAM_DECODER_END_OF_STREAM;
    }
    FLAC__uint64 position = 0;
    const bool placed = FLAC__stream_decoder_get_decode_position(decoder, &position);
    FLAC__stream_decoder_finish(decoder);
    if (feed.failed || feed.written != out.size() || !placed || position < sizeof feed.header) {
        why = feed.written < out.size() ? "FLAC data decodes to fewer samples than stated" : "FLAC data is corrupt";
        return false;
    }
    used = static_cast<size_t>(position - sizeof feed.header);
    return used <= in.size() || (why = "FLAC data is corrupt", false);
#else
    (void)in, (void)block, (void)out, (void)used;
    return lacking(Codec::kFlac, why);
#endif
}

}  // namespace discwell
