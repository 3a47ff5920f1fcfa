// BIN files and the CUE sheet that names them.
#include <cstdio>
#include <vector>

#include "image_writers.h"

namespace discwell {
namespace {

std::string msf(uint32_t sectors) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", sectors / 4500, sectors / 75 % 60, sectors % 75);
    return text;
}

}  // namespace

std::string cue_sheet(const std::vector<TrackSpan>& tracks, const std::vector<BinFile>& files) {
    std::string cue;
    size_t current = SIZE_MAX;
    for (const TrackSpan& t : tracks) {
        const uint32_t held = t.first_lba - t.pregap;  // the track's first sector a file holds
        size_t file = 0;
        while (file + 1 < files.size() && held >= files[file + 1].first_lba) ++file;
        if (file != current) {
            current = file;
            cue += "FILE \"" + files[file].name + "\" BINARY\r\n";
        }
        char line[40];
        std::snprintf(line, sizeof line, "  TRACK %02u %s\r\n", unsigned{t.number},
                      t.audio ? "AUDIO" : t.mode == 1 ? "MODE1/2352" : "MODE2/2352");
        cue += line;
        if (t.silent_pregap) cue += "    PREGAP " + msf(t.silent_pregap) + "\r\n";
        if (t.pregap) cue += "    INDEX 00 " + msf(held - files[file].first_lba) + "\r\n";
        cue += "    INDEX 01 " + msf(t.first_lba - files[file].first_lba) + "\r\n";
    }
    return cue;
}

bool write_bin(const SectorFeed& feed, const BinFile& file, const std::string& path, std::string& error, const WriteProgress& progress) {
    constexpr uint32_t kRun = 448;  // about a mebibyte
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    std::vector<uint8_t> buffer(size_t{kRun} * 2352);
    bool ok = true;
    for (uint32_t done = 0; ok && done < file.sector_count;) {
        const uint32_t n = std::min(kRun, file.sector_count - done);
        if (!feed.read(file.first_lba + done, n, buffer.data(), error)) {
            ok = false;
            break;
        }
        if (std::fwrite(buffer.data(), 2352, n, out) != n) {
            error = path + ": cannot be written";
            ok = false;
        }
        done += n;
        if (progress) progress(done, file.sector_count);
    }
    if (std::fclose(out) != 0 && ok) {
        error = path + ": cannot be written";
        ok = false;
    }
    return ok;
}

}  // namespace discwell
