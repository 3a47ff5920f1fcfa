#include "image_writers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace discbuilder {

RawDisc RawDisc::single_track(std::span<const uint8_t> sectors) {
    RawDisc disc{sectors, {}, {}};
    disc.tracks.push_back(TrackSpan{1, false, 0, disc.sector_count(), 0});
    return disc;
}

bool write_file(const std::string& path, std::span<const uint8_t> bytes, std::string& error) {
    // Written beside its place and renamed into it: a failure or an interruption never leaves
    // a cut file under the name asked for.
    const std::string part = path + ".part";
    std::FILE* file = std::fopen(part.c_str(), "wb");
    bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file && std::fclose(file) != 0) ok = false;
    if (!ok || std::rename(part.c_str(), path.c_str()) != 0) {
        error = path + ": cannot write: " + std::strerror(errno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}

}  // namespace discbuilder
