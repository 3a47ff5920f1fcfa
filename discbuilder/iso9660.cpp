#include "iso9660.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace discbuilder {
namespace {

using Block = std::array<uint8_t, kForm1Bytes>;

void both16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
void both32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
        p[7 - i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
void padded(uint8_t* p, size_t width, std::string_view text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

constexpr uint8_t kRecordDate[7] = {126, 12, 8, 0, 0, 0, 0};
constexpr char kVolumeDate[] = "2026120800000000";

size_t record_length(size_t id_length) { return 33 + id_length + (id_length % 2 == 0 ? 1 : 0); }

size_t write_record(uint8_t* out, uint32_t extent, uint32_t size, bool directory, std::string_view id) {
    uint8_t p[256] = {};
    const size_t length = record_length(id.size());
    p[0] = static_cast<uint8_t>(length);
    both32(p + 2, extent);
    both32(p + 10, size);
    std::memcpy(p + 18, kRecordDate, 7);
    p[25] = directory ? 0x02 : 0x00;
    both16(p + 28, 1);
    p[32] = static_cast<uint8_t>(id.size());
    std::memcpy(p + 33, id.data(), std::min<size_t>(id.size(), 200));
    std::memcpy(out, p, length);
    return length;
}

std::string file_identifier(const IsoFile& file) { return file.name + ";1"; }

}  // namespace

uint32_t iso_root_sectors(const std::vector<IsoFile>& files) {
    uint32_t sectors = 1;
    size_t used = 2 * record_length(1);
    for (const IsoFile& file : files) {
        const size_t length = record_length(file_identifier(file).size());
        if (used + length > kForm1Bytes) {
            ++sectors;
            used = 0;
        }
        used += length;
    }
    return sectors;
}

void write_iso_volume(DiscImage& disc, std::string_view volume_id, std::vector<IsoFile> files, uint32_t root_lba) {
    std::sort(files.begin(), files.end(), [](const IsoFile& a, const IsoFile& b) { return a.name < b.name; });
    const uint32_t root_sectors = iso_root_sectors(files);
    const uint32_t root_bytes = root_sectors * kForm1Bytes;
    uint32_t volume_end = std::max(disc.sector_count(), root_lba + root_sectors);
    for (const IsoFile& f : files) volume_end = std::max(volume_end, f.lba + (f.size_bytes + 2047) / 2048);

    for (uint32_t lba = 0; lba < 16; ++lba) disc.put(lba, {0, 0, submodes::kData, 0}, {});

    Block pvd{};
    pvd[0] = 1;
    std::memcpy(&pvd[1], "CD001", 5);
    pvd[6] = 1;
    padded(&pvd[8], 32, "PLAYSTATION");
    padded(&pvd[40], 32, volume_id);
    both32(&pvd[80], volume_end);
    both16(&pvd[120], 1);
    both16(&pvd[124], 1);
    both16(&pvd[128], 2048);
    both32(&pvd[132], 10);
    for (int i = 0; i < 4; ++i) pvd[140 + i] = static_cast<uint8_t>(18u >> (8 * i));
    for (int i = 0; i < 4; ++i) pvd[151 - i] = static_cast<uint8_t>(20u >> (8 * i));
    write_record(pvd.data() + 156, root_lba, root_bytes, true, std::string_view("\0", 1));
    padded(&pvd[190], 128, "");
    padded(&pvd[318], 128, "");
    padded(&pvd[446], 128, "");
    padded(&pvd[574], 128, "PLAYSTATION");
    padded(&pvd[702], 37 * 3, "");
    for (int d = 0; d < 4; ++d) {
        uint8_t* date = &pvd[813 + 17 * d];
        if (d < 2) {
            std::memcpy(date, kVolumeDate, 16);
        } else {
            std::memset(date, '0', 16);
        }
        date[16] = 0;
    }
    pvd[881] = 1;
    disc.put(16, {0, 0, submodes::kDataEndOfRecord, 0}, pvd);

    Block terminator{};
    terminator[0] = 255;
    std::memcpy(&terminator[1], "CD001", 5);
    terminator[6] = 1;
    disc.put(17, {0, 0, submodes::kDataEndOfFile, 0}, terminator);

    // Path tables: the root alone, little-endian at 18 and 19, big-endian at 20 and 21.
    for (uint32_t table = 0; table < 4; ++table) {
        Block path{};
        path[0] = 1;
        const bool big = table >= 2;
        for (int i = 0; i < 4; ++i) path[2 + i] = static_cast<uint8_t>(root_lba >> (big ? 24 - 8 * i : 8 * i));
        path[big ? 7 : 6] = 1;
        disc.put(18 + table, {0, 0, submodes::kDataEndOfFile, 0}, path);
    }

    std::vector<Block> root(root_sectors, Block{});
    size_t sector = 0, used = 0;
    used += write_record(root[0].data(), root_lba, root_bytes, true, std::string_view("\0", 1));
    used += write_record(root[0].data() + used, root_lba, root_bytes, true, std::string_view("\1", 1));
    for (const IsoFile& file : files) {
        const std::string id = file_identifier(file);
        if (used + record_length(id.size()) > kForm1Bytes) {
            ++sector;
            used = 0;
        }
        used += write_record(root[sector].data() + used, file.lba, file.size_bytes, false, id);
    }
    for (uint32_t i = 0; i < root_sectors; ++i) {
        const uint8_t submode = i + 1 == root_sectors ? submodes::kDataEndOfFile : submodes::kData;
        disc.put(root_lba + i, {0, 0, submode, 0}, root[i]);
    }
}

}  // namespace discbuilder
