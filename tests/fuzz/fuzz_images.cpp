// Compressed and container image formats, one target each (FUZZ_CONTAINER): CHD, ECM, PBP and
// CloneCD sets. Each input is written as such a file, opened, and read whole as a scan and a
// plug-in would, so that any header, map, index or block the mutator makes is met.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "discwell/discwell.h"

namespace {

std::string scratch_dir() {
    static const std::string dir = [] {
        char name[] = "/tmp/discwell-images-XXXXXX";
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

void read_all(uint32_t disc) {
    // Every sector once, as a scan reads, then a few as a plug-in does.
    const uint32_t count = DwSectorCount(disc);
    DwScan* scan = DwScanOpen(disc, 0, count < 4000 ? count : 4000);
    const uint8_t* run = nullptr;
    uint32_t n, sum = 0;
    while ((n = DwScanNext(scan, &run)) > 0) sum += run[(n - 1) * 2352u + 2351];
    DwScanClose(scan);
    SectorReader* reader = CdReadOpen(disc, 0, 0, count < 24 ? count : 24, -1);
    while (uint8_t* s = CdReadSector(reader, 0)) CdUnlockReadBuffer(reader, s);
    CdReadClose(reader);
    uint32_t lba = 0;
    char cause[256];
    DwTakeReadError(disc, &lba, cause, sizeof cause);
    if (sum == 0xFFFFFFFF) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = scratch_dir();
    std::string path;
#if FUZZ_CONTAINER == 4
    // A CloneCD set: the control file's text up to the first zero byte, the sectors after it.
    const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t text = zero ? static_cast<size_t>(zero - data) : size;
    path = dir + "/disc.ccd";
    write(path, data, text);
    write(dir + "/disc.img", data + text + (zero ? 1 : 0), size - text - (zero ? 1 : 0));
#elif FUZZ_CONTAINER == 3
    // A PBP file packed: the length of its head (header, disc header, block index), the head, then
    // the blocks, which go a mebibyte after the disc header as the format places them.
    if (size < 4) return 0;
    const size_t head = std::min<size_t>(size - 4, data[0] | data[1] << 8 | data[2] << 16 | size_t{data[3]} << 24);
    std::vector<uint8_t> file(data + 4, data + 4 + head);
    const size_t psar = file.size() >= 0x28 ? (file[0x24] | file[0x25] << 8 | file[0x26] << 16 | size_t{file[0x27]} << 24) : 0;
    if (psar > (1u << 20)) return 0;
    file.resize(std::max(file.size(), psar + 0x100000), 0);
    file.insert(file.end(), data + 4 + head, data + size);
    path = dir + "/disc.pbp";
    write(path, file.data(), file.size());
#else
    path = dir + "/disc.img";
    write(path, data, size);
#endif
    uint32_t disc = 0;
    char error[512];
    if (DwOpenImage(path.c_str(), DW_IO_DEFAULT, &disc, error, sizeof error) == DW_OK) {
        read_all(disc);
        DwClose(disc);
    }
    return 0;
}
