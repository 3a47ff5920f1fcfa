// The sample discs: one small disc per game layout, built from test pictures and tones, and a
// full-length disc for whole-disc measurements.
#pragma once

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

// A 74-minute disc (333,000 sectors unless told otherwise) filled with every game's streams.
DiscImage build_full_disc(uint32_t sectors = 333000);

}  // namespace discbuilder
