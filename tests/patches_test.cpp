// Patches of a changed image: Debian's xdelta3 applies the VCDIFF, and an applier written here
// from the PPF 3.0 layout applies the PPF, each giving the changed image byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "host/patches.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;

namespace {

bool have_xdelta3() { return run_program("command -v xdelta3").status == 0; }

// A BIN-sized buffer and a copy with some sectors rewritten, runs of every length among them.
struct Change {
    std::vector<uint8_t> before, after;
};
Change changed_image(size_t bytes) {
    std::mt19937 random(7);
    Change c;
    c.before.resize(bytes);
    for (uint8_t& b : c.before) b = static_cast<uint8_t>(random());
    c.after = c.before;
    const size_t sector = 2352;
    for (size_t at = 5 * sector; at + sector <= bytes; at += 97 * sector) {
        for (size_t i = 24; i < sector; i += 1 + random() % 3) c.after[at + i] ^= static_cast<uint8_t>(1 + random() % 255);
    }
    if (bytes > 10) c.after[bytes - 1] ^= 0xFF;  // the very last byte
    c.after[0] ^= 0x01;                         // and the first
    return c;
}

// Applies a PPF 3.0 patch as its layout reads: a 60-byte header (1084 with the block check),
// then records of an eight-byte little-endian offset, a length byte and the bytes (and as many
// again of undo data when the header says so).
bool apply_ppf3(const std::vector<uint8_t>& ppf, std::vector<uint8_t>& image) {
    if (ppf.size() < 60 || std::memcmp(ppf.data(), "PPF30", 5) != 0 || ppf[5] != 2) return false;
    size_t at = ppf[57] ? 1084 : 60;
    const bool undo = ppf[58] != 0;
    while (at < ppf.size()) {
        if (ppf.size() - at < 9) return false;
        uint64_t offset = 0;
        for (int i = 7; i >= 0; --i) offset = offset << 8 | ppf[at + static_cast<size_t>(i)];
        const size_t n = ppf[at + 8];
        at += 9;
        if (ppf.size() - at < n * (undo ? 2 : 1) || offset + n > image.size()) return false;
        std::memcpy(&image[offset], &ppf[at], n);
        at += n * (undo ? 2 : 1);
    }
    return true;
}

}  // namespace

TEST(Patches, XdeltaAppliesTheVcdiffByteForByte) {
    ASSERT_TRUE(have_xdelta3()) << "xdelta3 is missing: install Debian's xdelta3 (scripts/run does)";
    TempDir dir("vcdiff");
    // Three windows and a part, and one image smaller than a window.
    for (const size_t bytes : {size_t{2352} * 6000, size_t{2352} * 40}) {
        const Change c = changed_image(bytes);
        write_bytes(dir.file("in.bin"), c.before);
        const std::vector<uint8_t> patch = quorvex::vcdiff_patch(c.before, c.after);
        EXPECT_LT(patch.size(), bytes / 10) << "the unchanged sectors are copied, not carried";
        write_bytes(dir.file("patch.xdelta"), patch);
        std::remove(dir.file("out.bin").c_str());
        const RunResult r = run_program("xdelta3 -d -s " + dir.file("in.bin") + " " + dir.file("patch.xdelta") + " " +
                                        dir.file("out.bin"));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(read_bytes(dir.file("out.bin")) == c.after) << bytes;
    }
}

TEST(Patches, ThePpfRewritesOnlyWhatChanged) {
    const Change c = changed_image(2352 * 300);
    const std::vector<uint8_t> patch = quorvex::ppf3_patch(c.before, c.after, "quorvex test: a description longer than fifty bytes is cut");
    ASSERT_GE(patch.size(), 60u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&patch[6]), 50), "quorvex test: a description longer than fifty byte");
    std::vector<uint8_t> image = c.before;
    ASSERT_TRUE(apply_ppf3(patch, image));
    EXPECT_TRUE(image == c.after);
    // No change, no records.
    EXPECT_EQ(quorvex::ppf3_patch(c.before, c.before, "").size(), 60u);
}
