#include "disc_image.h"

#include <cstdio>
#include <memory>

#include "image_writers.h"

namespace discbuilder {

void DiscImage::resize(uint32_t sector_count) {
    data_.resize(static_cast<size_t>(sector_count) * kSectorBytes);
    written_.resize(sector_count, false);
}

void DiscImage::put(uint32_t lba, Subheader subheader, std::span<const uint8_t> data) {
    if (lba >= sector_count()) resize(lba + 1);
    encode_sector(raw(lba), lba, subheader, data);
    written_[lba] = true;
    if (progress_ && lba >= reported_ + 4096) {
        reported_ = lba;
        progress_(lba);
    }
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
    const size_t slash = bin_path.find_last_of("/\\");
    const std::string bin_name = slash == std::string::npos ? bin_path : bin_path.substr(slash + 1);
    const std::string cue = "FILE \"" + bin_name + "\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n";
    // Each file appears whole or not at all: written beside its place, then renamed into it.
    return write_file(bin_path, image, error) &&
           write_file(cue_path_for(bin_path), std::span(reinterpret_cast<const uint8_t*>(cue.data()), cue.size()), error);
}

}  // namespace discbuilder
