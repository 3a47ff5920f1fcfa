#include "image_writers.h"

#include <cstdio>
#include <memory>

namespace discbuilder {

RawDisc RawDisc::single_track(std::span<const uint8_t> sectors) {
    RawDisc disc{sectors, {}};
    disc.tracks.push_back(TrackSpan{1, false, 0, disc.sector_count(), 0});
    return disc;
}

bool write_file(const std::string& path, std::span<const uint8_t> bytes, std::string& error) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "wb"));
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fflush(file.get()) != 0) {
        error = path + ": cannot write";
        return false;
    }
    return true;
}

}  // namespace discbuilder
