// A 16-bit PCM WAV file written as the samples come, its sizes filled in at the end; tags, when
// given, go into a LIST INFO chunk before the samples (as INAM, ICMT and the like).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

    // `tags`: (four-letter id, UTF-8 text) pairs; empty texts are left out.
    bool open(const std::filesystem::path& path, uint32_t sample_rate, uint16_t channels,
              const std::vector<std::pair<std::string, std::string>>& tags = {}) {
        file_ = open_file(path, "wb");
        rate_ = sample_rate;
        channels_ = channels;
        for (const auto& [id, text] : tags) {
            if (id.size() != 4 || text.empty()) continue;
            const size_t size = text.size() + 1;  // with its terminating zero
            info_.insert(info_.end(), id.begin(), id.end());
            for (int i = 0; i < 4; ++i) info_.push_back(static_cast<uint8_t>(size >> (8 * i)));
            info_.insert(info_.end(), text.begin(), text.end());
            info_.resize(info_.size() + 1 + (size & 1), 0);  // the zero, and a pad to an even size
        }
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
        std::vector<uint8_t> h = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0};
        h.resize(36);
        auto put32 = [&](size_t at, uint64_t v) {
            for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
        };
        if (!info_.empty()) {
            h.insert(h.end(), {'L', 'I', 'S', 'T', 0, 0, 0, 0, 'I', 'N', 'F', 'O'});
            put32(h.size() - 8, info_.size() + 4);
            h.insert(h.end(), info_.begin(), info_.end());
        }
        h.insert(h.end(), {'d', 'a', 't', 'a', 0, 0, 0, 0});
        const uint64_t limit = 0xFFFFFFFFu - h.size();
        const uint32_t data = static_cast<uint32_t>(data_bytes_ > limit ? limit : data_bytes_);
        put32(4, h.size() - 8 + data);
        h[22] = static_cast<uint8_t>(channels_);
        put32(24, rate_);
        put32(28, uint64_t{rate_} * channels_ * 2);
        h[32] = static_cast<uint8_t>(channels_ * 2);
        h[34] = 16;
        put32(h.size() - 4, data);
        return std::fwrite(h.data(), 1, h.size(), file_) == h.size();
    }

    std::FILE* file_ = nullptr;
    uint32_t rate_ = 0;
    uint16_t channels_ = 0;
    uint64_t data_bytes_ = 0;
    std::vector<uint8_t> info_;  // the LIST INFO chunk's entries
};

}  // namespace quorvex
