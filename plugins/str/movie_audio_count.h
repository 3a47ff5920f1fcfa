// How a movie scanner counts the XA audio interleaved with its frames.
#pragma once

#include <cstdint>

#include "contract/raw_sector.h"

namespace plugins::str {

// An audio sector of the movie: the first one fixes the stream's subheader and, measured from the
// movie's first sector, a first spacing; the second one measures the spacing between the two.
template <class Entry>
constexpr void count_audio_sector(Entry& e, uint32_t lba, uint32_t subheader) {
    if (e.audio_sectors == 0) {
        e.first_audio = lba;
        e.audio_spacing = lba - e.first_sector;
        e.audio_subheader = subheader;
    } else if (e.audio_sectors == 1) {
        e.audio_spacing = lba - e.first_audio;
    }
    e.last_audio = lba;
    e.payload += psr::kXaAudioBytes;
    e.audio_sectors += 1;
}

// A video sector within one audio spacing of the last audio sector: audio and frames so far are
// in step, and measure the rate the audio implies.
template <class Entry>
constexpr void note_audio_in_step(Entry& e, uint32_t lba) {
    if (e.audio_sectors != 0 && lba - e.last_audio < e.audio_spacing) {
        e.synced_audio = e.audio_sectors;
        e.synced_frames = e.frames;
    }
}

}  // namespace plugins::str
