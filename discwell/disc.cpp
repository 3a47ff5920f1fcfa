#include "disc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "cue_sheet.h"

namespace discwell {
namespace {

constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr uint32_t kSilenceRun = 64;
// A CUE sheet is a few lines per track; anything larger is not one.
constexpr size_t kMaxCueBytes = 1u << 20;
const uint8_t kSilenceSectors[kSilenceRun * kSectorBytes] = {};

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

bool ends_with_ci(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i]) return false;
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool is_absolute(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

// A whole image of 2048-byte sectors: no sync pattern, an ISO9660 descriptor at 16 x 2048.
bool looks_cooked(const ImageFile& file) {
    if (file.size() % 2048 != 0) return false;
    uint8_t head[12];
    if (file.size() >= 12 && file.read(0, 12, head) && std::memcmp(head, kSync, 12) == 0) return false;
    if (file.size() % kSectorBytes != 0) return true;
    uint8_t id[6];
    return file.size() >= 0x8006 && file.read(0x8000, 6, id) && std::memcmp(id + 1, "CD001", 5) == 0;
}

std::string cooked_message(const std::string& path) {
    return path + ": a cooked image of 2048-byte sectors; raw 2352-byte sectors are needed (a BIN/CUE image)";
}

bool check_raw_size(const std::string& path, const ImageFile& file, std::string& error) {
    if (file.size() == 0) {
        error = path + ": the image is empty";
        return false;
    }
    if (looks_cooked(file)) {
        error = cooked_message(path);
        return false;
    }
    if (file.size() % kSectorBytes != 0) {
        error = path + ": size " + std::to_string(file.size()) +
                " bytes is not a multiple of 2352 (truncated, or not a raw image)";
        return false;
    }
    if (file.size() / kSectorBytes > 0xFFFFFFF0u) {
        error = path + ": too large for a CD image";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Disc> Disc::open_image(const std::string& path, DwIoMode io, std::string& error) {
    std::unique_ptr<Disc> disc(new Disc);
    const bool map = io == DW_IO_MMAP;
    const bool ok = ends_with_ci(path, ".cue") ? disc->open_cue(path, map, error) : disc->open_bare(path, map, error);
    if (!ok) return nullptr;
    return disc;
}

bool Disc::open_bare(const std::string& path, bool map, std::string& error) {
    std::string reason;
    auto file = ImageFile::open(path, map, reason);
    if (!file) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    if (!check_raw_size(path, *file, error)) return false;
    uint8_t head[16];
    if (!file->read(0, 16, head)) {
        error = path + ": read error";
        return false;
    }
    sector_count_ = static_cast<uint32_t>(file->size() / kSectorBytes);
    const uint8_t mode = std::memcmp(head, kSync, 12) == 0 && head[15] == 1 ? DW_TRACK_MODE1 : DW_TRACK_MODE2;
    tracks_.push_back(DwTrack{1, 0x04, mode, 0, 0, sector_count_});
    extents_.push_back(Extent{0, sector_count_, 0, 0});
    files_.push_back(std::move(file));
    return true;
}

bool Disc::open_cue(const std::string& path, bool map, std::string& error) {
    std::string stored, reason;
    if (!read_small_file(path, kMaxCueBytes, stored, reason)) {
        error = path + (reason.rfind("too large", 0) == 0 ? ": " + reason + " for a CUE sheet" : ": cannot open: " + reason);
        return false;
    }
    std::string text;
    if (!decode_cue_text(stored, text, reason)) {
        error = path + ": " + reason;
        return false;
    }
    CueSheet sheet;
    std::string problem;
    if (!parse_cue_sheet(text, sheet, problem)) {
        error = path + ": " + problem;
        return false;
    }

    struct Placed {
        const CueTrack* track;
        uint32_t start;    // first absolute sector of the track, pregap included
        uint32_t index01;  // absolute sector of INDEX 01
    };
    std::vector<Placed> placed;
    uint64_t position = 0;
    const std::string dir = directory_of(path);
    for (const CueFile& cue_file : sheet.files) {
        std::string file_path = is_absolute(cue_file.name) ? cue_file.name : dir + cue_file.name;
        auto file = ImageFile::open(file_path, map, reason);
#if !defined(_WIN32)
        // A sheet written on Windows names files in subfolders with backslashes.
        if (!file && cue_file.name.find('\\') != std::string::npos) {
            std::string name = cue_file.name;
            std::replace(name.begin(), name.end(), '\\', '/');
            const std::string forward = is_absolute(cue_file.name) ? name : dir + name;
            std::string second;
            if (auto found = ImageFile::open(forward, map, second)) {
                file = std::move(found);
                file_path = forward;
            }
        }
#endif
        if (!file) {
            error = path + ": line " + std::to_string(cue_file.line) + ": cannot open " + quoted(cue_file.name) +
                    ": " + reason;
            return false;
        }
        if (!check_raw_size(file_path, *file, error)) return false;
        const auto frames = static_cast<uint32_t>(file->size() / kSectorBytes);
        const auto source = static_cast<int32_t>(files_.size());
        files_.push_back(std::move(file));

        for (size_t t = 0; t < cue_file.tracks.size(); ++t) {
            const CueTrack& track = cue_file.tracks[t];
            const uint32_t begin = t == 0 ? 0 : track.indexes.front().frame;
            const uint32_t end = t + 1 < cue_file.tracks.size() ? cue_file.tracks[t + 1].indexes.front().frame : frames;
            uint32_t index01 = 0;
            for (const CueIndex& index : track.indexes) {
                if (index.number == 1) index01 = index.frame;
            }
            if (end < begin || index01 > end || track.indexes.back().frame > frames) {
                error = path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number) +
                        " lies beyond the end of " + quoted(cue_file.name) + " or overlaps the next track";
                return false;
            }
            if (index01 == end) {
                error = path + ": line " + std::to_string(track.line) + ": track " + std::to_string(track.number) +
                        " has no sectors (the next track, or the end of " + quoted(cue_file.name) + ", comes at its INDEX 01)";
                return false;
            }
            const auto start = static_cast<uint32_t>(position);
            if (track.pregap) {
                extents_.push_back(Extent{static_cast<uint32_t>(position), track.pregap, kSilence, 0});
                position += track.pregap;
            }
            const uint64_t index01_abs = position + (index01 - begin);
            if (end > begin) {
                extents_.push_back(Extent{static_cast<uint32_t>(position), end - begin, source,
                                          static_cast<uint64_t>(begin) * kSectorBytes});
            }
            position += end - begin;
            if (position > 0xFFFFFFF0u) {
                error = path + ": the tracks add up to more sectors than a disc can hold";
                return false;
            }
            placed.push_back(Placed{&track, start, static_cast<uint32_t>(index01_abs)});
        }
    }

    // LBA 0 is INDEX 01 of the first track; anything before it is not addressable.
    const uint32_t base = placed.front().index01;
    std::vector<Extent> shifted;
    for (Extent e : extents_) {
        const uint32_t end = e.first_lba + e.count;
        if (end <= base) continue;
        if (e.first_lba < base) {
            const uint32_t skip = base - e.first_lba;
            if (e.source >= 0) e.offset += static_cast<uint64_t>(skip) * kSectorBytes;
            e.first_lba = base;
            e.count -= skip;
        }
        e.first_lba -= base;
        shifted.push_back(e);
    }
    extents_ = std::move(shifted);
    sector_count_ = static_cast<uint32_t>(position) - base;

    for (size_t i = 0; i < placed.size(); ++i) {
        const CueTrack& track = *placed[i].track;
        const uint32_t next = i + 1 < placed.size() ? placed[i + 1].start : static_cast<uint32_t>(position);
        const uint32_t first = placed[i].index01 - base;
        const uint8_t mode = track.mode == TrackMode::kAudio   ? DW_TRACK_AUDIO
                             : track.mode == TrackMode::kMode1 ? DW_TRACK_MODE1
                                                               : DW_TRACK_MODE2;
        const auto control = static_cast<uint8_t>(track.flags | (track.mode == TrackMode::kAudio ? 0 : 0x04));
        tracks_.push_back(DwTrack{static_cast<uint8_t>(track.number), control, mode, 0, first,
                                  next > placed[i].index01 ? next - placed[i].index01 : 0});
    }
    return true;
}

std::unique_ptr<Disc> Disc::from_memory(const uint8_t* sectors, uint32_t count, const DwTrack* tracks,
                                        int32_t track_count) {
    std::unique_ptr<Disc> disc(new Disc);
    disc->memory_.assign(sectors, sectors + static_cast<size_t>(count) * kSectorBytes);
    disc->sector_count_ = count;
    disc->extents_.push_back(Extent{0, count, kMemory, 0});
    if (tracks && track_count > 0) {
        disc->tracks_.assign(tracks, tracks + track_count);
    } else {
        disc->tracks_.push_back(DwTrack{1, 0x04, DW_TRACK_MODE2, 0, 0, count});
    }
    return disc;
}

const Disc::Extent* Disc::find(uint32_t lba) const {
    if (lba >= sector_count_) return nullptr;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), lba,
                               [](uint32_t value, const Extent& e) { return value < e.first_lba; });
    if (it == extents_.begin()) return nullptr;
    --it;
    return lba - it->first_lba < it->count ? &*it : nullptr;
}

const uint8_t* Disc::direct(uint32_t lba, uint32_t& run) const {
    const Extent* e = find(lba);
    if (!e || e->source >= 0) return nullptr;
    const uint32_t skip = lba - e->first_lba;
    run = e->count - skip;
    if (e->source == kSilence) {
        run = std::min(run, kSilenceRun);
        return kSilenceSectors;
    }
    return memory_.data() + e->offset + static_cast<uint64_t>(skip) * kSectorBytes;
}

void Disc::release(uint32_t lba, uint32_t count) const {
    while (count > 0) {
        const Extent* e = find(lba);
        if (!e) return;
        const uint32_t skip = lba - e->first_lba;
        const uint32_t n = std::min(count, e->count - skip);
        if (e->source >= 0) {
            files_[static_cast<size_t>(e->source)]->release(e->offset + uint64_t{skip} * kSectorBytes,
                                                           uint64_t{n} * kSectorBytes);
        }
        lba += n;
        count -= n;
    }
}

Disc::Read Disc::read(uint32_t lba, uint32_t count, uint8_t* out, std::string* why) const {
    while (count > 0) {
        const Extent* e = find(lba);
        if (!e) return Read::kOffDisc;
        const uint32_t skip = lba - e->first_lba;
        const uint32_t n = std::min(count, e->count - skip);
        const size_t bytes = static_cast<size_t>(n) * kSectorBytes;
        const uint64_t offset = e->offset + static_cast<uint64_t>(skip) * kSectorBytes;
        if (e->source == kSilence) {
            std::memset(out, 0, bytes);
        } else if (e->source == kMemory) {
            std::memcpy(out, memory_.data() + offset, bytes);
        } else if (!files_[static_cast<size_t>(e->source)]->read(offset, bytes, out, why)) {
            return Read::kFailed;
        }
        lba += n;
        count -= n;
        out += bytes;
    }
    return Read::kOk;
}

namespace {
std::mutex table_mutex;
std::vector<std::shared_ptr<Disc>>& table() {
    static std::vector<std::shared_ptr<Disc>> discs;
    return discs;
}
}  // namespace

uint32_t register_disc(std::unique_ptr<Disc> disc) {
    std::lock_guard lock(table_mutex);
    auto& discs = table();
    for (size_t i = 0; i < discs.size(); ++i) {
        if (!discs[i]) {
            discs[i] = std::move(disc);
            return static_cast<uint32_t>(i + 1);
        }
    }
    discs.push_back(std::move(disc));
    return static_cast<uint32_t>(discs.size());
}

std::shared_ptr<Disc> find_disc(uint32_t handle) {
    std::lock_guard lock(table_mutex);
    auto& discs = table();
    return handle >= 1 && handle <= discs.size() ? discs[handle - 1] : nullptr;
}

void unregister_disc(uint32_t handle) {
    std::lock_guard lock(table_mutex);
    auto& discs = table();
    if (handle >= 1 && handle <= discs.size()) discs[handle - 1].reset();
}

}  // namespace discwell
