// The game's volume and its root directory: recognised at sector 16 by the volume identifier, and
// searched, when the root directory's first sector comes by, for each archive file of the table.
// All of it is module-level: one copy per loaded plug-in, shared by every scan.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "archive_games.h"
#include "contract/raw_sector.h"

namespace plugins::archive {

inline constexpr uint32_t kUnset = 0xFFFFFFFF;
inline constexpr uint32_t kVolumeDescriptorSector = 16;
inline constexpr char kVolumeIdentifier[32] = {'M', 'A', 'B', 'O', 'R', 'O', 'S', 'I', 'T', 'U', 'K',
                                               'I', 'Y', 'O', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                               ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

struct VolumeRoot {
    uint32_t root_sector;
    uint32_t root_size;
};

struct ArchiveFile {
    const char* name;
    uint32_t start_sector;
    uint32_t size_bytes;
    uint16_t records_left;  // index records not yet taken into the track list
};

// Searches the directory records at `directory` for `file`'s name; on a match stores the record's
// extent and data length. Never reads past the 2048 bytes of one directory sector.
inline int find_root_file(const uint8_t* directory, uint32_t bytes_remaining, ArchiveFile& file) {
    const uint32_t limit = bytes_remaining < psr::kForm1UserBytes ? bytes_remaining : psr::kForm1UserBytes;
    const auto name_length = static_cast<uint32_t>(std::strlen(file.name));
    for (uint32_t at = 0; at < limit;) {
        const uint8_t* record = directory + at;
        const uint32_t length = record[0];
        if (length == 0) return 0;  // the rest of the sector is zero fill
        if (at + 33 > psr::kForm1UserBytes) return 0;
        // The identifier without its ";1" (the one-byte names of "." and ".." give 255).
        const auto id_length = static_cast<uint8_t>(record[32] - 2);
        if (id_length == name_length && at + 33 + name_length <= psr::kForm1UserBytes &&
            std::strncmp(reinterpret_cast<const char*>(record + 33), file.name, name_length) == 0) {
            file.start_sector = psr::load_le32(record + 2);
            file.size_bytes = psr::load_le32(record + 10);
            return 1;
        }
        at += length;
    }
    return 0;
}

template <class Game>
struct Volume {
    static constexpr int kFileCount = sizeof(Game::kFiles) / sizeof(Game::kFiles[0]);
    static constexpr int kArchiveCount = kFileCount / 2;

    static constexpr std::array<ArchiveFile, kFileCount> initial_files() {
        std::array<ArchiveFile, kFileCount> table{};
        for (int i = 0; i < kFileCount; ++i) table[static_cast<size_t>(i)] = {Game::kFiles[i], kUnset, kUnset, 0};
        return table;
    }

    static inline VolumeRoot root{kUnset, kUnset};
    static inline std::array<ArchiveFile, kFileCount> files = initial_files();

    static ArchiveFile& index_file(int archive) { return files[static_cast<size_t>(2 * archive)]; }
    static ArchiveFile& data_file(int archive) { return files[static_cast<size_t>(2 * archive + 1)]; }

    // Back to the state of a freshly loaded plug-in.
    static void forget() {
        root = {kUnset, kUnset};
        files = initial_files();
    }

    // Sector 16: the volume identifier, compared over all 32 bytes. A disc of another volume
    // forgets an earlier matching disc, so that its root directory sector finds nothing.
    static void volume_descriptor(const psr::RawSector& s) {
        if (std::strncmp(reinterpret_cast<const char*>(s.user() + 40), kVolumeIdentifier, 32) == 0) {
            root.root_sector = s.user32<156 + 2>();
            root.root_size = s.user32<156 + 10>();
        } else {
            forget();
        }
    }

    // The root directory's first sector: where each archive file lies.
    static void root_directory(const psr::RawSector& s) {
        for (ArchiveFile& file : files) find_root_file(s.user(), root.root_size, file);
    }
};

}  // namespace plugins::archive
