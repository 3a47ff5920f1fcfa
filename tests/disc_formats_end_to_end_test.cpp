// quorvex on the image formats people keep, against the same disc as BIN/CUE: CHDs made by
// chdman (Debian's mame-tools) in each of its codecs, and the builder's CHD (Zstandard), ECM,
// PBP, CloneCD and 2448-byte images. Scans, extracts and rips must come out the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

RunResult quorvex(const std::string& args) { return run_program(quorvex_command() + " " + args); }

std::string quoted(const std::string& s) { return "'" + s + "'"; }

bool have_chdman() { return run_program("command -v chdman").status == 0; }

// A scan's JSON with the image's path left out: what must not depend on the format.
nlohmann::json scan_of(const std::string& image) {
    const RunResult r = quorvex("scan --json " + quoted(image));
    EXPECT_EQ(r.status, 0) << image << ": " << r.output;
    auto doc = nlohmann::json::parse(r.output.substr(0, r.output.rfind('}') + 1), nullptr, false);
    if (doc.is_discarded()) return {};
    for (auto& disc : doc["discs"]) disc.erase("image");
    return doc;
}

// The sample discs whose streams cover every family.
const char* const kDiscs[] = {"selvane", "ostrand", "nimbrel", "corvane"};

// Every image of `disc` in `dir`: chdman's CHDs and the builder's other formats.
std::vector<std::string> images_of(const std::string& disc, const TempDir& dir) {
    std::vector<std::string> images;
    const std::string cue = build_path("samples/" + disc + ".cue"), bin = build_path("samples/" + disc + ".bin");
    EXPECT_TRUE(have_chdman()) << "chdman is missing: install Debian's mame-tools (scripts/run does)";
    if (have_chdman()) {
        for (const char* codec : {"cdlz,cdzl,cdfl", "cdzl", "cdfl", "none"}) {
            const std::string out = dir.file(disc + "-" + std::string(codec).substr(0, 4) + ".chd");
            const RunResult r = run_program("chdman createcd -f -c " + std::string(codec) + " -i " + quoted(cue) + " -o " + quoted(out));
            EXPECT_EQ(r.status, 0) << r.output;
            images.push_back(out);
        }
    }
    const std::pair<const char*, const char*> own[] = {
        {"chd-zstd", ".zstd.chd"}, {"ecm", ".bin.ecm"}, {"pbp", ".pbp"}, {"clonecd", ".ccd"}, {"raw2448", ".2448.bin"}};
    for (const auto& [format, suffix] : own) {
        const std::string out = dir.file(disc + suffix);
        const RunResult r = run_program(build_path("bin/discbuilder") + " convert " + quoted(bin) + " " + format + " " + quoted(out));
        EXPECT_EQ(r.status, 0) << r.output;
        images.push_back(out);
    }
    return images;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(DiscFormats, ScansEqualTheBinsScan) {
    TempDir dir("scans");
    for (const char* disc : kDiscs) {
        const auto expected = scan_of(build_path(std::string("samples/") + disc + ".cue"));
        ASSERT_FALSE(expected.empty());
        for (const std::string& image : images_of(disc, dir)) {
            EXPECT_EQ(scan_of(image), expected) << image;
        }
    }
}

// chdman checks the builder's Deflate CHD against the SHA-1 sums in its header, as it checks its own.
TEST(DiscFormats, ChdmanVerifiesTheBuildersChd) {
    ASSERT_TRUE(have_chdman()) << "chdman is missing: install Debian's mame-tools (scripts/run does)";
    TempDir dir("verify");
    const std::string chd = dir.file("selvane.chd");
    ASSERT_EQ(run_program(build_path("bin/discbuilder") + " convert " + quoted(build_path("samples/selvane.bin")) +
                          " chd-deflate " + quoted(chd)).status, 0);
    const RunResult verified = run_program("chdman verify -i " + quoted(chd));
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find("Overall SHA1 verification successful"), std::string::npos) << verified.output;
}

TEST(DiscFormats, ExtractsAndRipsEqualTheBins) {
    TempDir dir("extracts");
    const std::string cue = build_path("samples/selvane.cue");
    const auto images = images_of("selvane", dir);
    ASSERT_FALSE(images.empty());
    // The chdman CHD of its default codecs, or the builder's own.
    const std::string chd = images.front();

    // A movie's units as delivered, byte for byte.
    ASSERT_EQ(quorvex("extract " + quoted(cue) + " --plugin selvane --stream 1 -o " + quoted(dir.file("from-bin/"))).status, 0);
    for (const std::string& image : {chd, dir.file("selvane.pbp"), dir.file("selvane.bin.ecm")}) {
        SCOPED_TRACE(image);
        fs::remove_all(dir.file("from-image"));
        const RunResult r = quorvex("extract " + quoted(image) + " --plugin selvane --stream 1 -o " + quoted(dir.file("from-image/")));
        ASSERT_EQ(r.status, 0) << r.output;
        size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dir.file("from-bin"))) {
            const std::string name = entry.path().filename().string();
            if (name == "extract.json") continue;
            ++files;
            EXPECT_EQ(file_text(entry.path().string()), file_text(dir.file("from-image/" + name))) << name;
        }
        EXPECT_GT(files, 20u);
    }

    // A rip of the CHD writes what a rip of the BIN writes.
    ASSERT_EQ(quorvex("rip " + quoted(cue) + " -o " + quoted(dir.file("rip-bin"))).status, 0);
    const RunResult rip = quorvex("rip " + quoted(chd) + " -o " + quoted(dir.file("rip-chd")));
    ASSERT_EQ(rip.status, 0) << rip.output;
    // The same files, decoding to the same pictures and sound (their comments name their images).
    auto listing = [](const std::string& root) {
        std::vector<std::pair<std::string, std::string>> files;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file() || entry.path().filename() == "rip.json") continue;
            const RunResult decoded = run_program("ffmpeg -v error -i " + quoted(entry.path().string()) + " -map 0 -f framemd5 -");
            files.emplace_back(fs::relative(entry.path(), root).string(), decoded.output);
        }
        std::sort(files.begin(), files.end());
        return files;
    };
    const auto from_bin = listing(dir.file("rip-bin/selvane")), from_chd = listing(dir.file("rip-chd/" + fs::path(chd).stem().string()));
    EXPECT_EQ(from_bin.size(), 2u);
    EXPECT_TRUE(from_bin == from_chd);
}

// A damaged compressed image fails the scan and every extract, naming the image, and nothing is
// written: CHD hunks and PBP blocks by their checksums, ECM by the checksum of its whole image.
TEST(DiscFormats, DamagedImagesAreNamedAndWriteNothing) {
    TempDir dir("damaged");
    for (const auto& [format, name] : {std::pair{"chd-zstd", "selvane.chd"}, {"ecm", "selvane.ecm"}, {"pbp", "selvane.pbp"}}) {
        const std::string image = dir.file(name);
        ASSERT_EQ(run_program(build_path("bin/discbuilder") + " convert " + quoted(build_path("samples/selvane.bin")) + " " +
                              format + " " + quoted(image)).status, 0);
        // Damage spread over the middle of the data (a PBP's lie after its first mebibyte).
        auto bytes = read_bytes(image);
        const size_t psar = bytes[0x24] | bytes[0x25] << 8 | bytes[0x26] << 16;
        const size_t data = std::string(format) == "pbp" ? psar + 0x100000 : 0;
        for (size_t k = 0; k < 16; ++k) bytes[data + (bytes.size() - data) * (30 + k) / 100] ^= 0x5A;
        write_bytes(image, bytes);

        const RunResult scan = quorvex("scan " + quoted(image));
        EXPECT_EQ(scan.status, 1) << scan.output;
        EXPECT_NE(scan.output.find(image), std::string::npos) << scan.output;

        const std::string out = dir.file(std::string(format) + "-out/");
        const RunResult extract = quorvex("extract " + quoted(image) + " --plugin selvane --start 32 --count 320 -o " + quoted(out));
        EXPECT_EQ(extract.status, 1) << extract.output;
        EXPECT_NE(extract.output.find(image), std::string::npos) << extract.output;
        EXPECT_FALSE(fs::exists(out));
        const RunResult rip = quorvex("rip " + quoted(image) + " -o " + quoted(dir.file("rips")));
        EXPECT_EQ(rip.status, 1) << rip.output;
        EXPECT_FALSE(fs::exists(dir.file("rips/selvane"))) << format;
    }
}
