// Seed corpora for the fuzz targets, written from the sample discs: each family's discs as sector
// records, and CUE sheets and small images for the sector library.
#include <cstdio>
#include <filesystem>
#include <string>

#include "discbuilder/sample_discs.h"
#include "fuzz_disc.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& path, const std::vector<uint8_t>& bytes) {
    if (FILE* f = std::fopen(path.string().c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

std::vector<uint8_t> records_of(discbuilder::DiscImage& disc, uint32_t max_sectors) {
    const auto bytes = disc.bytes();
    std::vector<uint8_t> out;
    const uint32_t n = std::min(disc.sector_count(), max_sectors);
    for (uint32_t lba = 0; lba < n; ++lba) {
        const uint8_t* sector = bytes.data() + size_t{lba} * fuzzing::kSector;
        // Directory and index sectors are read whole; stream sectors mostly in their headers.
        const bool whole = lba < 40 || ((sector[18] & 0x08) == 0x08 && sector[18] != 0x48);
        fuzzing::append_record(out, sector, whole ? 2048 : 96);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    const struct {
        const char* family;
        std::vector<const char*> discs;
    } families[] = {{"movies", {"selvane", "grivet", "tamsel", "walcite", "corvane"}},
                    {"music", {"ostrand", "drumvale", "velocet"}},
                    {"archive", {"nimbrel"}}};
    for (const auto& f : families) {
        fs::create_directories(root / f.family);
        for (const char* name : f.discs) {
            for (const auto& sample : discbuilder::sample_discs()) {
                if (std::string(sample.name) != name) continue;
                auto disc = sample.build();
                write(root / f.family / (std::string(name) + ".rec"), records_of(disc, 1200));
            }
        }
    }
    fs::create_directories(root / "discwell");
    const std::string sheets[] = {
        "FILE \"a.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n",
        "FILE \"a.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:00:01\n"
        "    INDEX 01 00:00:02\nFILE \"b.bin\" BINARY\n  TRACK 03 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n",
        "REM x\r\nFILE \"b.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n  FLAGS DCP\r\n    INDEX 01 00:00:00\r\n",
    };
    int k = 0;
    for (const std::string& sheet : sheets) {
        std::vector<uint8_t> input{0};
        input.insert(input.end(), sheet.begin(), sheet.end());
        write(root / "discwell" / ("sheet" + std::to_string(k++)), input);
    }
    std::vector<uint8_t> image{1};
    image.resize(1 + 2352 * 3, 0);
    write(root / "discwell" / "image", image);
    return 0;
}
