#include "iso9660.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

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

std::string file_identifier(std::string_view name) { return std::string(name) + ";1"; }

// One directory of the volume: its files and subdirectories, by name.
struct Directory {
    std::string path;  // "" for the root, "MOVIE", "MOVIE/EXTRA"
    std::vector<IsoFile> files;  // named by their last part
    std::vector<size_t> children;
    size_t parent = 0;
    uint32_t lba = 0, sectors = 1;
};

std::string_view last_part(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

uint32_t directory_sectors(const std::vector<std::string>& ids) {
    uint32_t sectors = 1;
    size_t used = 2 * record_length(1);
    for (const std::string& id : ids) {
        const size_t length = record_length(id.size());
        if (used + length > kForm1Bytes) {
            ++sectors;
            used = 0;
        }
        used += length;
    }
    return sectors;
}

// The directory tree of `files` (named with '/' between levels), in the order of the path table:
// by depth, then by parent, then by name; each directory's sectors laid out from `first_lba` on.
std::vector<Directory> directory_tree(std::vector<IsoFile> files, uint32_t first_lba) {
    std::sort(files.begin(), files.end(), [](const IsoFile& a, const IsoFile& b) { return a.name < b.name; });
    std::vector<Directory> tree(1);
    auto find_or_add = [&](std::string_view path) {
        size_t at = 0;
        size_t begin = 0;
        while (begin < path.size()) {
            const size_t slash = path.find('/', begin);
            const std::string prefix(path.substr(0, slash));
            size_t found = tree.size();
            for (const size_t c : tree[at].children) {
                if (tree[c].path == prefix) found = c;
            }
            if (found == tree.size()) {
                tree.push_back({prefix, {}, {}, at});
                tree[at].children.push_back(found);
            }
            at = found;
            begin = slash == std::string_view::npos ? path.size() : slash + 1;
        }
        return at;
    };
    for (const IsoFile& f : files) {
        const size_t slash = f.name.rfind('/');
        const size_t dir = slash == std::string::npos ? 0 : find_or_add(std::string_view(f.name).substr(0, slash));
        tree[dir].files.push_back({std::string(last_part(f.name)), f.lba, f.size_bytes});
    }
    // Breadth first, children by name: the path table's order.
    std::vector<size_t> order{0};
    for (size_t i = 0; i < order.size(); ++i) {
        auto children = tree[order[i]].children;
        std::sort(children.begin(), children.end(), [&](size_t a, size_t b) { return tree[a].path < tree[b].path; });
        order.insert(order.end(), children.begin(), children.end());
    }
    std::vector<Directory> ordered;
    std::vector<size_t> position(tree.size());
    for (size_t i = 0; i < order.size(); ++i) position[order[i]] = i;
    for (const size_t i : order) {
        Directory d = tree[i];
        d.parent = position[d.parent];
        for (size_t& c : d.children) c = position[c];
        std::sort(d.children.begin(), d.children.end());
        ordered.push_back(std::move(d));
    }
    uint32_t lba = first_lba;
    for (Directory& d : ordered) {
        std::vector<std::string> ids;
        for (const size_t c : d.children) ids.emplace_back(last_part(ordered[c].path));
        for (const IsoFile& f : d.files) ids.push_back(file_identifier(f.name));
        d.sectors = directory_sectors(ids);
        d.lba = lba;
        lba += d.sectors;
    }
    return ordered;
}

}  // namespace

uint32_t iso_root_sectors(const std::vector<IsoFile>& files) {
    uint32_t sectors = 0;
    for (const Directory& d : directory_tree(files, 0)) sectors += d.sectors;
    return sectors;
}

void write_iso_volume(DiscImage& disc, std::string_view volume_id, std::vector<IsoFile> files, uint32_t root_lba) {
    const std::vector<Directory> tree = directory_tree(files, root_lba);
    const uint32_t directory_end = tree.back().lba + tree.back().sectors;
    uint32_t volume_end = std::max(disc.sector_count(), directory_end);
    for (const IsoFile& f : files) volume_end = std::max(volume_end, f.lba + (f.size_bytes + 2047) / 2048);

    for (uint32_t lba = 0; lba < 16; ++lba) disc.put(lba, {0, 0, submodes::kData, 0}, {});

    // Path table: every directory, by depth, then parent, then name; numbered from 1.
    std::vector<uint8_t> table_le, table_be;
    for (const Directory& d : tree) {
        const std::string name = d.path.empty() ? std::string(1, '\0') : std::string(last_part(d.path));
        const uint16_t parent = static_cast<uint16_t>(d.parent + 1);
        for (const bool big : {false, true}) {
            std::vector<uint8_t>& t = big ? table_be : table_le;
            t.push_back(static_cast<uint8_t>(name.size()));
            t.push_back(0);
            for (int i = 0; i < 4; ++i) t.push_back(static_cast<uint8_t>(d.lba >> (big ? 24 - 8 * i : 8 * i)));
            t.push_back(static_cast<uint8_t>(big ? parent >> 8 : parent));
            t.push_back(static_cast<uint8_t>(big ? parent : parent >> 8));
            t.insert(t.end(), name.begin(), name.end());
            if (name.size() % 2) t.push_back(0);
        }
    }
    if (table_le.size() > kForm1Bytes) throw std::runtime_error("the path table outgrows its sector");

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
    both32(&pvd[132], static_cast<uint32_t>(table_le.size()));
    for (int i = 0; i < 4; ++i) pvd[140 + i] = static_cast<uint8_t>(18u >> (8 * i));
    for (int i = 0; i < 4; ++i) pvd[151 - i] = static_cast<uint8_t>(20u >> (8 * i));
    write_record(pvd.data() + 156, root_lba, tree[0].sectors * kForm1Bytes, true, std::string_view("\0", 1));
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

    // Path tables: little-endian at 18 and 19, big-endian at 20 and 21.
    for (uint32_t table = 0; table < 4; ++table) {
        Block path{};
        const auto& t = table >= 2 ? table_be : table_le;
        std::memcpy(path.data(), t.data(), t.size());
        disc.put(18 + table, {0, 0, submodes::kDataEndOfFile, 0}, path);
    }

    for (const Directory& d : tree) {
        const uint32_t bytes = d.sectors * kForm1Bytes;
        const Directory& parent = tree[d.parent];
        std::vector<Block> blocks(d.sectors, Block{});
        size_t sector = 0, used = 0;
        used += write_record(blocks[0].data(), d.lba, bytes, true, std::string_view("\0", 1));
        used += write_record(blocks[0].data() + used, parent.lba, parent.sectors * kForm1Bytes, true,
                             std::string_view("\1", 1));
        // Records sorted by identifier: subdirectories and files together.
        struct Entry {
            std::string name, id;
            uint32_t extent, size;
            bool directory;
        };
        std::vector<Entry> entries;
        for (const size_t c : d.children) {
            const std::string name(last_part(tree[c].path));
            entries.push_back({name, name, tree[c].lba, tree[c].sectors * kForm1Bytes, true});
        }
        for (const IsoFile& f : d.files) entries.push_back({f.name, file_identifier(f.name), f.lba, f.size_bytes, false});
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        for (const Entry& e : entries) {
            if (used + record_length(e.id.size()) > kForm1Bytes) {
                ++sector;
                used = 0;
            }
            used += write_record(blocks[sector].data() + used, e.extent, e.size, e.directory, e.id);
        }
        for (uint32_t i = 0; i < d.sectors; ++i) {
            const uint8_t submode = i + 1 == d.sectors ? submodes::kDataEndOfFile : submodes::kData;
            disc.put(d.lba + i, {0, 0, submode, 0}, blocks[i]);
        }
    }
}

}  // namespace discbuilder
