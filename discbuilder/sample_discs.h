// The sample discs: one small disc per game layout, built from test pictures and tones, and a
// full-length disc for whole-disc measurements.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "disc_image.h"

namespace discbuilder {

struct SampleDisc {
    const char* name;
    const char* description;
    DiscImage (*build)();
};

const std::vector<SampleDisc>& sample_discs();

// Full-length discs for whole-disc measurements, one per family of games.
enum class FullDisc : uint8_t {
    kMovies,   // selvane, grivet, tamsel and walcite movies one after another
    kMusic,    // ostrand, drumvale and velocet music runs
    kArchive,  // the Nimbrel volume with both archives
    kCorvane,  // corvane's volume and movies
    kLongMovie,  // one selvane movie of 2,000 frames (about 20,000 sectors), then empty sectors
};
inline constexpr uint32_t kFullDiscSectors = 333000;  // 74 minutes

// A stream (or a group of interleaved ones) a full disc holds: sectors [first, end).
struct FullDiscStream {
    std::string what;
    uint32_t first, end;
};

bool full_disc_named(const std::string& name, FullDisc& kind);
// `progress` hears how many sectors are built, every few thousand. The disc ends at `sectors`,
// which may cut its last streams: `streams`, when given, receives every one written, cut or not.
DiscImage build_full_disc(FullDisc kind, uint32_t sectors = kFullDiscSectors,
                          std::function<void(uint32_t sectors)> progress = {}, std::vector<FullDiscStream>* streams = nullptr);

}  // namespace discbuilder
