// The image formats discwell reads besides BIN/CUE, from the builder's writers: every sector the
// same as the BIN's, the same tracks, recognised by content; and damaged files of each kind
// refused or failed by sector with a message, never read as zeros.
#include <gtest/gtest.h>

#include <fstream>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discbuilder/image_writers.h"
#include "discbuilder/sample_discs.h"
#include "discwell/chd_map.h"
#include "discwell/discwell.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::ChdCodec;
using discbuilder::RawDisc;

namespace {

constexpr size_t kSector = 2352;

// A sample disc's data track, then an audio track behind a stored two-second pregap: enough to
// meet track padding, byte-swapped audio and pregaps in every format.
struct TestDisc {
    std::vector<uint8_t> sectors;
    RawDisc disc;
    std::string cue;  // the same disc as BIN/CUE
};

const TestDisc& test_disc() {
    static const TestDisc made = [] {
        TestDisc t;
        auto sample = discbuilder::sample_discs().front().build();
        const auto data = sample.bytes();
        const uint32_t data_sectors = static_cast<uint32_t>(data.size() / kSector) - 1;  // not a multiple of 4
        t.sectors.assign(data.begin(), data.begin() + static_cast<long>(data_sectors * kSector));
        t.sectors.resize(t.sectors.size() + 150 * kSector, 0);
        for (uint32_t i = 0; i < 301 * kSector / 2; ++i) {
            const auto v = static_cast<int16_t>((i % 97) * 300 - 14000);
            t.sectors.push_back(static_cast<uint8_t>(v));
            t.sectors.push_back(static_cast<uint8_t>(v >> 8));
        }
        t.disc.sectors = t.sectors;
        t.disc.tracks = {{1, false, 0, data_sectors, 0}, {2, true, data_sectors + 150, 301, 150}};
        auto msf = [](uint32_t lba) {
            char s[16];
            std::snprintf(s, sizeof s, "%02u:%02u:%02u", lba / 4500, lba / 75 % 60, lba % 75);
            return std::string(s);
        };
        t.cue = "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 " +
                msf(data_sectors) + "\n    INDEX 01 " + msf(data_sectors + 150) + "\n";
        return t;
    }();
    return made;
}

struct Opened {
    int32_t code = DW_OK;
    std::string error;
    std::vector<DwTrack> tracks;
    std::vector<uint8_t> sectors;
    std::string read_error;
};

// Opens an image and reads every sector as a scan does.
Opened open_and_read(const std::string& path) {
    Opened o;
    uint32_t disc = 0;
    char error[512] = {};
    if ((o.code = DwOpenImage(path.c_str(), DW_IO_DEFAULT, &disc, error, sizeof error)) != DW_OK) {
        o.error = error;
        return o;
    }
    for (int32_t i = 0; i < DwTrackCount(disc); ++i) {
        DwTrack t{};
        DwGetTrack(disc, i, &t);
        o.tracks.push_back(t);
    }
    DwScan* scan = DwScanOpen(disc, 0, DwSectorCount(disc));
    const uint8_t* run = nullptr;
    for (uint32_t n; (n = DwScanNext(scan, &run)) > 0;) o.sectors.insert(o.sectors.end(), run, run + n * kSector);
    if (const char* why = DwScanError(scan)) o.read_error = why;
    DwScanClose(scan);
    DwClose(disc);
    return o;
}

bool same_tracks(const std::vector<DwTrack>& a, const std::vector<DwTrack>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].number != b[i].number || a[i].mode != b[i].mode || a[i].control != b[i].control ||
            a[i].first_lba != b[i].first_lba || a[i].sector_count != b[i].sector_count) {
            return false;
        }
    }
    return true;
}

// Writes the test disc in `format` as `path`; false (after saying why) when this build lacks the
// codec that format needs.
bool write_as(const std::string& format, const std::string& path) {
    std::string error;
    const RawDisc& disc = test_disc().disc;
    bool ok = false;
    if (format == "chd-zstd") ok = discbuilder::write_chd(disc, ChdCodec::kZstd, path, error);
    if (format == "chd-deflate") ok = discbuilder::write_chd(disc, ChdCodec::kDeflate, path, error);
    if (format == "chd-none") ok = discbuilder::write_chd(disc, ChdCodec::kNone, path, error);
    if (format == "ecm") ok = discbuilder::write_ecm(disc, path, error);
    if (format == "pbp") ok = discbuilder::write_pbp(disc, path, error);
    if (format == "clonecd") ok = discbuilder::write_clonecd(disc, path, error);
    if (format == "raw2448") ok = discbuilder::write_with_subchannel(disc, path, error);
    if (!ok) std::printf("  (%s not written: %s)\n", format.c_str(), error.c_str());
    return ok;
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
uint64_t be64(const std::vector<uint8_t>& b, size_t at) { return uint64_t{be32(b, at)} << 32 | be32(b, at + 4); }

}  // namespace

TEST(ImageFormats, EveryFormatReadsAsTheBin) {
    TempDir dir("formats");
    write_bytes(dir.file("disc.bin"), test_disc().sectors);
    write_text(dir.file("disc.cue"), test_disc().cue);
    const Opened bin = open_and_read(dir.file("disc.cue"));
    ASSERT_EQ(bin.error, "");
    ASSERT_EQ(bin.tracks.size(), 2u);

    const std::pair<const char*, const char*> formats[] = {
        {"chd-zstd", "disc.chd"}, {"chd-deflate", "deflate.chd"}, {"chd-none", "none.chd"}, {"ecm", "disc.bin.ecm"},
        {"pbp", "EBOOT.PBP"},     {"clonecd", "clone.ccd"},      {"raw2448", "sub.img"}};
    for (const auto& [format, name] : formats) {
        SCOPED_TRACE(format);
        if (!write_as(format, dir.file(name))) continue;
        const Opened o = open_and_read(dir.file(name));
        ASSERT_EQ(o.error, "");
        EXPECT_EQ(o.read_error, "");
        EXPECT_TRUE(o.sectors == bin.sectors) << "sectors differ from the BIN's";
        if (std::string(format) == "ecm" || std::string(format) == "raw2448") {
            // A bare image has no table of contents: one data track over it all.
            ASSERT_EQ(o.tracks.size(), 1u);
            EXPECT_EQ(o.tracks[0].sector_count, static_cast<uint32_t>(bin.sectors.size() / kSector));
        } else if (std::string(format) == "pbp") {
            // A PBP's table of contents has no pregaps: its first track runs to the next INDEX 01.
            ASSERT_EQ(o.tracks.size(), 2u);
            EXPECT_EQ(o.tracks[1].first_lba, bin.tracks[1].first_lba);
            EXPECT_EQ(o.tracks[0].sector_count, bin.tracks[0].sector_count + 150);
        } else {
            EXPECT_TRUE(same_tracks(o.tracks, bin.tracks)) << "tracks differ from the BIN's";
        }
    }
}

TEST(ImageFormats, RecognisedByContentWhateverTheName) {
    TempDir dir("by-content");
    // Misnamed files, and an ECM file named by a CUE sheet as its track file.
    if (write_as("chd-deflate", dir.file("looks-like.bin"))) {
        EXPECT_EQ(open_and_read(dir.file("looks-like.bin")).error, "");
    }
    ASSERT_TRUE(write_as("ecm", dir.file("disc.bin.ecm")));
    EXPECT_EQ(open_and_read(dir.file("disc.bin.ecm")).error, "");
    std::string cue = test_disc().cue;
    cue.replace(cue.find("disc.bin"), 8, "disc.bin.ecm");
    write_text(dir.file("disc.cue"), cue);
    const Opened through_sheet = open_and_read(dir.file("disc.cue"));
    EXPECT_EQ(through_sheet.error, "");
    EXPECT_TRUE(through_sheet.sectors == test_disc().sectors);
    // A CloneCD set opened by its .img as well as its .ccd.
    ASSERT_TRUE(write_as("clonecd", dir.file("set.ccd")));
    EXPECT_EQ(open_and_read(dir.file("set.img")).error, "");
}

// A probe names the format it recognised, the files the image spans, and whether all are there.
TEST(ImageFormats, ProbedAsTheFormatTheyAre) {
    TempDir dir("probed");
    struct Probed {
        int32_t verdict;
        std::string format;
        int32_t id;
        std::vector<std::string> parts;
    };
    const auto probe = [&](const std::string& name) {
        char parts[4096] = {};
        uint32_t needed = 0;
        const char* format = nullptr;
        int32_t id = -1;
        const int32_t verdict = DwProbeImage(dir.file(name).c_str(), parts, sizeof parts, &needed, &format, &id);
        Probed p{verdict, format ? format : "", id, {}};
        for (const char* q = parts; *q; q += std::strlen(q) + 1) p.parts.push_back(q);
        return p;
    };
    write_bytes(dir.file("disc.bin"), test_disc().sectors);
    write_text(dir.file("disc.cue"), test_disc().cue);
    struct Format {
        const char* written;
        const char* name;
        DwFormat id;
    };
    const Format formats[] = {{"chd-none", "CHD", DW_FORMAT_CHD},
                              {"ecm", "ECM", DW_FORMAT_ECM},
                              {"pbp", "PBP", DW_FORMAT_PBP},
                              {"clonecd", "CloneCD", DW_FORMAT_CLONECD},
                              {"raw2448", "raw sectors", DW_FORMAT_RAW}};
    for (const auto& [format, name, id] : formats) {
        if (!write_as(format, dir.file(std::string("as-") + format))) continue;
        const Probed p = probe(std::string("as-") + format);
        EXPECT_EQ(p.verdict, DW_PROBE_IMAGE) << format;
        EXPECT_EQ(p.format, name) << format;
        EXPECT_EQ(p.id, id) << format;
    }
    EXPECT_EQ(probe("disc.bin").format, "raw sectors");
    const Probed sheet = probe("disc.cue");
    EXPECT_EQ(sheet.format, "CUE sheet");
    EXPECT_EQ(sheet.id, DW_FORMAT_CUE);
    EXPECT_EQ(sheet.parts, std::vector<std::string>{dir.file("disc.bin")});

    // A CloneCD set by its control file (with its sectors and subchannel) and by its sectors.
    ASSERT_TRUE(write_as("clonecd", dir.file("set.ccd")));
    const Probed control = probe("set.ccd");
    EXPECT_EQ(control.verdict, DW_PROBE_IMAGE);
    EXPECT_EQ(control.parts, (std::vector<std::string>{dir.file("set.img"), dir.file("set.sub")}));
    EXPECT_EQ(probe("set.img").format, "CloneCD");

    // Missing parts make an image unreadable; archives and text are no images at all.
    std::remove(dir.file("disc.bin").c_str());
    EXPECT_EQ(probe("disc.cue").verdict, DW_PROBE_UNREADABLE);
    std::remove(dir.file("set.img").c_str());
    EXPECT_EQ(probe("set.ccd").verdict, DW_PROBE_UNREADABLE);
    std::vector<uint8_t> zip = {'P', 'K', 3, 4};
    zip.resize(4096);
    write_bytes(dir.file("disc.zip"), zip);
    EXPECT_EQ(probe("disc.zip").verdict, DW_PROBE_NOT_IMAGE);
    EXPECT_EQ(probe("disc.zip").format, "a ZIP archive");  // no format, but what it is
    EXPECT_EQ(probe("disc.zip").id, DW_FORMAT_NONE);
    std::vector<uint8_t> cso(1000, 0x55);
    std::memcpy(cso.data(), "CISO", 4);
    write_bytes(dir.file("disc.cso"), cso);
    EXPECT_EQ(probe("disc.cso").verdict, DW_PROBE_UNREADABLE);
    write_text(dir.file("notes.txt"), "nothing to see\n");
    EXPECT_EQ(probe("notes.txt").verdict, DW_PROBE_NOT_IMAGE);
}

TEST(ImageFormats, NamesWhatItCannotRead) {
    TempDir dir("unreadable");
    auto refused = [&](const std::string& name, const std::vector<uint8_t>& bytes, const std::string& expected) {
        write_bytes(dir.file(name), bytes);
        const Opened o = open_and_read(dir.file(name));
        EXPECT_EQ(o.code, DW_ERROR_UNSUPPORTED) << name;
        EXPECT_NE(o.error.find(dir.file(name)), std::string::npos) << o.error;
        EXPECT_NE(o.error.find(expected), std::string::npos) << name << ": " << o.error;
    };
    std::vector<uint8_t> zip = {'P', 'K', 3, 4};
    zip.resize(4096);
    refused("disc.zip", zip, "disc.zip is not a disc image: it is a ZIP archive");
    std::vector<uint8_t> iso(2048 * 40, 0);
    std::memcpy(&iso[16 * 2048], "\1CD001", 6);
    refused("disc.iso", iso, "disc.iso is not a disc image quorvex reads: an ISO of 2048-byte sectors");
    std::vector<uint8_t> other(1000, 0x55);
    std::memcpy(other.data(), "CISO", 4);
    refused("disc.cso", other, "a compressed image of an unknown kind");

    ASSERT_TRUE(write_as("chd-none", dir.file("good.chd")));
    const auto chd = read_bytes(dir.file("good.chd"));
    auto older = chd;
    older[15] = 4;
    refused("older.chd", older, "a CHD of an older version");
    auto child = chd;
    child[110] = 0x5A;
    refused("child.chd", child, "needs a parent CHD");
    auto hard_disk = chd;
    hard_disk[62] = 0x02;  // units of 512 bytes: a hard disk
    hard_disk[63] = 0x00;
    refused("hd.chd", hard_disk, "not a CD image");

    if (write_as("pbp", dir.file("good.pbp"))) {
        auto encrypted = read_bytes(dir.file("good.pbp"));
        const size_t psar = encrypted[0x24] | encrypted[0x25] << 8 | encrypted[0x26] << 16;
        std::memcpy(&encrypted[psar + 0x400], "\0PGD", 4);
        refused("encrypted.pbp", encrypted, "an encrypted PBP file");
    }
}

// Each failure comes with its kind, whatever the format, and each kind has its own text.
TEST(ImageFormats, FailuresAreOfTheirKind) {
    TempDir dir("kinds");
    const auto kind_of = [&](const std::string& name, const std::string& cue) {
        write_text(dir.file(name), cue);
        return open_and_read(dir.file(name)).code;
    };
    EXPECT_EQ(open_and_read(dir.file("absent.bin")).code, DW_ERROR_CANNOT_OPEN);
    EXPECT_EQ(kind_of("gone.cue", "FILE \"gone.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"), DW_ERROR_CANNOT_OPEN);
    EXPECT_EQ(kind_of("huge.cue", std::string(2u << 20, ' ')), DW_ERROR_TOO_LARGE);
    EXPECT_EQ(kind_of("bad.cue", "FILE \"x.bin\" BINARY\n  TRACK 01 MODE9/2352\n"), DW_ERROR_MALFORMED);
    write_bytes(dir.file("short.bin"), std::vector<uint8_t>(3000, 0));
    EXPECT_EQ(open_and_read(dir.file("short.bin")).code, DW_ERROR_MALFORMED);
    EXPECT_EQ(DwOpenImage(nullptr, DW_IO_DEFAULT, nullptr, nullptr, 0), DW_ERROR_INVALID_ARGUMENT);

    std::set<std::string> texts;
    for (int32_t code = DW_OK; code <= DW_ERROR_INVALID_ARGUMENT; ++code) texts.insert(DwErrorText(code));
    EXPECT_EQ(texts.size(), size_t{DW_ERROR_INVALID_ARGUMENT + 1});
    EXPECT_FALSE(texts.count(DwErrorText(-1)));
}

TEST(ImageFormats, DamagedChdFailsCleanly) {
    TempDir dir("bad-chd");
    if (!write_as("chd-deflate", dir.file("good.chd"))) GTEST_SKIP() << "no Deflate in this build";
    const auto good = read_bytes(dir.file("good.chd"));
    const uint64_t map_at = be64(good, 40);
    const uint32_t hunks = static_cast<uint32_t>((be64(good, 32) + 19583) / 19584);

    // Cut anywhere: refused with a message, never read past the end.
    for (size_t cut : {size_t{10}, size_t{100}, size_t{124}, size_t{200}, size_t(map_at + 20), good.size() - 1}) {
        SCOPED_TRACE(cut);
        write_bytes(dir.file("cut.chd"), std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)));
        const Opened o = open_and_read(dir.file("cut.chd"));
        EXPECT_NE(o.error + o.read_error, "");
    }

    // A map whose bits are damaged fails its own check.
    auto bad_map = good;
    bad_map[static_cast<size_t>(map_at + 16 + 9)] ^= 0x10;
    write_bytes(dir.file("map.chd"), bad_map);
    EXPECT_NE(open_and_read(dir.file("map.chd")).error.find("map"), std::string::npos);

    std::vector<discwell::chd::Hunk> map;
    std::string why;
    ASSERT_TRUE(discwell::chd::decode_map(std::span<const uint8_t>(good).subspan(static_cast<size_t>(map_at)), {hunks, 19584, 2448}, map, why)) << why;
    size_t victim = map.size() - 1;  // the last Deflate hunk: past the scan's first run of sectors
    while (map[victim].type != discwell::chd::kCodec0) --victim;

    // A damaged hunk fails the sectors it holds, the first of them named, and leaves the others readable.
    auto bad_hunk = good;
    bad_hunk[static_cast<size_t>(map[victim].offset + map[victim].length / 2)] ^= 0x01;
    write_bytes(dir.file("hunk.chd"), bad_hunk);
    const Opened damaged = open_and_read(dir.file("hunk.chd"));
    EXPECT_EQ(damaged.error, "");
    // The sector named is the first the hunk holds, in the disc's numbering: it fails alone, the
    // one before it reads.
    const auto named = static_cast<uint32_t>(std::stoul(damaged.read_error.substr(std::string("cannot read sector ").size())));
    EXPECT_GT(named, 448u);  // past the scan's first run of sectors
    uint32_t disc = 0;
    ASSERT_EQ(DwOpenImage(dir.file("hunk.chd").c_str(), DW_IO_DEFAULT, &disc, nullptr, 0), DW_OK);
    const auto reads = [disc](uint32_t lba) {
        DwScan* scan = DwScanOpen(disc, lba, 1);
        const uint8_t* run = nullptr;
        const bool read = DwScanNext(scan, &run) == 1;
        DwScanClose(scan);
        return read;
    };
    EXPECT_FALSE(reads(named));
    EXPECT_TRUE(reads(named - 1));
    DwClose(disc);
    EXPECT_NE(damaged.read_error.find("hunk " + std::to_string(victim)), std::string::npos) << damaged.read_error;

    // A codec that claims more compressed sectors than its hunk holds.
    auto claims = good;
    claims[static_cast<size_t>(map[victim].offset + 1)] = 0xFF;  // after the one-byte bitmap: the sectors' compressed size
    claims[static_cast<size_t>(map[victim].offset + 2)] = 0xF0;
    write_bytes(dir.file("claims.chd"), claims);
    EXPECT_NE(open_and_read(dir.file("claims.chd")).read_error.find("claims more data than the hunk holds"), std::string::npos);

    // A map that gives a hunk more stored bytes than a hunk has.
    auto long_map = map;
    long_map[victim].length = 19584 + 100;
    for (auto& h : long_map) {
        if (h.type > discwell::chd::kUncompressed) h.length = 0;
    }
    const auto encoded = discwell::chd::encode_map(long_map, map[0].offset);
    auto oversize = std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(map_at));
    oversize.insert(oversize.end(), encoded.begin(), encoded.end());
    write_bytes(dir.file("oversize.chd"), oversize);
    const Opened o = open_and_read(dir.file("oversize.chd"));
    EXPECT_NE(o.error + o.read_error, "");
    EXPECT_TRUE(o.error.empty() ? o.read_error.find("exceeds the hunk") != std::string::npos : true) << o.read_error;
}

// An uncompressed CHD's hunks carry no checksum: a pass over the whole image checks the SHA-1 its
// header gives (chdman leaves it zero there; the builder writes it), and a disc that claims more
// sectors than a CD can address is refused at once, whatever the file holds.
TEST(ImageFormats, WholeImageChecksAndTheLargestDisc) {
    TempDir dir("chd-none");
    ASSERT_TRUE(write_as("chd-none", dir.file("good.chd")));
    const auto good = read_bytes(dir.file("good.chd"));
    EXPECT_EQ(open_and_read(dir.file("good.chd")).read_error, "");
    auto flipped = good;
    flipped[flipped.size() / 2] ^= 0x04;  // in a frame of the data
    write_bytes(dir.file("flipped.chd"), flipped);
    const Opened o = open_and_read(dir.file("flipped.chd"));
    EXPECT_NE(o.read_error.find("does not match the SHA-1 its header gives"), std::string::npos) << o.read_error;
    auto unsummed = flipped;  // as chdman writes it: no sum, nothing to check against
    std::fill(unsummed.begin() + 64, unsummed.begin() + 104, uint8_t{0});
    write_bytes(dir.file("unsummed.chd"), unsummed);
    EXPECT_EQ(open_and_read(dir.file("unsummed.chd")).read_error, "");

    // A sparse BIN one sector past 99:59:74.
    {
        std::ofstream bin(dir.file("huge.bin"), std::ios::binary);
        bin.seekp(std::streamoff{449851} * kSector - 1);
        bin.put('\0');
    }
    std::ofstream(dir.file("huge.cue")) << "FILE \"huge.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n";
    EXPECT_NE(open_and_read(dir.file("huge.cue")).error.find("more than a CD can hold"), std::string::npos);
}

TEST(ImageFormats, ChdOfACodecThisBuildLacks) {
    TempDir dir("lacking");
    if (!write_as("chd-deflate", dir.file("disc.chd"))) GTEST_SKIP() << "no Deflate in this build";
    auto bytes = read_bytes(dir.file("disc.chd"));
    std::memcpy(&bytes[16], "cdzs", 4);  // Deflate data said to be Zstandard
    write_bytes(dir.file("zstd.chd"), bytes);
    const Opened o = open_and_read(dir.file("zstd.chd"));
#if QUORVEX_HAVE_ZSTD
    EXPECT_EQ(o.error, "");
    EXPECT_NE(o.read_error.find("Zstandard"), std::string::npos) << o.read_error;
#else
    EXPECT_NE(o.error.find("cdzs (Zstandard) hunks, which this build of quorvex cannot decode"), std::string::npos) << o.error;
#endif
}

TEST(ImageFormats, DamagedEcmFailsCleanly) {
    TempDir dir("bad-ecm");
    ASSERT_TRUE(write_as("ecm", dir.file("good.ecm")));
    const auto good = read_bytes(dir.file("good.ecm"));
    for (size_t cut : {size_t{3}, size_t{6}, good.size() / 2, good.size() - 5}) {
        write_bytes(dir.file("cut.ecm"), std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)));
        EXPECT_NE(open_and_read(dir.file("cut.ecm")).error, "") << cut;
    }
    // The first block (sixteen raw bytes) made to claim a billion sectors.
    auto claims = good;
    const uint8_t huge[] = {0x80 | 0x7C | 0, 0xFF, 0xFF, 0x7F};
    claims.erase(claims.begin() + 4);
    claims.insert(claims.begin() + 4, std::begin(huge), std::end(huge));
    write_bytes(dir.file("claims.ecm"), claims);
    EXPECT_NE(open_and_read(dir.file("claims.ecm")).error.find("claims more data than the file holds"), std::string::npos);
}

TEST(ImageFormats, DamagedPbpAndCloneCdFailCleanly) {
    TempDir dir("bad-pbp");
    if (write_as("pbp", dir.file("good.pbp"))) {
        const auto good = read_bytes(dir.file("good.pbp"));
        const size_t psar = good[0x24] | good[0x25] << 8 | good[0x26] << 16;
        auto past = good;
        past[psar + 0x4000 + 32 * 3 + 3] = 0x7F;  // the fourth block far past the end
        write_bytes(dir.file("past.pbp"), past);
        EXPECT_NE(open_and_read(dir.file("past.pbp")).error.find("block 3"), std::string::npos);
        auto corrupt = good;
        const size_t block0 = psar + 0x100000;
        for (size_t i = 0; i < 64; ++i) corrupt[block0 + 10 + i] ^= 0xA5;
        write_bytes(dir.file("corrupt.pbp"), corrupt);
        const Opened o = open_and_read(dir.file("corrupt.pbp"));
        EXPECT_NE(o.read_error.find("cannot read sector 0"), std::string::npos) << o.error << o.read_error;
        write_bytes(dir.file("cut.pbp"), std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(psar + 0x900)));
        EXPECT_NE(open_and_read(dir.file("cut.pbp")).error, "");
    }

    ASSERT_TRUE(write_as("clonecd", dir.file("set.ccd")));
    std::remove(dir.file("set.img").c_str());
    const std::string missing = open_and_read(dir.file("set.ccd")).error;
    EXPECT_NE(missing.find("set.img"), std::string::npos) << missing;
    write_text(dir.file("short.ccd"), "[CloneCD]\nVersion=3\n[Entry 0]\nPoint=0x01\nControl=0x04\nPLBA=5000\n");
    write_bytes(dir.file("short.img"), std::vector<uint8_t>(kSector * 10, 0));
    EXPECT_NE(open_and_read(dir.file("short.ccd")).error.find("outside"), std::string::npos);
}

// One bit flipped anywhere in an ECM file, or in a PBP block of the data track, either fails the
// open or the read that meets it, or leaves every sector as it was: a damaged image never reads
// as another good one. The one exception is the user data of an ECM Form 2 sector: its EDC is
// rebuilt after it, and a block followed by its own EDC adds the same to the file's checksum
// whatever it holds, so nothing in the file can tell.
TEST(ImageFormats, AFlippedBitInEcmOrPbpIsNeverReadAsGood) {
    TempDir dir("flipped");
    const auto form2_data_only = [](const std::vector<uint8_t>& got) {
        const auto& want = test_disc().sectors;
        for (size_t i = 0; i < want.size(); ++i) {
            if (got[i] == want[i]) continue;
            const uint8_t* sector = &want[i - i % kSector];
            if (sector[15] != 2 || !(sector[18] & 0x20) || i % kSector < 24) return false;  // its data and EDC
        }
        return true;
    };
    const auto expect_caught = [&](const std::string& name, const std::vector<uint8_t>& bytes, size_t at) {
        auto flipped = bytes;
        flipped[at] ^= static_cast<uint8_t>(1u << (at % 8));
        write_bytes(dir.file(name), flipped);
        const Opened o = open_and_read(dir.file(name));
        if (o.error.empty() && o.read_error.empty()) {
            const auto& want = test_disc().sectors;
            size_t differs = 0;
            while (differs < want.size() && differs < o.sectors.size() && want[differs] == o.sectors[differs]) ++differs;
            EXPECT_TRUE(o.sectors == want || (name == "flipped.ecm" && form2_data_only(o.sectors))) << name << ": the bit at byte " << at << " read as good; sector "
                                           << differs / kSector << " differs at byte " << differs % kSector;
        }
    };
    ASSERT_TRUE(write_as("ecm", dir.file("good.ecm")));
    const auto ecm = read_bytes(dir.file("good.ecm"));
    for (size_t k = 0; k < 24; ++k) expect_caught("flipped.ecm", ecm, 4 + (ecm.size() - 5) * k / 23);

    if (!write_as("pbp", dir.file("good.pbp"))) return;
    const auto pbp = read_bytes(dir.file("good.pbp"));
    const size_t psar = pbp[0x24] | pbp[0x25] << 8 | pbp[0x26] << 16;
    const uint32_t data_blocks = test_disc().disc.tracks[0].sectors / 16;
    for (uint32_t b = 0; b < data_blocks; b += std::max(1u, data_blocks / 12)) {
        const size_t entry = psar + 0x4000 + size_t{b} * 32;
        const size_t offset = psar + 0x100000 + (pbp[entry] | pbp[entry + 1] << 8 | pbp[entry + 2] << 16);
        const size_t size = pbp[entry + 4] | pbp[entry + 5] << 8;
        for (size_t at : {offset, offset + size / 3, offset + size - 1}) expect_caught("flipped.pbp", pbp, at);
    }
}

TEST(ImageFormats, CompressedImagesReadOnManyThreadsAtOnce) {
    TempDir dir("threads");
    const char* format = write_as("chd-zstd", dir.file("disc.chd")) ? "disc.chd" : "disc.ecm";
    if (std::string(format) == "disc.ecm") {
        ASSERT_TRUE(write_as("ecm", dir.file(format)));
    }
    uint32_t disc = 0;
    char error[256];
    ASSERT_EQ(DwOpenImage(dir.file(format).c_str(), DW_IO_DEFAULT, &disc, error, sizeof error), DW_OK) << error;
    const auto& expected = test_disc().sectors;
    const uint32_t count = DwSectorCount(disc);
    std::vector<std::thread> readers;
    std::vector<int> mismatches(6, 0);
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&, t] {
            // Each thread reads its own stretch, sector by sector, as a plug-in does.
            const uint32_t first = static_cast<uint32_t>(t) * count / 7;
            SectorReader* reader = CdReadOpen(disc, 0, first, count / 3, -1);
            for (uint32_t i = 0; uint8_t* s = CdReadSector(reader, 0); ++i) {
                if (std::memcmp(s, &expected[(first + i) * kSector], kSector) != 0) mismatches[static_cast<size_t>(t)]++;
                CdUnlockReadBuffer(reader, s);
            }
            CdReadClose(reader);
        });
    }
    for (auto& r : readers) r.join();
    DwClose(disc);
    for (int m : mismatches) EXPECT_EQ(m, 0);
}
