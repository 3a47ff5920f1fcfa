#include "archive_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../contract/raw_sector.h"
#include "../codecs/archive_adpcm.h"
#include "test_signal.h"

namespace discbuilder {

using codecs::ArchiveHistory;
WrittenArchive write_archive(DiscImage& disc, uint32_t index_lba, uint32_t data_lba, bool stereo,
                             const std::vector<uint32_t>& track_sectors, uint32_t seed, uint32_t unique_sectors) {
    WrittenArchive archive;
    archive.index_lba = index_lba;
    archive.data_lba = data_lba;
    const auto records = static_cast<uint32_t>(track_sectors.size() + 2);
    archive.index_bytes = records * 8;

    // The index: each track's offset and length, then two records the game does not list.
    std::vector<uint8_t> index(sectors_for_bytes(archive.index_bytes) * 2048u, 0);
    uint32_t offset = 0;
    for (size_t t = 0; t < track_sectors.size(); ++t) {
        psr::store_le32(&index[8 * t], offset);
        psr::store_le16(&index[8 * t + 4], static_cast<uint16_t>(track_sectors[t]));
        psr::store_le16(&index[8 * t + 6], static_cast<uint16_t>(0x5A00 + t));
        archive.offsets.push_back(offset);
        archive.lengths.push_back(track_sectors[t]);
        offset += track_sectors[t];
    }
    psr::store_le32(&index[8 * track_sectors.size()], offset);
    psr::store_le32(&index[8 * track_sectors.size() + 8], 0xFFFFFFFF);
    const uint32_t index_sectors = sectors_for_bytes(archive.index_bytes);
    for (uint32_t s = 0; s < index_sectors; ++s) {
        const uint8_t submode = s + 1 == index_sectors ? 0x89 : 0x08;
        disc.put(index_lba + s, {0, 0, submode, 0}, {&index[2048u * s], 2048});
    }

    // The data: every track a tone of its own, its history starting where the last track's ended,
    // as the game's decoder carries it on.
    codecs::ArchiveHistory history[2];
    uint32_t lba = data_lba;
    const int channels = stereo ? 2 : 1;
    for (size_t t = 0; t < track_sectors.size(); ++t) {
        if (lba - data_lba >= unique_sectors) {
            // Repeat what was encoded: the tracks' sound is not wanted, only their size.
            for (uint32_t s = 0; s < track_sectors[t]; ++s, ++lba) {
                uint8_t user[2048];
                std::memcpy(user, disc.raw(data_lba + (lba - data_lba) % unique_sectors) + 24, sizeof user);
                disc.put(lba, {0, 0, s + 1 == track_sectors[t] ? uint8_t{0x89} : uint8_t{0x08}, 0}, user);
            }
            archive.signals.emplace_back();
            continue;
        }
        Tone tone(codecs::kArchiveSampleRate, 330.0 + 55.0 * static_cast<double>((seed + t) % 7), 495.0 + 45.0 * static_cast<double>(t % 5),
                  9000.0);
        const uint32_t frames_per_block = stereo ? 896 : 1792;
        const uint32_t blocks = track_sectors[t] * 2;
        std::vector<int16_t> signal = tone.next(frames_per_block * blocks, channels);
        // A voice clip's sound stops in its last block at group 50, where the end marker stands.
        const uint32_t sounding_groups = stereo ? 0 : 50;
        if (!stereo) signal.resize(static_cast<size_t>(frames_per_block) * (blocks - 1) + 28u * sounding_groups);
        archive.signals.push_back(signal);
        for (uint32_t s = 0; s < track_sectors[t]; ++s, ++lba) {
            uint8_t user[2048] = {};
            for (uint32_t b = 0; b < codecs::kArchiveBlocksPerSector; ++b) {
                uint8_t* block = user + codecs::kArchiveBlockBytes * b;
                const uint32_t block_index = s * codecs::kArchiveBlocksPerSector + b;
                const uint32_t groups = codecs::archive_block_groups(stereo);
                constexpr uint32_t kSamples = codecs::kArchiveGroupSamples;
                int16_t samples[kSamples];
                for (uint32_t g = 0; g < groups; ++g) {
                    if (!stereo && block_index + 1 == blocks && g == sounding_groups) {
                        block[codecs::archive_group_at(false, 0, g) + 1] = codecs::kArchiveEndMarker;
                        break;
                    }
                    for (uint32_t c = 0; c < uint32_t(channels); ++c) {
                        for (uint32_t i = 0; i < kSamples; ++i) {
                            samples[i] = signal[((block_index * groups + g) * kSamples + i) * uint32_t(channels) + c];
                        }
                        codecs::encode_archive_group(samples, history[c], 0, c == 1 ? codecs::kArchiveRightOffset : 0,
                                                     block + codecs::archive_group_at(stereo, c, g));
                    }
                }
            }
            disc.put(lba, {0, 0, s + 1 == track_sectors[t] ? uint8_t{0x89} : uint8_t{0x08}, 0}, user);
        }
    }
    archive.data_sectors = lba - data_lba;
    return archive;
}

}  // namespace discbuilder
