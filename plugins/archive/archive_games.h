// nimbrel_music and nimbrel_voice: the same archive reading, with each plug-in's file table,
// channel count, duration divisor and block decoder.
#pragma once

#include <cstdint>

#include "codecs/archive_adpcm.h"
#include "contract/plugin_info.h"

namespace plugins::archive {

struct NimbrelMusic {
    static constexpr psr::PluginIdentity kIdentity{"Nimbrel BGM", "Copyright (C) 2026 the Nimbrel BGM plug-in authors",
                                                   100, 0, 230, psr::HomeUrl::kShort};
    // Pairs of an index file and the data file it describes.
    static constexpr const char* kFiles[] = {"BGM.HED", "BGM.MRG"};
    static constexpr uint16_t kChannels = 2;
    static constexpr uint32_t kDurationDivisor = 440;  // 35840 / 440 ms a sector: 1792 frames at 22000 Hz
};

struct NimbrelVoice {
    static constexpr psr::PluginIdentity kIdentity{"Nimbrel Voice", "Copyright (C) 2026 the Nimbrel Voice plug-in authors",
                                                   100, 0, 230, psr::HomeUrl::kShort};
    static constexpr const char* kFiles[] = {"VOICE1.HED", "VOICE1.MRG", "VOICE2.HED", "VOICE2.MRG"};
    static constexpr uint16_t kChannels = 1;
    static constexpr uint32_t kDurationDivisor = 220;  // 3584 samples at 22000 Hz
};

inline constexpr uint32_t kArchiveSampleRate = codecs::kArchiveSampleRate;
inline constexpr uint32_t kBlockBytes = 1024;
inline constexpr uint32_t kSectorBlockBytes = 2048;
inline constexpr uint32_t kPcmBytesPerBlock = 3584;
inline constexpr uint32_t kPcmBytesPerSector = 7168;

}  // namespace plugins::archive
