// A 16-bit PCM WAV file written as the samples come, its sizes filled in at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "paths.h"

namespace quorvex {

class WavWriter {
public:
    WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    ~WavWriter() {
        if (file_) std::fclose(file_);
    }

    bool open(const std::filesystem::path& path, uint32_t sample_rate, uint16_t channels) {
        file_ = open_file(path, "wb");
        rate_ = sample_rate;
        channels_ = channels;
        return file_ && write_header();
    }
    bool write(const void* pcm, size_t bytes) {
        data_bytes_ += bytes;
        return std::fwrite(pcm, 1, bytes, file_) == bytes;
    }
    bool finish() {
        const bool ok = std::fseek(file_, 0, SEEK_SET) == 0 && write_header() && std::fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }

private:
    bool write_header() {
        uint8_t h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0};
        auto put32 = [&](int at, uint64_t v) {
            for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
        };
        const uint32_t data = data_bytes_ > 0xFFFFFFD0u ? 0xFFFFFFD0u : static_cast<uint32_t>(data_bytes_);
        put32(4, 36u + data);
        h[22] = static_cast<uint8_t>(channels_);
        put32(24, rate_);
        put32(28, uint64_t{rate_} * channels_ * 2);
        h[32] = static_cast<uint8_t>(channels_ * 2);
        h[34] = 16;
        h[36] = 'd', h[37] = 'a', h[38] = 't', h[39] = 'a';
        put32(40, data);
        return std::fwrite(h, 1, sizeof h, file_) == sizeof h;
    }

    std::FILE* file_ = nullptr;
    uint32_t rate_ = 0;
    uint16_t channels_ = 0;
    uint64_t data_bytes_ = 0;
};

}  // namespace quorvex
