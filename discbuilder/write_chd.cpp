// A built disc as a CHD, by discwell's writer, put in place whole.
#include <cstdio>

#include "image_writers.h"

namespace discbuilder {

bool write_chd(const RawDisc& disc, ChdCodec codec, const std::string& path, std::string& error) {
    const std::string part = path + ".part";
    const discwell::MemoryFeed feed(disc.sectors);
    if (!discwell::write_chd(feed, disc.tracks, codec, part, error, [&](uint32_t done, uint32_t) { disc.report(done); }) ||
        std::rename(part.c_str(), path.c_str()) != 0) {
        if (error.empty()) error = path + ": cannot be written";
        std::remove(part.c_str());
        return false;
    }
    return true;
}

}  // namespace discbuilder
