#include "disc_files.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "../codecs/byte_order.h"
#include "../contract/raw_sector.h"
#include "../discwell/discwell.h"

namespace quorvex {
namespace {

constexpr uint32_t kVolumeDescriptor = 16;
constexpr uint32_t kMaxDirectorySectors = 512;  // 1 MiB of records in one directory
constexpr size_t kMaxDirectories = 4096;
constexpr int kMaxDepth = 32;

// The 2048 bytes of user data of the Form 1 sectors from `lba`, or false when they cannot be read.
bool read_user_data(uint32_t disc, uint32_t lba, uint32_t count, std::vector<uint8_t>& out) {
    out.clear();
    DwScan* scan = DwScanOpen(disc, lba, count);
    if (!scan) return false;
    const uint8_t* run = nullptr;
    for (uint32_t n; (n = DwScanNext(scan, &run)) > 0;) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* sector = run + size_t{i} * psr::kRawSectorSize;
            const uint8_t* user = sector + (sector[15] == 1 ? 16 : psr::kUserDataOffset);
            out.insert(out.end(), user, user + psr::kForm1UserBytes);
        }
    }
    const bool ok = !DwScanError(scan) && out.size() == size_t{count} * psr::kForm1UserBytes;
    DwScanClose(scan);
    return ok;
}

std::string trimmed(const uint8_t* bytes, size_t n) {
    std::string s(reinterpret_cast<const char*>(bytes), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

struct Walker {
    uint32_t disc;
    uint32_t sectors;  // in the image
    uint32_t volume;   // in the volume, at least the image's
    DiscDirectory& out;
    std::set<uint32_t> seen;  // directory extents walked

    void walk(uint32_t lba, uint32_t bytes, const std::string& prefix, int depth) {
        if (!out.problem.empty()) return;
        if (depth > kMaxDepth || seen.size() >= kMaxDirectories) {
            out.problem = "the directory tree is deeper or larger than any disc's";
            return;
        }
        const uint32_t count = (bytes + 2047) / 2048;
        if (count > kMaxDirectorySectors) {
            out.problem = "directory " + (prefix.empty() ? std::string("/") : prefix) + " claims " + std::to_string(bytes) +
                          " bytes, more than any disc's directory";
            return;
        }
        if (count == 0 || lba >= sectors || count > sectors - lba) {
            out.problem = "directory " + (prefix.empty() ? std::string("/") : prefix) + " lies outside the disc (sector " +
                          std::to_string(lba) + ")";
            return;
        }
        if (!seen.insert(lba).second) {
            out.problem = "directory " + prefix + " loops back to sector " + std::to_string(lba);
            return;
        }
        std::vector<uint8_t> data;
        if (!read_user_data(disc, lba, count, data)) {
            out.problem = "directory sectors from " + std::to_string(lba) + " cannot be read";
            return;
        }
        data.resize(std::min<size_t>(data.size(), bytes));
        for (size_t at = 0; at < data.size();) {
            const uint8_t length = data[at];
            if (length == 0) {  // the rest of this sector is padding
                at = (at / 2048 + 1) * 2048;
                continue;
            }
            if (length < 34 || at + length > data.size() || at % 2048 + length > 2048) {
                out.problem = "a directory record at sector " + std::to_string(lba + at / 2048) + " is malformed";
                return;
            }
            const uint8_t* r = &data[at];
            at += length;
            const uint8_t name_length = r[32];
            if (33u + name_length > length) {
                out.problem = "a directory record at sector " + std::to_string(lba + (at - length) / 2048) + " is malformed";
                return;
            }
            if (name_length == 1 && (r[33] == 0 || r[33] == 1)) continue;  // "." and ".."
            std::string name(reinterpret_cast<const char*>(r + 33), name_length);
            if (const size_t semicolon = name.find(';'); semicolon != std::string::npos) name.erase(semicolon);
            if (!name.empty() && name.back() == '.') name.pop_back();
            const uint32_t extent = psr::load_le32(r + 2), size = psr::load_le32(r + 10);
            const bool directory = (r[25] & 0x02) != 0;
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (directory) {
                walk(extent, size, path, depth + 1);
                if (!out.problem.empty()) return;
                continue;
            }
            DiscFile file{path, extent, (size + 2047) / 2048, false, false};
            // The XA system-use field: attributes (big-endian) and the signature "XA".
            const size_t system_use = 33u + name_length + (name_length % 2 ? 0 : 1);
            if (system_use + 8 <= length && r[system_use + 6] == 'X' && r[system_use + 7] == 'A') {
                const uint16_t attributes = static_cast<uint16_t>(r[system_use + 4] << 8 | r[system_use + 5]);
                file.form2 = (attributes & 0x1000) != 0;
                file.interleaved = (attributes & 0x2000) != 0;
            }
            // A file may run past the image's end where the volume goes on: a dump cut short.
            if (file.sector_count && (extent >= volume || file.sector_count > volume - extent)) {
                out.problem = "file " + path + " lies outside the disc (sectors " + std::to_string(extent) + " to " +
                              std::to_string(uint64_t{extent} + file.sector_count - 1) + ")";
                return;
            }
            out.files.push_back(file);
        }
    }
};

}  // namespace

const DiscFile* DiscDirectory::file_at(uint32_t lba) const {
    // The file starting nearest before `lba` whose extent holds it (files sorted by first sector).
    const DiscFile* found = nullptr;
    for (const DiscFile& f : files) {
        if (f.first_sector > lba) break;
        if (lba - f.first_sector < f.sector_count) found = &f;
    }
    return found;
}

DiscDirectory read_disc_directory(uint32_t disc) {
    DiscDirectory out;
    const uint32_t sectors = DwSectorCount(disc);
    std::vector<uint8_t> pvd;
    if (sectors <= kVolumeDescriptor || !read_user_data(disc, kVolumeDescriptor, 1, pvd)) {
        out.problem = "the disc has no volume descriptor";
        return out;
    }
    if (pvd[0] != 1 || std::memcmp(&pvd[1], "CD001", 5) != 0) {
        out.problem = "sector 16 holds no ISO9660 volume descriptor";
        return out;
    }
    out.volume_id = trimmed(&pvd[40], 32);
    out.image_sectors = sectors;
    out.volume_sectors = std::max(sectors, std::min(psr::load_le32(&pvd[80]), codecs::kMaxDiscSectors));
    const uint8_t* root = &pvd[156];
    Walker walker{disc, sectors, out.volume_sectors, out, {}};
    walker.walk(psr::load_le32(root + 2), psr::load_le32(root + 10), "", 0);
    if (!out.problem.empty()) {
        out.files.clear();
        return out;
    }
    std::sort(out.files.begin(), out.files.end(),
              [](const DiscFile& a, const DiscFile& b) { return a.first_sector < b.first_sector; });
    return out;
}

std::string boot_file(uint32_t disc, const DiscDirectory& directory) {
    for (const DiscFile& f : directory.files) {
        if (f.path != "SYSTEM.CNF" || f.sector_count == 0 || f.sector_count > 4) continue;
        std::vector<uint8_t> text;
        if (!read_user_data(disc, f.first_sector, f.sector_count, text)) return {};
        const std::string s(text.begin(), text.end());
        // "BOOT = cdrom:\SLUS_012.34;1"
        const size_t boot = s.find("BOOT");
        if (boot == std::string::npos) return {};
        size_t start = s.find_first_of("\\:", boot);
        if (start == std::string::npos) return {};
        start = s.find_last_of("\\:", s.find_first_of(";\r\n", start)) + 1;
        const size_t end = s.find_first_of(";\r\n \t", start);
        return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return {};
}

}  // namespace quorvex
