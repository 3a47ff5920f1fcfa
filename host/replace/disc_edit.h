// The disc replace writes: the input image as discwell reads it, with the sectors replace changes
// held in memory, each with its bytes before and after. Nothing else of the disc is held: a new
// image is written by copying the input's other sectors as it goes, so memory grows with what
// changes, never with the disc.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../../discwell/discwell.h"
#include "../../discwell/image_writers.h"

namespace quorvex {

// Sectors of an open disc, read with discwell.
bool read_sectors(uint32_t disc, uint32_t lba, uint32_t count, uint8_t* out, std::string& error);

// An open disc as the writers take it.
class OpenDiscFeed : public discwell::SectorFeed {
public:
    explicit OpenDiscFeed(uint32_t disc) : disc_(disc) {}
    uint32_t sector_count() const override { return DwSectorCount(disc_); }
    bool read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const override {
        return read_sectors(disc_, lba, count, out, error);
    }

private:
    uint32_t disc_;
};

class DiscEdit : public discwell::SectorFeed {
public:
    explicit DiscEdit(uint32_t input);

    uint32_t sector_count() const override { return count_; }
    const std::vector<DwTrack>& tracks() const { return tracks_; }
    // The disc's tracks as the writers take them.
    std::vector<discwell::TrackSpan> track_spans() const;

    // The new disc's sectors: the input's, or their changed bytes.
    bool read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const override;

    // A sector to change, read from the input the first time it is asked for; null when it
    // cannot be read (`error` says why).
    uint8_t* edit(uint32_t lba, std::string& error);
    // The bytes of a sector asked for with edit() as the input holds them.
    const uint8_t* original(uint32_t lba) const { return edits_.at(lba).before.data(); }
    // Its bytes now.
    const uint8_t* changed_bytes(uint32_t lba) const { return edits_.at(lba).after.data(); }

    // The sectors whose bytes now differ from the input's, in ascending order.
    std::vector<uint32_t> changed() const;

    // The new disc opened with discwell (its handle, to close with DwClose), for checks before
    // anything is written; 0 when it cannot be.
    uint32_t open_disc() const;

private:
    struct Edited {
        std::array<uint8_t, 2352> before, after;
    };
    uint32_t input_;
    uint32_t count_;
    std::vector<DwTrack> tracks_;
    std::map<uint32_t, Edited> edits_;
};

}  // namespace quorvex
