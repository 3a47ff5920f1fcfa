// The sector library's own input: CUE sheets, and image files of any size and content, opened,
// scanned and read as a host and a plug-in would.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "discwell/cue_sheet.h"
#include "discwell/discwell.h"

namespace {

std::string scratch_dir() {
    static const std::string dir = [] {
        char name[] = "/tmp/discwell-fuzz-XXXXXX";
        const char* made = mkdtemp(name);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

void write(const std::string& path, const uint8_t* data, size_t size) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
}

void exercise(uint32_t disc) {
    for (int32_t t = 0; t < DwTrackCount(disc); ++t) {
        DwTrack track{};
        DwGetTrack(disc, t, &track);
        DwScan* scan = DwScanOpen(disc, track.first_lba, track.sector_count);
        const uint8_t* run = nullptr;
        uint32_t n, sum = 0;
        while ((n = DwScanNext(scan, &run)) > 0) sum += run[(n - 1) * 2352u + 2351];
        DwScanClose(scan);
        SectorReader* reader = CdReadOpen(disc, 0, track.first_lba, track.sector_count > 40 ? 40 : track.sector_count, -1);
        while (uint8_t* s = CdReadSector(reader, 0)) CdUnlockReadBuffer(reader, s);
        CdSetReadPointer(reader, 1, 0);
        CdReadClose(reader);
        if (sum == 0xFFFFFFFF) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string dir = scratch_dir();
    char error[512];
    uint32_t disc = 0;
    if (data[0] % 2 == 0) {
        // A sheet: parsed, then opened beside two small track files.
        const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        discwell::CueSheet sheet;
        std::string problem;
        discwell::parse_cue_sheet(text, sheet, problem);
        static const uint8_t track[2352 * 3] = {};
        write(dir + "/a.bin", track, sizeof track);
        write(dir + "/b.bin", track, 2352);
        write(dir + "/disc.cue", data + 1, size - 1);
        if (DwOpenImage((dir + "/disc.cue").c_str(), DW_IO_DEFAULT, &disc, error, sizeof error) == DW_OK) {
            exercise(disc);
            DwClose(disc);
        }
    } else {
        // A bare image, read mapped and read plainly.
        write(dir + "/disc.bin", data + 1, size - 1);
        for (int32_t io : {DW_IO_MMAP, DW_IO_READ}) {
            if (DwOpenImage((dir + "/disc.bin").c_str(), io, &disc, error, sizeof error) == DW_OK) {
                exercise(disc);
                DwClose(disc);
            }
        }
    }
    return 0;
}
