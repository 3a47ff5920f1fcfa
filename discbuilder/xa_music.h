// XA music on built discs: songs interleaved sector by sector on several channels, each game
// ending its songs and runs its own way.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disc_image.h"
#include "../codecs/xa_adpcm.h"

namespace discbuilder {

enum class MusicLayout : uint8_t {
    kOstrand,   // a blank audio sector ends a song; a data sector ends the run
    kDrumvale,  // a marker sector (class 0x0148) in the song's position ends it; a data sector ends the run
    kVelocet,   // data sectors inside the songs; two data sectors with the same first word end the run
};

struct WrittenSong {
    uint8_t channel = 0;
    std::vector<uint32_t> audio_lbas;
    std::vector<std::array<uint8_t, codecs::kXaSectorAudioBytes>> audio;
    std::vector<uint32_t> data_lbas;  // velocet's data sectors of this song
    uint32_t end_lba = 0;             // ostrand's blank or drumvale's marker sector; 0 for velocet
};

struct WrittenRun {
    uint32_t first_lba = 0;
    uint32_t end_lba = 0;  // one past the sector that ends the run
    std::vector<WrittenSong> songs;  // in the order they start
};

// Writes one run from `lba`: `songs[c]` lists the lengths, in audio sectors, of the songs that
// channel c plays one after another. The run has as many channels as `songs` has entries. With
// `unique_sectors`, each channel encodes that many audio sectors and then repeats them.
WrittenRun write_music_run(DiscImage& disc, uint32_t lba, MusicLayout layout,
                           const std::vector<std::vector<uint32_t>>& songs, uint32_t seed = 1,
                           uint32_t unique_sectors = 0xFFFFFFFF);

}  // namespace discbuilder
