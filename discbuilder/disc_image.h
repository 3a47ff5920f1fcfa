// A disc image being built in memory: raw Mode 2 sectors, written as a .bin with its .cue sheet.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "sector_codec.h"

namespace discbuilder {

// What the builder put on a disc of each movie: where its frames begin and end and how long its
// sound lasts, for checks against the disc's own timing.
struct MovieRecord {
    std::vector<uint32_t> frame_lbas;
    std::vector<uint32_t> frame_end_lbas;  // the chunk that completes each frame
    uint32_t first_sound_lba = UINT32_MAX;
    uint8_t channel = 0;
    double pictures_seconds = 0;  // the disc time its frames span
    double sound_seconds = 0;     // what its sound sectors hold
};

class DiscImage {
public:
    explicit DiscImage(uint32_t sector_count = 0) { resize(sector_count); }

    uint32_t sector_count() const { return static_cast<uint32_t>(written_.size()); }
    void resize(uint32_t sector_count);

    // Encodes one sector at `lba`, growing the image when it lies past the end.
    void put(uint32_t lba, Subheader subheader, std::span<const uint8_t> data);
    // The raw bytes of a written sector, for tests that damage a sector on purpose.
    uint8_t* raw(uint32_t lba) { return data_.data() + static_cast<size_t>(lba) * kSectorBytes; }
    bool written(uint32_t lba) const { return lba < written_.size() && written_[lba]; }

    // The whole image; sectors never written become empty Form 1 data sectors.
    std::span<const uint8_t> bytes();
    // Writes `bin_path` and, beside it, a .cue sheet of one MODE2/2352 track.
    bool write(const std::string& bin_path, std::string& error);

    void record_movie(MovieRecord movie) { movies_.push_back(std::move(movie)); }

    // Hears, every few thousand sectors, how far the image has grown, for long builds.
    void on_growth(std::function<void(uint32_t sectors)> progress) { progress_ = std::move(progress); }
    const std::vector<MovieRecord>& movies() const { return movies_; }

private:
    std::function<void(uint32_t)> progress_;
    uint32_t reported_ = 0;
    std::vector<MovieRecord> movies_;
    std::vector<uint8_t> data_;
    std::vector<bool> written_;
};

std::string cue_path_for(const std::string& bin_path);

}  // namespace discbuilder
