// discbuilder: writes valid raw disc images (.bin + .cue) for tests, demos and measurements.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "image_writers.h"
#include "sample_discs.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  discbuilder samples DIR          write every sample disc into DIR\n"
    "  discbuilder list                 name the sample discs\n"
    "  discbuilder sample NAME OUT.bin  write one sample disc\n"
    "  discbuilder full FAMILY OUT.bin [SECTORS]\n"
    "                                   write a full-length disc (333000 sectors: 74 minutes) of\n"
    "                                   one family's streams: movies, music, archive or corvane\n"
    "                                   (long-movie: one movie of 2,000 frames, SECTORS long)\n"
    "                                   (a disc that ends within streams says which it cuts)\n"
    "  discbuilder convert IN.bin FORMAT OUT [TITLE]\n"
    "                                   write a one-track image of raw sectors in another format:\n"
    "                                   chd-zstd, chd-deflate, chd-none, ecm, pbp, clonecd (OUT.ccd\n"
    "                                   with .img and .sub) or raw2448 (sectors with subchannel);\n"
    "                                   a PBP holds TITLE as the name its menu shows\n";

// Whether a file can be written at `path`: its folder, made when missing, takes a new file.
// Checked before minutes of work, not after.
bool can_write(const std::string& path) {
    const std::filesystem::path place(path);
    const std::filesystem::path folder = place.has_parent_path() ? place.parent_path() : std::filesystem::path(".");
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string probe = (folder / ".discbuilder-probe").string();
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "discbuilder: %s: cannot write there: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::fclose(f);
    std::remove(probe.c_str());
    return true;
}

// How far a long job has got, on a terminal only: one line, redrawn.
class Meter {
public:
    explicit Meter(std::string what) : what_(std::move(what)), shown_(isatty(fileno(stderr)) != 0) {}
    ~Meter() {
        if (drawn_) std::fprintf(stderr, "\r\x1b[K");
    }
    void operator()(uint32_t done, uint32_t total) {
        const int percent = total ? static_cast<int>(uint64_t{done} * 100 / total) : 100;
        if (!shown_ || percent == percent_) return;
        percent_ = percent;
        drawn_ = true;
        std::fprintf(stderr, "\r%s: %d%% (%u of %u sectors)\x1b[K", what_.c_str(), percent, done, total);
        std::fflush(stderr);
    }

private:
    std::string what_;
    bool shown_, drawn_ = false;
    int percent_ = -1;
};

int convert(const std::string& in, const std::string& format, const std::string& out, const std::string& title) {
    using namespace discbuilder;
    if (!can_write(out)) return 1;
    std::ifstream file(in, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        std::fprintf(stderr, "discbuilder: %s: cannot read\n", in.c_str());
        return 1;
    }
    if (bytes.empty() || bytes.size() % 2352 != 0) {
        std::fprintf(stderr, "discbuilder: %s: not an image of raw 2352-byte sectors\n", in.c_str());
        return 1;
    }
    RawDisc disc = RawDisc::single_track(bytes);
    Meter meter("writing " + out);
    disc.progress = std::ref(meter);
    std::string error;
    bool ok;
    if (format == "chd-zstd" || format == "chd-deflate" || format == "chd-none") {
        ok = write_chd(disc, format == "chd-zstd" ? ChdCodec::kZstd : format == "chd-deflate" ? ChdCodec::kDeflate : ChdCodec::kNone,
                       out, error);
    } else if (format == "ecm") {
        ok = write_ecm(disc, out, error);
    } else if (format == "pbp") {
        ok = title.empty() ? write_pbp(disc, out, error) : write_pbp(disc, out, error, title);
    } else if (format == "clonecd") {
        ok = write_clonecd(disc, out, error);
    } else if (format == "raw2448") {
        ok = write_with_subchannel(disc, out, error);
    } else {
        std::fprintf(stderr, "discbuilder: no format '%s'\n", format.c_str());
        return 2;
    }
    if (!ok) std::fprintf(stderr, "discbuilder: %s\n", error.c_str());
    return ok ? 0 : 1;
}

bool write(discbuilder::DiscImage disc, const std::string& path) {
    std::string error;
    if (!disc.write(path, error)) {
        std::fprintf(stderr, "discbuilder: %s\n", error.c_str());
        return false;
    }
    return true;
}

// A full disc that ends inside its last streams says which: their readers find them cut.
void warn_cut(const std::vector<discbuilder::FullDiscStream>& streams, uint32_t sectors) {
    std::string cut;
    size_t count = 0;
    for (const discbuilder::FullDiscStream& s : streams) {
        if (s.end <= sectors) continue;
        cut += (count++ ? "; " : "") + s.what + " (sectors " + std::to_string(s.first) + " to " + std::to_string(s.end - 1) +
               (s.first >= sectors ? ", left out" : ", cut") + ")";
    }
    if (count) {
        std::fprintf(stderr, "discbuilder: warning: the disc ends at sector %u, within %s: %s\n", sectors,
                     count == 1 ? "a stream" : (std::to_string(count) + " streams").c_str(), cut.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace discbuilder;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "list") {
        for (const SampleDisc& s : sample_discs()) std::printf("%-10s %s\n", s.name, s.description);
        return 0;
    }
    if (command == "samples" && argc == 3) {
        std::error_code ec;
        std::filesystem::create_directories(argv[2], ec);
        for (const SampleDisc& s : sample_discs()) {
            if (!write(s.build(), (std::filesystem::path(argv[2]) / (std::string(s.name) + ".bin")).string())) return 1;
        }
        return 0;
    }
    if (command == "sample" && argc == 4) {
        if (!can_write(argv[3])) return 1;
        for (const SampleDisc& s : sample_discs()) {
            if (s.name == std::string(argv[2])) return write(s.build(), argv[3]) ? 0 : 1;
        }
        std::fprintf(stderr, "discbuilder: no sample disc named '%s'\n", argv[2]);
        return 1;
    }
    if (command == "full" && (argc == 4 || argc == 5)) {
        FullDisc kind;
        if (!full_disc_named(argv[2], kind)) {
            std::fprintf(stderr, "discbuilder: no family '%s' (movies, music, archive, corvane, long-movie)\n", argv[2]);
            return 2;
        }
        const unsigned long sectors = argc == 5 ? std::strtoul(argv[4], nullptr, 10) : kFullDiscSectors;
        if (sectors < 64 || sectors > 400000) {
            std::fprintf(stderr, "discbuilder: SECTORS must be from 64 to 400000\n");
            return 2;
        }
        if (!can_write(argv[3])) return 1;
        Meter meter(std::string("building a full ") + argv[2] + " disc");
        const auto total = static_cast<uint32_t>(sectors);
        std::vector<FullDiscStream> streams;
        DiscImage disc = build_full_disc(kind, total, [&](uint32_t done) { meter(done, total); }, &streams);
        meter(total, total);
        warn_cut(streams, total);
        return write(std::move(disc), argv[3]) ? 0 : 1;
    }
    if (command == "convert" && (argc == 5 || argc == 6)) return convert(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : "");
    std::fputs(kUsage, stderr);
    return 2;
}
