// A CUE image copied track file by track file, with some sectors changed.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "image_writers.h"

namespace discwell {
namespace {

constexpr uint32_t kSector = 2352;
namespace fs = std::filesystem;

// The name of the file a FILE line names ends where its quotes close, or at the first blank.
size_t file_name_end(const std::string& line, size_t from) {
    if (from < line.size() && line[from] == '"') {
        const size_t close = line.find('"', from + 1);
        return close == std::string::npos ? line.size() : close + 1;
    }
    const size_t blank = line.find_first_of(" \t", from);
    return blank == std::string::npos ? line.size() : blank;
}

// The FILE line with `name` in place of the one it had, the rest (its type) as it was.
std::string renamed_line(const std::string& line, const std::string& name) {
    size_t at = line.find_first_not_of(" \t");
    at = line.find_first_not_of(" \t", at + 4);  // past "FILE"
    if (at == std::string::npos) return line;
    return line.substr(0, at) + "\"" + name + "\"" + line.substr(file_name_end(line, at));
}

// A file that may hold raw 2352-byte sectors (whether it does, the caller checks against the disc).
bool raw_sectors(const std::string& path, uint64_t bytes) {
    if (bytes == 0 || bytes % kSector != 0) return false;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    char head[4] = {};
    in.read(head, sizeof head);
    return std::memcmp(head, "ECM", 4) != 0;
}

}  // namespace

bool read_cue_copy(const std::string& cue_path, const std::string& stem, CueCopy& copy, std::string& error) {
    copy = CueCopy{};
    std::ifstream in(fs::u8path(cue_path), std::ios::binary);
    std::string stored;
    stored.assign(std::istreambuf_iterator<char>(in), {});
    if (!in.eof() && in.fail()) stored.clear();
    if (stored.empty() || stored.size() > kMaxCueBytes) {
        error = cue_path + ": cannot be read as a CUE sheet";
        return false;
    }
    if (!decode_cue_text(stored, copy.text, error) || !parse_cue_sheet(copy.text, copy.sheet, error)) return false;
    std::vector<uint32_t> sectors;
    for (const CueFile& named : copy.sheet.files) {
        CueCopy::File file;
        for (const std::string& candidate : track_file_paths(cue_path, named.name)) {
            std::error_code ec;
            const auto size = fs::file_size(fs::u8path(candidate), ec);
            if (ec) continue;
            file = {candidate, {}, size};
            break;
        }
        if (file.path.empty() || !raw_sectors(file.path, file.bytes)) {
            error = "\"" + named.name + "\" is not a file of raw 2352-byte sectors";
            return false;
        }
        char number[8];
        std::snprintf(number, sizeof number, "%02d", named.tracks.front().number);
        file.name = copy.sheet.files.size() == 1 ? stem + ".bin" : stem + " (Track " + number + ").bin";
        sectors.push_back(static_cast<uint32_t>(std::min<uint64_t>(file.bytes / kSector, 0xFFFFFFF0u)));
        copy.files.push_back(std::move(file));
    }
    uint32_t total = 0;
    return place_cue_tracks(cue_path, copy.sheet, sectors, copy.placed, total, error);
}

bool CueCopy::locate(uint32_t lba, size_t& file, uint64_t& offset) const {
    if (placed.empty()) return false;
    const uint64_t absolute = uint64_t{lba} + placed.front().index01;
    for (const PlacedTrack& p : placed) {
        if (absolute < p.data() || absolute >= uint64_t{p.data()} + (p.end - p.begin)) continue;
        file = p.file;
        offset = (p.begin + (absolute - p.data())) * kSector;
        return true;
    }
    return false;
}

std::string CueCopy::renamed_sheet() const {
    std::string out;
    int number = 0;
    size_t next = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        size_t after = end;
        if (after < text.size() && text[after] == '\r') ++after;
        if (after < text.size() && text[after] == '\n') ++after;
        std::string line = text.substr(at, end - at);
        ++number;
        if (next < files.size() && sheet.files[next].line == number) line = renamed_line(line, files[next++].name);
        out += line + text.substr(end, after - end);
        at = after;
    }
    return out;
}

bool write_changed_copy(const std::string& from, const std::vector<ChangedSector>& changes, const std::string& to,
                        std::string& error) {
    std::ifstream in(fs::u8path(from), std::ios::binary);
    std::ofstream out(fs::u8path(to), std::ios::binary | std::ios::trunc);
    if (!in || !out) {
        error = (!in ? from + ": cannot be read" : to + ": cannot be written");
        return false;
    }
    std::vector<char> buffer(size_t{448} * kSector);
    uint64_t position = 0;
    auto change = changes.begin();
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<uint64_t>(in.gcount());
        for (; change != changes.end() && change->offset + kSector <= position + got; ++change) {
            if (change->offset >= position) std::memcpy(buffer.data() + (change->offset - position), change->after, kSector);
        }
        out.write(buffer.data(), static_cast<std::streamsize>(got));
        position += got;
    }
    if (!in.eof() || !out.flush()) {
        error = !in.eof() ? from + ": cannot be read" : to + ": cannot be written";
        return false;
    }
    return true;
}

}  // namespace discwell
