#include "disc_image.h"

#include <cstdio>
#include <memory>

namespace discbuilder {

void DiscImage::resize(uint32_t sector_count) {
    data_.resize(static_cast<size_t>(sector_count) * kSectorBytes);
    written_.resize(sector_count, false);
}

void DiscImage::put(uint32_t lba, Subheader subheader, std::span<const uint8_t> data) {
    if (lba >= sector_count()) resize(lba + 1);
    encode_sector(raw(lba), lba, subheader, data);
    written_[lba] = true;
}

std::span<const uint8_t> DiscImage::bytes() {
    for (uint32_t lba = 0; lba < sector_count(); ++lba) {
        if (!written_[lba]) put(lba, Subheader{}, {});
    }
    return data_;
}

std::string cue_path_for(const std::string& bin_path) {
    const size_t dot = bin_path.find_last_of('.');
    const size_t slash = bin_path.find_last_of("/\\");
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_extension ? bin_path.substr(0, dot) : bin_path) + ".cue";
}

bool DiscImage::write(const std::string& bin_path, std::string& error) {
    const auto image = bytes();
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> bin(std::fopen(bin_path.c_str(), "wb"));
    if (!bin || std::fwrite(image.data(), 1, image.size(), bin.get()) != image.size() || std::fflush(bin.get()) != 0) {
        error = bin_path + ": cannot write";
        return false;
    }
    const size_t slash = bin_path.find_last_of("/\\");
    const std::string bin_name = slash == std::string::npos ? bin_path : bin_path.substr(slash + 1);
    const std::string cue_path = cue_path_for(bin_path);
    std::unique_ptr<std::FILE, Closer> cue(std::fopen(cue_path.c_str(), "wb"));
    if (!cue || std::fprintf(cue.get(), "FILE \"%s\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n",
                             bin_name.c_str()) < 0 ||
        std::fflush(cue.get()) != 0) {
        error = cue_path + ": cannot write";
        return false;
    }
    return true;
}

}  // namespace discbuilder
