// Seed corpora for the fuzz targets, written from the sample discs: each family's discs as sector
// records, and CUE sheets and small images for the sector library.
#include <cstdio>
#include <filesystem>
#include <string>

#include "discbuilder/image_writers.h"
#include "codecs/mdec_encoder.h"
#include "discbuilder/sample_discs.h"
#include "discbuilder/test_pictures.h"
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

    // Each container of a short disc: a data track and an audio track after a stored pregap.
    auto sample = discbuilder::sample_discs().front().build();
    const auto data = sample.bytes();
    std::vector<uint8_t> sectors(data.begin(), data.begin() + 2352 * 30);
    for (uint32_t i = 0; i < 12 * 2352; ++i) sectors.push_back(static_cast<uint8_t>(i * 7 / 5));
    discbuilder::RawDisc disc{sectors, {{1, false, 0, 30, 0}, {2, true, 34, 8, 4}}};
    std::string error;
    const fs::path tmp = root / "tmp";
    fs::create_directories(tmp);
    auto seed = [&](const char* container, const char* name, bool ok) {
        fs::create_directories(root / container);
        if (ok) fs::rename(tmp / "out", root / container / name);
    };
    seed("chd", "zstd", discbuilder::write_chd(disc, discbuilder::ChdCodec::kZstd, (tmp / "out").string(), error));
    seed("chd", "deflate", discbuilder::write_chd(disc, discbuilder::ChdCodec::kDeflate, (tmp / "out").string(), error));
    seed("chd", "none", discbuilder::write_chd(disc, discbuilder::ChdCodec::kNone, (tmp / "out").string(), error));
    seed("ecm", "disc", discbuilder::write_ecm(disc, (tmp / "out").string(), error));
    // A PBP seed packed as its target reads it: the head's length, the head, the blocks.
    if (discbuilder::write_pbp(disc, (tmp / "out").string(), error)) {
        std::vector<uint8_t> pbp;
        std::FILE* f = std::fopen((tmp / "out").string().c_str(), "rb");
        for (int c; f && (c = std::fgetc(f)) != EOF;) pbp.push_back(static_cast<uint8_t>(c));
        if (f) std::fclose(f);
        const size_t psar = pbp[0x24] | pbp[0x25] << 8 | pbp[0x26] << 16 | size_t{pbp[0x27]} << 24;
        const size_t head = psar + 0x4000 + 32 * 3, blocks = psar + 0x100000;
        std::vector<uint8_t> packed = {static_cast<uint8_t>(head), static_cast<uint8_t>(head >> 8),
                                       static_cast<uint8_t>(head >> 16), static_cast<uint8_t>(head >> 24)};
        packed.insert(packed.end(), pbp.begin(), pbp.begin() + static_cast<long>(head));
        packed.insert(packed.end(), pbp.begin() + static_cast<long>(blocks), pbp.end());
        fs::create_directories(root / "pbp");
        write(root / "pbp" / "disc", packed);
    }
    // A CloneCD seed: the control file, a zero byte, the sectors.
    if (discbuilder::write_clonecd(disc, (tmp / "out.ccd").string(), error)) {
        std::vector<uint8_t> set;
        for (const char* part : {"out.ccd", "out.img"}) {
            std::FILE* f = std::fopen((tmp / part).string().c_str(), "rb");
            for (int c; f && (c = std::fgetc(f)) != EOF;) set.push_back(static_cast<uint8_t>(c));
            if (f) std::fclose(f);
            if (part[4] == 'c') set.push_back(0);
        }
        fs::create_directories(root / "clonecd");
        write(root / "clonecd" / "disc", set);
    }
    fs::remove_all(tmp);
    // MDEC frames of both versions, each after the two bytes of its picture size in macroblocks.
    fs::create_directories(root / "mdec");
    for (const uint16_t version : {uint16_t{2}, uint16_t{3}}) {
        const codecs::Picture picture = discbuilder::test_picture(64, 32, version);
        std::vector<uint8_t> sized = {3, 1};  // 64 x 32
        const std::vector<uint8_t> frame = codecs::encode_mdec(picture, 2, version);
        sized.insert(sized.end(), frame.begin(), frame.end());
        write(root / "mdec" / ("v" + std::to_string(version)), sized);
    }
    return 0;
}
