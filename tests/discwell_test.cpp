// The sector library: reading ranges, held buffers, seeks, image files and CUE sheets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "contract/raw_sector.h"
#include "discbuilder/disc_image.h"
#include "discwell/discwell.h"
#include "support/test_disc.h"

using namespace testing_support;

namespace {

// A disc whose sector n carries n in its first user-data word.
discbuilder::DiscImage numbered_disc(uint32_t sectors) {
    discbuilder::DiscImage image;
    for (uint32_t lba = 0; lba < sectors; ++lba) {
        uint8_t data[8];
        psr::store_le32(data, lba);
        psr::store_le32(data + 4, ~lba);
        image.put(lba, {1, 0, 0x08, 0}, data);
    }
    return image;
}

uint32_t number_of(const uint8_t* sector) { return psr::load_le32(sector + psr::kUserDataOffset); }

std::string open_error(const std::string& path) {
    uint32_t disc = 0;
    char error[512] = {};
    EXPECT_NE(DwOpenImage(path.c_str(), DW_IO_DEFAULT, &disc, error, sizeof error), DW_OK);
    return error;
}

}  // namespace

TEST(SectorReader, DeliversTheRangeInAscendingOrder) {
    auto image = numbered_disc(100);
    MemoryDisc disc(image);
    SectorReader* reader = CdReadOpen(disc.handle(), 0, 40, 10, -1);
    ASSERT_NE(reader, nullptr);
    for (uint32_t i = 0; i < 10; ++i) {
        uint8_t* sector = CdReadSector(reader, 0);
        ASSERT_NE(sector, nullptr);
        EXPECT_EQ(number_of(sector), 40 + i);
        CdUnlockReadBuffer(reader, sector);
    }
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);  // exhausted
    CdReadClose(reader);
    EXPECT_EQ(disc.stats().readers_open, 0u);
}

TEST(SectorReader, HeldBuffersStayValidAndWritable) {
    auto image = numbered_disc(64);
    MemoryDisc disc(image);
    SectorReader* reader = CdReadOpen(disc.handle(), 0, 0, 64, 8);
    std::vector<uint8_t*> held;
    for (uint32_t i = 0; i < 12; ++i) held.push_back(CdReadSector(reader, 0));
    for (uint32_t i = 0; i < 12; ++i) {
        ASSERT_NE(held[i], nullptr);
        EXPECT_EQ(number_of(held[i]), i);
    }
    EXPECT_EQ(disc.stats().buffers_locked, 12u);
    // The holder may clear a buffer in place; the disc itself does not change.
    std::memset(held[3] + psr::kUserDataOffset, 0, 2304);
    EXPECT_EQ(CdUnlockReadBuffer(reader, held[3]), 1);
    EXPECT_EQ(CdUnlockReadBuffer(reader, held[3]), 0);  // not held any more
    ASSERT_EQ(CdSetReadPointer(reader, 3, 0), 0);
    uint8_t* again = CdReadSector(reader, 0);
    EXPECT_EQ(number_of(again), 3u);
    // Closing releases what is still held.
    CdReadClose(reader);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
    EXPECT_GE(disc.stats().max_buffers_held, 12u);
}

TEST(SectorReader, SeeksWithinTheRangeAndToItsEnd) {
    auto image = numbered_disc(50);
    MemoryDisc disc(image);
    SectorReader* reader = CdReadOpen(disc.handle(), 0, 10, 20, -1);
    EXPECT_EQ(CdSetReadPointer(reader, 15, 0), 0);
    uint8_t* s = CdReadSector(reader, 0);
    EXPECT_EQ(number_of(s), 25u);
    CdUnlockReadBuffer(reader, s);
    EXPECT_EQ(CdSetReadPointer(reader, 20, 0), 0);  // the count itself: exhausted
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);
    EXPECT_EQ(CdSetReadPointer(reader, 21, 0), -1);  // past the range
    EXPECT_EQ(CdSetReadPointer(reader, 0, 0), 0);
    s = CdReadSector(reader, 0);
    EXPECT_EQ(number_of(s), 10u);
    CdReadClose(reader);
}

TEST(SectorReader, RangesOffTheDiscAndUnknownDiscs) {
    auto image = numbered_disc(20);
    MemoryDisc disc(image);
    EXPECT_EQ(CdReadOpen(0, 0, 0, 1, -1), nullptr);
    EXPECT_EQ(CdReadOpen(disc.handle() + 100, 0, 0, 1, -1), nullptr);
    SectorReader* reader = CdReadOpen(disc.handle(), 0, 18, 5, -1);
    ASSERT_NE(reader, nullptr);
    EXPECT_NE(CdReadSector(reader, 0), nullptr);
    EXPECT_NE(CdReadSector(reader, 0), nullptr);
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);  // sector 20 is not on the disc
    CdReadClose(reader);
    reader = CdReadOpen(disc.handle(), 0, 0xFFFFFFFE, 5, -1);  // a range that wraps
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);
    CdReadClose(reader);
    EXPECT_EQ(CdReadSector(nullptr, 0), nullptr);
    EXPECT_EQ(CdSetReadPointer(nullptr, 0, 0), -1);
    EXPECT_EQ(CdReadClose(nullptr), 0);
}

TEST(SectorReader, InjectedFaults) {
    auto image = numbered_disc(20);
    MemoryDisc disc(image);
    disc.fail({0, -1, 1, -1});
    EXPECT_EQ(CdReadOpen(disc.handle(), 0, 0, 20, -1), nullptr);
    SectorReader* reader = CdReadOpen(disc.handle(), 0, 0, 20, -1);  // only one open fails
    ASSERT_NE(reader, nullptr);
    disc.fail({-1, 2, 3, 0});
    EXPECT_EQ(CdSetReadPointer(reader, 0, 0), -1);
    EXPECT_EQ(number_of(CdReadSector(reader, 0)), 0u);
    EXPECT_EQ(number_of(CdReadSector(reader, 0)), 1u);
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);  // three failures in a row
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);
    EXPECT_EQ(number_of(CdReadSector(reader, 0)), 2u);  // then the read goes on where it was
    CdReadClose(reader);
}

TEST(ImageFiles, BareImageReadsLikeMemory) {
    TempDir dir("bare");
    auto image = numbered_disc(30);
    std::string error;
    ASSERT_TRUE(image.write(dir.file("disc.bin"), error)) << error;
    for (int32_t io : {DW_IO_MMAP, DW_IO_READ}) {
        uint32_t disc = 0;
        char message[256];
        ASSERT_EQ(DwOpenImage(dir.file("disc.bin").c_str(), io, &disc, message, sizeof message), DW_OK) << message;
        EXPECT_EQ(DwSectorCount(disc), 30u);
        ASSERT_EQ(DwTrackCount(disc), 1);
        DwTrack track{};
        ASSERT_EQ(DwGetTrack(disc, 0, &track), 1);
        EXPECT_EQ(track.control, 0x04);
        EXPECT_EQ(track.sector_count, 30u);
        SectorReader* reader = CdReadOpen(disc, 0, 0, 30, -1);
        for (uint32_t i = 0; i < 30; ++i) {
            uint8_t* s = CdReadSector(reader, 0);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(number_of(s), i);
            CdUnlockReadBuffer(reader, s);
        }
        CdReadClose(reader);
        // The scan reads the same sectors in runs.
        DwScan* scan = DwScanOpen(disc, 5, 25);
        const uint8_t* run = nullptr;
        uint32_t next = 5, n;
        while ((n = DwScanNext(scan, &run)) > 0) {
            for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(number_of(run + i * 2352), next + i);
            next += n;
        }
        EXPECT_EQ(next, 30u);
        EXPECT_EQ(DwScanError(scan), nullptr);
        DwScanClose(scan);
        DwClose(disc);
    }
}

TEST(ImageFiles, BadImagesAreNamedWithTheirProblem) {
    TempDir dir("bad-images");
    EXPECT_NE(open_error(dir.file("missing.bin")).find("missing.bin: cannot open"), std::string::npos);
    write_bytes(dir.file("empty.bin"), {});
    EXPECT_NE(open_error(dir.file("empty.bin")).find("empty"), std::string::npos);
    write_bytes(dir.file("odd.bin"), std::vector<uint8_t>(2352 * 3 + 100));
    EXPECT_NE(open_error(dir.file("odd.bin")).find("not a multiple of 2352"), std::string::npos);
    // A cooked image of 2048-byte sectors with its ISO9660 descriptor.
    std::vector<uint8_t> cooked(2048 * 20);
    std::memcpy(&cooked[16 * 2048 + 1], "CD001", 5);
    write_bytes(dir.file("game.iso"), cooked);
    EXPECT_NE(open_error(dir.file("game.iso")).find("need the raw 2352-byte sectors"), std::string::npos);
    EXPECT_NE(open_error(dir.path()).find("cannot open"), std::string::npos);  // a folder
}

namespace {

// Writes track files and a sheet; returns the sheet's path.
std::string write_sheet(const TempDir& dir, const std::string& sheet) {
    write_text(dir.file("disc.cue"), sheet);
    return dir.file("disc.cue");
}

}  // namespace

TEST(CueSheets, SeveralTracksFilesAndPregaps) {
    TempDir dir("cue-layout");
    auto data = numbered_disc(40);
    std::string error;
    ASSERT_TRUE(data.write(dir.file("data.bin"), error));
    write_bytes(dir.file("audio.bin"), std::vector<uint8_t>(2352 * 30, 0x55));
    const std::string sheet = write_sheet(dir,
                                          "REM a comment\r\n"
                                          "FILE \"data.bin\" BINARY\r\n"
                                          "  TRACK 01 MODE2/2352\r\n"
                                          "    INDEX 01 00:00:00\r\n"
                                          "FILE \"audio.bin\" BINARY\r\n"
                                          "  TRACK 02 AUDIO\r\n"
                                          "    PREGAP 00:00:05\r\n"
                                          "    INDEX 01 00:00:00\r\n"
                                          "  TRACK 03 AUDIO\r\n"
                                          "    INDEX 00 00:00:10\r\n"
                                          "    INDEX 01 00:00:12\r\n");
    uint32_t disc = 0;
    char message[512];
    ASSERT_EQ(DwOpenImage(sheet.c_str(), DW_IO_DEFAULT, &disc, message, sizeof message), DW_OK) << message;
    ASSERT_EQ(DwTrackCount(disc), 3);
    DwTrack t[3];
    for (int i = 0; i < 3; ++i) DwGetTrack(disc, i, &t[i]);
    EXPECT_EQ(t[0].first_lba, 0u);
    EXPECT_EQ(t[0].sector_count, 40u);  // up to the next track's pregap
    EXPECT_EQ(t[0].control, 0x04);
    EXPECT_EQ(t[1].first_lba, 45u);     // after 5 pregap sectors that the file does not hold
    EXPECT_EQ(t[1].sector_count, 10u);
    EXPECT_EQ(t[1].control, 0x00);
    EXPECT_EQ(t[2].first_lba, 57u);
    EXPECT_EQ(t[2].sector_count, 18u);
    EXPECT_EQ(DwSectorCount(disc), 75u);
    SectorReader* reader = CdReadOpen(disc, 0, 39, 7, -1);
    EXPECT_EQ(number_of(CdReadSector(reader, 0)), 39u);
    const uint8_t* silence = CdReadSector(reader, 0);
    ASSERT_NE(silence, nullptr);
    EXPECT_EQ(silence[100], 0);
    for (int i = 0; i < 4; ++i) CdReadSector(reader, 0);
    const uint8_t* audio = CdReadSector(reader, 0);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio[100], 0x55);
    CdReadClose(reader);
    DwClose(disc);
}

TEST(CueSheets, ErrorsNameTheSheetAndTheLine) {
    TempDir dir("cue-errors");
    auto data = numbered_disc(4);
    std::string error;
    ASSERT_TRUE(data.write(dir.file("data.bin"), error));
    struct Case {
        const char* sheet;
        const char* expected;
    } cases[] = {
        {"FILE \"data.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:0x:00\n", "line 3: bad time"},
        {"FILE \"data.bin\" BINARY\n  TRACK 01 MODE2/2352\n  BOGUS 1\n", "line 3: unknown command BOGUS"},
        {"  TRACK 01 MODE2/2352\n", "line 1: TRACK before any FILE"},
        {"FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n",
         "line 2: track mode MODE1/2048 is not supported: raw 2352-byte sectors are needed"},
        {"FILE \"data.bin\" BINARY\n  TRACK 01 MODE2/2352\n", "line 2: track 1 has no INDEX 01"},
        {"FILE \"gone.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n", "line 1: cannot open \"gone.bin\""},
        {"FILE \"data.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:10\n", "lies beyond the end"},
        {"FILE \"data.bin BINARY\n", "line 1: unterminated quoted string"},
        {"FILE \"data.bin\" WAVE\n", "line 1: file type WAVE is not supported"},
        // A backslash name that is absolute on Windows, and found nowhere here.
        {"FILE \"\\.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n", "line 1: cannot open \"\\.bin\""},
    };
    for (const Case& c : cases) {
        const std::string sheet = write_sheet(dir, c.sheet);
        const std::string message = open_error(sheet);
        EXPECT_NE(message.find("disc.cue"), std::string::npos) << message;
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    }
    // A track file that is not whole raw sectors.
    write_bytes(dir.file("short.bin"), std::vector<uint8_t>(2352 + 7));
    const std::string sheet = write_sheet(dir, "FILE \"short.bin\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n");
    EXPECT_NE(open_error(sheet).find("short.bin is not a disc image: its size, 2359 bytes, is not a multiple of 2352"), std::string::npos);
}

TEST(CueSheets, TextAsWindowsAndOldMacsSaveIt) {
    TempDir dir("cue-text");
    auto data = numbered_disc(4);
    std::string error;
    ASSERT_TRUE(data.write(dir.file("data.bin"), error));
    const std::string sheet = "FILE \"data.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    for (bool big_endian : {false, true}) {
        std::vector<uint8_t> utf16 = big_endian ? std::vector<uint8_t>{} : std::vector<uint8_t>{0xFF, 0xFE};
        for (char c : sheet) {
            utf16.push_back(big_endian ? 0 : static_cast<uint8_t>(c));
            utf16.push_back(big_endian ? static_cast<uint8_t>(c) : 0);
        }
        write_bytes(dir.file("wide.cue"), utf16);
        uint32_t disc = 0;
        char message[256];
        ASSERT_EQ(DwOpenImage(dir.file("wide.cue").c_str(), DW_IO_DEFAULT, &disc, message, sizeof message), DW_OK) << message;
        EXPECT_EQ(DwSectorCount(disc), 4u);
        DwClose(disc);
    }
    std::string old_mac = sheet;
    old_mac.erase(std::remove(old_mac.begin(), old_mac.end(), '\n'), old_mac.end());
    write_text(dir.file("mac.cue"), old_mac);
    uint32_t disc = 0;
    char message[256];
    ASSERT_EQ(DwOpenImage(dir.file("mac.cue").c_str(), DW_IO_DEFAULT, &disc, message, sizeof message), DW_OK) << message;
    DwClose(disc);
}

TEST(ReadFailures, AreKeptForTheHostUntilARetryGetsPast) {
    auto image = numbered_disc(20);
    MemoryDisc disc(image);
    SectorReader* reader = CdReadOpen(disc.handle(), 0, 0, 20, -1);
    disc.fail({-1, 3, 1, -1});
    for (int i = 0; i < 3; ++i) CdUnlockReadBuffer(reader, CdReadSector(reader, 0));
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);
    uint32_t lba = 0;
    char cause[128];
    // A retry that gets the sector clears the failure.
    uint8_t* again = CdReadSector(reader, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(number_of(again), 3u);
    CdUnlockReadBuffer(reader, again);
    EXPECT_EQ(DwTakeReadError(disc.handle(), &lba, cause, sizeof cause), 0);
    // One that is given up on stays, named by its sector, until the host takes it.
    disc.fail({-1, 0, 1, -1});
    EXPECT_EQ(CdReadSector(reader, 0), nullptr);
    ASSERT_EQ(DwTakeReadError(disc.handle(), &lba, cause, sizeof cause), 1);
    EXPECT_EQ(lba, 4u);
    EXPECT_STREQ(cause, "injected read fault");
    EXPECT_EQ(DwTakeReadError(disc.handle(), &lba, cause, sizeof cause), 0);
    // The end of a range past the disc's end is no failure.
    CdReadClose(reader);
    reader = CdReadOpen(disc.handle(), 0, 18, 10, -1);
    while (uint8_t* s = CdReadSector(reader, 0)) CdUnlockReadBuffer(reader, s);
    EXPECT_EQ(DwTakeReadError(disc.handle(), &lba, cause, sizeof cause), 0);
    CdReadClose(reader);
}
