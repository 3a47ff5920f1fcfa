// Patches of a changed image: Debian's xdelta3 applies the VCDIFF, and an applier written here
// from the PPF 3.0 layout applies the PPF, each giving the changed image byte for byte; each
// checks the image it is applied to as its format can.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "discwell/image_writers.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;

namespace {

bool have_xdelta3() { return run_program("command -v xdelta3").status == 0; }

// A BIN-sized buffer and a copy with some sectors rewritten, runs of every length among them (the
// first and the last sector too), with the changes as the writers take them.
struct Change {
    std::vector<uint8_t> before, after;
    std::vector<discwell::ChangedSector> sectors;
};
Change changed_image(size_t bytes) {
    std::mt19937 random(7);
    Change c;
    c.before.resize(bytes);
    for (uint8_t& b : c.before) b = static_cast<uint8_t>(random());
    c.after = c.before;
    const size_t sector = 2352;
    std::vector<size_t> changed = {0};
    for (size_t at = 5 * sector; at + sector <= bytes; at += 97 * sector) changed.push_back(at);
    if (changed.back() + sector < bytes) changed.push_back(bytes - sector);
    for (size_t at : changed) {
        for (size_t i = 24; i < sector; i += 1 + random() % 3) c.after[at + i] ^= static_cast<uint8_t>(1 + random() % 255);
    }
    c.after[0] ^= 0x01;          // the very first byte
    c.after[bytes - 1] ^= 0xFF;  // and the last
    for (size_t at : changed) c.sectors.push_back({at, &c.before[at], &c.after[at]});
    return c;
}

// Applies a PPF 3.0 patch as its layout reads: a 60-byte header (1084 with the block check),
// then records of an eight-byte little-endian offset, a length byte and the bytes (and as many
// again of undo data when the header says so).
bool apply_ppf3(const std::vector<uint8_t>& ppf, std::vector<uint8_t>& image) {
    if (ppf.size() < 60 || std::memcmp(ppf.data(), "PPF30", 5) != 0 || ppf[5] != 2) return false;
    size_t at = ppf[57] ? 1084 : 60;
    // The block check: the image's 1024 bytes at 0x9320 must be the ones the patch was made from.
    if (ppf[57] && (ppf.size() < 1084 || image.size() < 0x9320 + 1024 || !std::equal(ppf.begin() + 60, ppf.begin() + 1084, image.begin() + 0x9320))) {
        return false;
    }
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
        std::vector<uint8_t> patch;
        std::string why;
        ASSERT_TRUE(discwell::vcdiff_patch(discwell::MemoryFeed(c.before), bytes, c.sectors, patch, why)) << why;
        EXPECT_LT(patch.size(), bytes / 10) << "the unchanged sectors are copied, not carried";
        write_bytes(dir.file("patch.xdelta"), patch);
        std::remove(dir.file("out.bin").c_str());
        const RunResult r = run_program("xdelta3 -d -s " + dir.file("in.bin") + " " + dir.file("patch.xdelta") + " " +
                                        dir.file("out.bin"));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(read_bytes(dir.file("out.bin")) == c.after) << bytes;
        // Another dump, one byte different where the patch copies from: xdelta3 refuses it.
        std::vector<uint8_t> other = c.before;
        other[10 * 2352 + 100] ^= 0x01;
        write_bytes(dir.file("other.bin"), other);
        std::remove(dir.file("out.bin").c_str());
        EXPECT_NE(run_program("xdelta3 -d -s " + dir.file("other.bin") + " " + dir.file("patch.xdelta") + " " + dir.file("out.bin")).status, 0);
    }
}

TEST(Patches, ThePpfRewritesOnlyWhatChanged) {
    const Change c = changed_image(2352 * 300);
    std::vector<uint8_t> patch;
    std::string why;
    const discwell::MemoryFeed original(c.before);
    ASSERT_TRUE(discwell::ppf3_patch(original, c.before.size(), c.sectors, "quorvex test: a description longer than fifty bytes is cut",
                                     patch, why)) << why;
    ASSERT_GE(patch.size(), 1084u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&patch[6]), 50), "quorvex test: a description longer than fifty byte");
    // The block check: the original's 1024 bytes from 0x9320.
    EXPECT_EQ(patch[57], 1);
    EXPECT_TRUE(std::equal(patch.begin() + 60, patch.begin() + 1084, c.before.begin() + 0x9320));
    std::vector<uint8_t> image = c.before;
    ASSERT_TRUE(apply_ppf3(patch, image));
    EXPECT_TRUE(image == c.after);
    // Another game (other bytes where the check lies) is refused.
    image = c.before;
    image[0x9320 + 5] ^= 0x40;
    EXPECT_FALSE(apply_ppf3(patch, image));
    // No change, no records.
    ASSERT_TRUE(discwell::ppf3_patch(original, c.before.size(), {}, "", patch, why)) << why;
    EXPECT_EQ(patch.size(), 1084u);
}
