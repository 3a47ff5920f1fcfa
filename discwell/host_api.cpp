// The host-side API: opening images and memory discs, the track table, sequential scan reading,
// statistics and fault injection.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "disc.h"
#include "image_formats.h"

using discwell::Disc;
using discwell::kSectorBytes;

struct DwScan {
    std::shared_ptr<Disc> disc;
    uint32_t next = 0;
    uint32_t end = 0;
    std::vector<uint8_t> buffer;
    std::string error;
};

namespace {

// Sectors per read when an image is not in memory: about a mebibyte.
constexpr uint32_t kScanChunk = 448;
// Sectors per run of an in-memory disc, handed out without a copy.
constexpr uint32_t kScanWindow = 4096;

void copy_error(const std::string& text, char* error, uint32_t error_size) {
    if (!error || error_size == 0) return;
    const size_t n = std::min<size_t>(text.size(), error_size - 1);
    std::memcpy(error, text.data(), n);
    error[n] = '\0';
}

}  // namespace

extern "C" {

DISCWELL_API int32_t CD_CALL DwOpenImage(const char* path, int32_t io_mode, uint32_t* disc, char* error,
                                         uint32_t error_size) {
    if (!path || !disc) {
        copy_error("no image path given", error, error_size);
        return DW_ERROR_INVALID_ARGUMENT;
    }
    discwell::Problem problem;
    auto opened = Disc::open_image(path, static_cast<DwIoMode>(io_mode), problem);
    if (!opened) {
        copy_error(problem.text, error, error_size);
        return problem.code;
    }
    *disc = discwell::register_disc(std::move(opened));
    return DW_OK;
}

DISCWELL_API const char* CD_CALL DwErrorText(int32_t code) {
    struct Entry {
        DwError code;
        const char* text;
    };
    static constexpr Entry kTexts[] = {
        {DW_OK, "no error"},
        {DW_ERROR_CANNOT_OPEN, "a file of the image cannot be opened"},
        {DW_ERROR_TOO_LARGE, "a control file of the image is too large"},
        {DW_ERROR_UNSUPPORTED, "an image of a kind discwell does not read"},
        {DW_ERROR_MALFORMED, "the image is malformed"},
        {DW_ERROR_READ, "the image cannot be read"},
        {DW_ERROR_INVALID_ARGUMENT, "an invalid argument"},
    };
    for (const Entry& e : kTexts) {
        if (e.code == code) return e.text;
    }
    return "an unknown error";
}

DISCWELL_API int32_t CD_CALL DwProbeImage(const char* path, char* parts, uint32_t parts_size, uint32_t* parts_needed,
                                          const char** format, int32_t* format_id) {
    if (format) *format = nullptr;
    if (format_id) *format_id = DW_FORMAT_NONE;
    if (!path) return DW_PROBE_NOT_IMAGE;
    const discwell::ImageProbe probe = discwell::probe_image(path);
    if (format) *format = probe.format;
    if (format_id) *format_id = probe.id;
    std::string list;
    for (const std::string& part : probe.parts) list.append(part).push_back('\0');
    list.push_back('\0');
    if (parts_needed) *parts_needed = static_cast<uint32_t>(list.size());
    if (parts && parts_size >= list.size()) std::memcpy(parts, list.data(), list.size());
    else if (parts && parts_size) parts[0] = '\0';
    return probe.verdict;
}

DISCWELL_API uint32_t CD_CALL DwImageTitle(const char* path, char* title, uint32_t title_size) {
    const std::string found = path ? discwell::pbp_title(path) : std::string();
    if (found.empty()) return 0;
    if (title && title_size) {
        const size_t n = std::min<size_t>(found.size(), title_size - 1);
        std::memcpy(title, found.data(), n);
        title[n] = '\0';
    }
    return static_cast<uint32_t>(found.size() + 1);
}

DISCWELL_API int32_t CD_CALL DwOpenMemory(const uint8_t* sectors, uint32_t sector_count, const DwTrack* tracks,
                                          int32_t track_count, uint32_t* disc) {
    if ((!sectors && sector_count) || !disc) return 0;
    *disc = discwell::register_disc(Disc::from_memory(sectors, sector_count, tracks, track_count));
    return 1;
}

DISCWELL_API int32_t CD_CALL DwOpenPatched(uint32_t base, const uint32_t* lbas, const uint8_t* sectors, uint32_t count,
                                           uint32_t* disc) {
    auto found = discwell::find_disc(base);
    if (!found || !disc || (count && (!lbas || !sectors))) return 0;
    std::vector<uint32_t> places(lbas, lbas + count);
    if (!std::is_sorted(places.begin(), places.end()) || std::adjacent_find(places.begin(), places.end()) != places.end() ||
        (count && places.back() >= found->sector_count())) {
        return 0;
    }
    std::vector<uint8_t> bytes(sectors, sectors + size_t{count} * kSectorBytes);
    *disc = discwell::register_disc(Disc::patched(std::move(found), std::move(places), std::move(bytes)));
    return 1;
}

DISCWELL_API void CD_CALL DwClose(uint32_t disc) { discwell::unregister_disc(disc); }

DISCWELL_API uint32_t CD_CALL DwSectorCount(uint32_t disc) {
    auto found = discwell::find_disc(disc);
    return found ? found->sector_count() : 0;
}

DISCWELL_API int32_t CD_CALL DwTrackCount(uint32_t disc) {
    auto found = discwell::find_disc(disc);
    return found ? static_cast<int32_t>(found->tracks().size()) : 0;
}

DISCWELL_API int32_t CD_CALL DwGetTrack(uint32_t disc, int32_t index, DwTrack* track) {
    auto found = discwell::find_disc(disc);
    if (!found || !track || index < 0 || static_cast<size_t>(index) >= found->tracks().size()) return 0;
    *track = found->tracks()[static_cast<size_t>(index)];
    return 1;
}

DISCWELL_API DwScan* CD_CALL DwScanOpen(uint32_t disc, uint32_t first_lba, uint32_t sector_count) {
    auto found = discwell::find_disc(disc);
    if (!found) return nullptr;
    auto* scan = new DwScan;
    scan->disc = std::move(found);
    scan->next = first_lba;
    scan->end = first_lba + std::min(sector_count, 0xFFFFFFFFu - first_lba);
    return scan;
}

DISCWELL_API uint32_t CD_CALL DwScanNext(DwScan* scan, const uint8_t** sectors) {
    if (!scan || !sectors || scan->next >= scan->end || !scan->error.empty()) return 0;
    const uint32_t left = scan->end - scan->next;
    uint32_t run = 0;
    if (const uint8_t* in_memory = scan->disc->direct(scan->next, run)) {
        const uint32_t n = std::min({run, left, kScanWindow});
        *sectors = in_memory;
        scan->next += n;
        return n;
    }
    const uint32_t n = std::min(kScanChunk, left);
    if (scan->buffer.size() < size_t{n} * kSectorBytes) scan->buffer.resize(size_t{n} * kSectorBytes);  // a scan of one sector fills no more
    std::string why;
    uint32_t failed = scan->next;
    switch (scan->disc->read(scan->next, n, scan->buffer.data(), &why, &failed)) {
        case Disc::Read::kOk: break;
        case Disc::Read::kOffDisc:
            scan->error = "sector " + std::to_string(scan->next) + " lies past the end of the disc";
            return 0;
        case Disc::Read::kFailed:
            scan->error = "cannot read sector " + std::to_string(failed) + ": " + why;
            return 0;
    }
    // Pages of a mapped image that the scan has copied are done with.
    scan->disc->release(scan->next, n);
    *sectors = scan->buffer.data();
    scan->next += n;
    return n;
}

DISCWELL_API const char* CD_CALL DwScanError(const DwScan* scan) {
    return scan && !scan->error.empty() ? scan->error.c_str() : nullptr;
}

DISCWELL_API void CD_CALL DwScanClose(DwScan* scan) { delete scan; }

DISCWELL_API void CD_CALL DwGetStats(uint32_t disc, DwStats* stats) {
    if (!stats) return;
    *stats = DwStats{};
    auto found = discwell::find_disc(disc);
    if (!found) return;
    const auto& c = found->counters;
    *stats = DwStats{c.readers_open, c.readers_opened, c.buffers_locked, c.max_buffers_held,
                     c.sectors_read, c.last_buffer_setting, c.last_read_pointer};
}

DISCWELL_API void CD_CALL DwSetFaults(uint32_t disc, const DwFaults* faults) {
    auto found = discwell::find_disc(disc);
    if (!found || !faults) return;
    std::lock_guard lock(found->faults_mutex);
    found->faults = *faults;
    found->faults_armed = faults->opens_before_failure >= 0 || faults->reads_before_failure >= 0 ||
                          faults->seeks_before_failure >= 0;
}

}  // extern "C"
