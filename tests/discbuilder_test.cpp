// The disc builder writes what a drive would read: checked against the CD-ROM standard's own
// definitions (a bitwise CRC and the Reed-Solomon parity checks), not against the builder's tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "contract/raw_sector.h"
#include "discbuilder/disc_image.h"
#include "discbuilder/iso9660.h"
#include "codecs/cd_codes.h"
#include "codecs/mdec_decoder.h"
#include "codecs/mdec_encoder.h"
#include "discbuilder/test_pictures.h"
#include "discbuilder/movie_pacing.h"
#include "discbuilder/sample_discs.h"
#include "discbuilder/test_signal.h"
#include "codecs/xa_adpcm.h"
#include "host/checksum.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace discbuilder;

namespace {

uint32_t bitwise_edc(const uint8_t* p, size_t n) {
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
    }
    return crc;
}

uint8_t gf_mul(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b) {
        if (b & 1) product ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
        b >>= 1;
    }
    return product;
}

// Both syndromes of a Reed-Solomon codeword with generator (x + 1)(x + alpha) vanish.
bool codeword_ok(const std::vector<uint8_t>& v) {
    uint8_t s0 = 0, s1 = 0;
    for (uint8_t byte : v) {
        s0 ^= byte;
        s1 = static_cast<uint8_t>(gf_mul(s1, 2) ^ byte);
    }
    return s0 == 0 && s1 == 0;
}

// Checks the P and Q parity of a Mode 2 Form 1 sector, with its address taken as zero.
bool parity_ok(const uint8_t* sector) {
    std::vector<uint8_t> s(sector, sector + 2352);
    std::memset(&s[12], 0, 4);
    const uint8_t* base = &s[12];
    for (uint32_t major = 0; major < 86; ++major) {
        std::vector<uint8_t> v;
        for (uint32_t minor = 0; minor < 24; ++minor) v.push_back(base[(major >> 1) * 2 + (major & 1) + 86 * minor]);
        v.push_back(s[2076 + major]);
        v.push_back(s[2076 + 86 + major]);
        if (!codeword_ok(v)) return false;
    }
    for (uint32_t major = 0; major < 52; ++major) {
        std::vector<uint8_t> v;
        uint32_t index = (major >> 1) * 86 + (major & 1);
        for (uint32_t minor = 0; minor < 43; ++minor) {
            v.push_back(base[index]);
            index = (index + 88) % 2236;
        }
        v.push_back(s[2248 + major]);
        v.push_back(s[2248 + 52 + major]);
        if (!codeword_ok(v)) return false;
    }
    return true;
}

}  // namespace

TEST(SectorCodec, Form1SectorsCarryValidEdcAndParity) {
    DiscImage disc;
    ByteStream bytes(42);
    std::vector<uint8_t> data(2048);
    for (uint8_t& b : data) b = bytes.next();
    disc.put(1234, {1, 2, 0x48, 0}, data);
    const uint8_t* s = disc.raw(1234);
    const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(std::memcmp(s, sync, 12), 0);
    // LBA 1234 is 1384 frames from the start: 00:18:34 in BCD.
    EXPECT_EQ(s[12], 0x00);
    EXPECT_EQ(s[13], 0x18);
    EXPECT_EQ(s[14], 0x34);
    EXPECT_EQ(s[15], 2);
    EXPECT_EQ(std::memcmp(s + 16, s + 20, 4), 0);
    EXPECT_EQ(s[18], 0x48);
    EXPECT_EQ(std::memcmp(s + 24, data.data(), 2048), 0);
    EXPECT_EQ(psr::load_le32(s + 2072), bitwise_edc(s + 16, 2056));
    EXPECT_TRUE(parity_ok(s));
    disc.raw(1234)[500] ^= 1;  // a damaged sector fails the check
    EXPECT_FALSE(parity_ok(s));
}

TEST(SectorCodec, Form2SectorsCarryTheirEdc) {
    DiscImage disc;
    std::vector<uint8_t> data(2324, 0x3C);
    disc.put(7, {1, 3, 0x64, 0x01}, data);
    const uint8_t* s = disc.raw(7);
    EXPECT_EQ(s[13], 0x02);  // 00:02:07
    EXPECT_EQ(s[14], 0x07);
    EXPECT_EQ(s[17], 3);
    EXPECT_EQ(s[19], 0x01);
    EXPECT_EQ(psr::load_le32(s + 2348), bitwise_edc(s + 16, 2332));
}

// A sector whose contents are rewritten gets its codes anew, as its mode and form have them; a
// Form 2 sector written without an EDC keeps none.
TEST(SectorCodec, RewrittenSectorsAreSealedAgain) {
    DiscImage disc;
    disc.put(20, {1, 2, 0x48, 0}, std::vector<uint8_t>(2048, 0x11));
    disc.put(21, {1, 3, 0x64, 0x01}, std::vector<uint8_t>(2324, 0x22));
    disc.put(22, {1, 3, 0x64, 0x01}, std::vector<uint8_t>(2324, 0x33));
    std::memset(disc.raw(22) + 2348, 0, 4);
    for (const uint32_t lba : {20u, 21u, 22u}) {
        uint8_t* s = disc.raw(lba);
        s[100] ^= 0x5A;
        if (lba != 22) {  // 22 has no EDC to fail
            EXPECT_FALSE(codecs::sector_codes_match(s)) << lba;
        }
        EXPECT_TRUE(codecs::reseal_sector(s)) << lba;
        EXPECT_TRUE(codecs::sector_codes_match(s)) << lba;
    }
    EXPECT_TRUE(parity_ok(disc.raw(20)));
    EXPECT_EQ(psr::load_le32(disc.raw(22) + 2348), 0u);
    // Sectors without a sync pattern carry no codes: left alone, and said so.
    std::vector<uint8_t> audio(2352, 0x77);
    EXPECT_FALSE(codecs::reseal_sector(audio.data()));
    EXPECT_EQ(audio, std::vector<uint8_t>(2352, 0x77));
}

TEST(SectorCodec, UnwrittenSectorsBecomeEmptyDataSectors) {
    DiscImage disc(3);
    const auto bytes = disc.bytes();
    ASSERT_EQ(bytes.size(), 3u * 2352);
    EXPECT_TRUE(parity_ok(bytes.data() + 2352));
}

TEST(Iso9660, VolumeDescriptorAndRootDirectory) {
    DiscImage disc;
    write_iso_volume(disc, "MABOROSITUKIYO", {{"BGM.MRG", 40, 4096}, {"BGM.HED", 30, 2400}});
    const uint8_t* pvd = disc.raw(16) + 24;
    EXPECT_EQ(pvd[0], 1);
    EXPECT_EQ(std::memcmp(pvd + 1, "CD001", 5), 0);
    EXPECT_EQ(std::memcmp(pvd + 40, "MABOROSITUKIYO                  ", 32), 0);
    const uint32_t root = psr::load_le32(pvd + 156 + 2);
    EXPECT_EQ(root, kIsoRootLba);
    EXPECT_EQ(psr::load_le32(pvd + 156 + 10), 2048u);
    const uint8_t* dir = disc.raw(root) + 24;
    // ".", "..", then the files in name order with their version suffix.
    size_t at = dir[0];
    at += dir[at];
    EXPECT_EQ(dir[at + 32], 9);
    EXPECT_EQ(std::memcmp(dir + at + 33, "BGM.HED;1", 9), 0);
    EXPECT_EQ(psr::load_le32(dir + at + 2), 30u);
    EXPECT_EQ(psr::load_le32(dir + at + 10), 2400u);
    at += dir[at];
    EXPECT_EQ(std::memcmp(dir + at + 33, "BGM.MRG;1", 9), 0);
    EXPECT_EQ(psr::load_le32(dir + at + 2), 40u);
}

TEST(Iso9660, ManyFilesSpillIntoFurtherDirectorySectors) {
    std::vector<IsoFile> files;
    for (int i = 0; i < 80; ++i) files.push_back({"FILE" + std::to_string(100 + i) + ".DAT", uint32_t(100 + i), 10});
    EXPECT_EQ(iso_root_sectors(files), 2u);
    DiscImage disc;
    write_iso_volume(disc, "MANY", files);
    EXPECT_EQ(psr::load_le32(disc.raw(16) + 24 + 156 + 10), 4096u);
}

TEST(XaAdpcm, EncodedToneDecodesClose) {
    for (bool stereo : {true, false}) {
        Tone tone(37800, 440, 660);
        codecs::XaAdpcmEncoder encoder(stereo);
        codecs::XaHistory history[2];
        const int channels = stereo ? 2 : 1;
        double signal = 0, noise = 0;
        for (int sector = 0; sector < 4; ++sector) {
            const auto pcm = tone.next(codecs::kXaSamplesPerSector / channels, channels);
            uint8_t encoded[codecs::kXaSectorAudioBytes];
            encoder.encode_sector(pcm.data(), encoded);
            // The sound parameters are written twice in each group, as the format requires.
            EXPECT_EQ(std::memcmp(encoded, encoded + 4, 4), 0);
            std::vector<int16_t> decoded(codecs::kXaSamplesPerSector);
            codecs::decode_xa_sector(encoded, stereo, history, decoded.data());
            for (size_t i = 0; i < pcm.size(); ++i) {
                signal += double(pcm[i]) * pcm[i];
                noise += double(pcm[i] - decoded[i]) * (pcm[i] - decoded[i]);
            }
        }
        EXPECT_GT(10 * std::log10(signal / noise), 30.0) << (stereo ? "stereo" : "mono");
    }
}

// A picture fitted to its room: never larger than the room, its header as the frame's, and on
// average better than the scale search alone (finer scales with their costliest levels lowered).
TEST(MdecFit, FinerScalesWithLevelsLoweredBeatTheScaleSearchAlone) {
    double fitted = 0, scale_only = 0;
    for (const uint16_t version : {uint16_t{2}, uint16_t{3}}) {
        for (const uint32_t room : {3000u, 6000u, 11000u, 17577u}) {
            for (const uint32_t frame : {0u, 9u}) {
                const codecs::Picture picture = discbuilder::test_picture(320, 240, frame);
                codecs::FitReport report;
                const auto bytes = codecs::encode_mdec_fitted(picture, version, room, &report);
                SCOPED_TRACE(testing::Message() << "v" << version << ", " << room << " bytes, frame " << frame);
                EXPECT_LE(bytes.size(), room);
                EXPECT_EQ(report.bytes, bytes.size());
                EXPECT_EQ(psr::load_le16(&bytes[2]), 0x3800);
                EXPECT_EQ(psr::load_le16(&bytes[4]), report.scale);
                EXPECT_EQ(psr::load_le16(&bytes[6]), version);
                EXPECT_LE(report.scale, report.scale_only);
                EXPECT_LE(report.error, report.scale_only_error);
                // The scale search alone writes what encode_mdec_within writes.
                EXPECT_EQ(codecs::encode_mdec_within(picture, version, room).size() <= room, true);
                // A hint, near or far, only speeds the search.
                for (const int hint : {1, 7, 8, 9, 30, 62, 63}) {
                    EXPECT_EQ(codecs::encode_mdec_fitted(picture, version, room, nullptr, uint16_t(hint)), bytes) << "hint " << hint;
                }
                fitted += report.error;
                scale_only += report.scale_only_error;
            }
        }
    }
    EXPECT_LT(fitted, 0.95 * scale_only);
    std::printf("  lowering levels at finer scales gains %.2f dB over the scale search alone\n",
                10 * std::log10(scale_only / fitted));
    // The least room a frame can take: its DC values and end codes alone (12 bits a block in
    // version 2, 1,800 blocks: 2,700 bytes) and the header. A byte less, and nothing fits.
    const auto picture = discbuilder::test_picture(320, 240, 0);
    EXPECT_TRUE(codecs::encode_mdec_fitted(picture, 2, 2707).empty());
    EXPECT_EQ(codecs::encode_mdec_fitted(picture, 2, 2708).size(), 2708u);
}

// Pictures the console can show come back as it shows them: planes chosen for colours made by the
// console's own conversion, and for the corners of the RGB cube (where it clamps), show them again
// within a level or two per channel.
TEST(ConsolePlanes, PicturesTheConsoleShowsComeBackAsShown) {
    codecs::Picture made{64, 32, std::vector<uint8_t>(64 * 32), std::vector<uint8_t>(32 * 16), std::vector<uint8_t>(32 * 16)};
    uint32_t seed = 1;
    const auto next = [&seed](int low, int span) { return uint8_t(low + int((seed = seed * 1103515245 + 12345) >> 16) % span); };
    for (uint8_t& v : made.y) v = next(64, 128);
    for (size_t i = 0; i < made.cb.size(); ++i) made.cb[i] = next(96, 64), made.cr[i] = next(96, 64);
    std::vector<uint8_t> shown = codecs::console_rgb(made);
    for (size_t p = 0; p < 64 * 8; ++p) {  // the bottom quarter: each 2x2 block one corner of the cube
        const size_t x = p % 64, corner = x / 2 % 8;
        for (size_t c = 0; c < 3; ++c) shown[(24 * 64 + p) * 3 + c] = corner >> c & 1 ? 255 : 0;
    }
    const std::vector<uint8_t> again = codecs::console_rgb(codecs::console_planes(shown, 64, 32));
    int worst = 0;
    for (size_t i = 0; i < shown.size(); ++i) worst = std::max(worst, std::abs(int(shown[i]) - int(again[i])));
    EXPECT_LE(worst, 2);
}

TEST(Pacing, FramesSpanEqualDiscTimeAndSoundPlaysInRealTime) {
    EXPECT_EQ(frame_sectors_at(150), std::vector<uint32_t>{10});
    EXPECT_EQ(frame_sectors_at(300), std::vector<uint32_t>{5});
    EXPECT_EQ(frame_sectors_at(200), (std::vector<uint32_t>{7, 8}));
    // Three movies at 10 fps with 18900 Hz mono sound: each has one sound sector in every 32 disc
    // sectors, and frames of 15 disc sectors.
    std::vector<MovieTiming> movies(3);
    for (uint32_t i = 0; i < 3; ++i) {
        movies[i].frames = i == 0 ? 40 : 20;
        movies[i].frame_sectors = frame_sectors_at(100);
        movies[i].audio_spacing = realtime_audio_spacing(0x04);
        movies[i].audio_phase = 3 + i;
    }
    const Schedule s = schedule_movies(movies);
    EXPECT_EQ(s.length, 600u);
    for (uint32_t i = 0; i < 3; ++i) {
        std::vector<uint32_t> sound;
        uint32_t first_of_frame = 0;
        for (const MovieSlot& slot : s.movies[i]) {
            if (slot.kind == MovieSlot::Kind::kAudio) sound.push_back(slot.position);
            // Every sector lies in its frame's span of disc time.
            EXPECT_GE(slot.position, slot.frame * 15u);
            EXPECT_LT(slot.position, (slot.frame + 1) * 15u);
            if (slot.kind == MovieSlot::Kind::kVideo && slot.frame == 1 && !first_of_frame) first_of_frame = slot.position;
        }
        for (size_t k = 1; k < sound.size(); ++k) EXPECT_EQ(sound[k] - sound[k - 1], 32u) << "movie " << i;
        EXPECT_EQ(sound.size(), movies[i].frames * 15 / 32 + (movies[i].frames * 15 % 32 > 3 + i));
        for (uint32_t chunks : s.chunks[i]) EXPECT_GE(chunks, 4u);
    }
    // The movies that end first leave empty turns until the last one ends.
    EXPECT_FALSE(s.empty_turns.empty());
}

TEST(Pacing, MdecHeadersCountTheirCodesAsGamesDo) {
    // A flat picture codes each block as its DC and an end of block: 2 codes a block, 6 blocks a
    // macroblock. The header's first word is the count halved, rounded up to a multiple of 32.
    codecs::Picture flat;
    flat.width = 64;
    flat.height = 32;
    flat.y.assign(64 * 32, 128);
    flat.cb.assign(32 * 16, 128);
    flat.cr.assign(32 * 16, 128);
    for (uint16_t version : {uint16_t{2}, uint16_t{3}}) {
        const auto frame = codecs::encode_mdec(flat, 4, version);
        EXPECT_EQ(frame[0] | frame[1] << 8, 64) << version;  // 8 macroblocks x 6 blocks x 2 codes = 96; 48; 64
        EXPECT_EQ(frame[2] | frame[3] << 8, 0x3800);
    }
    codecs::Picture wide = flat;
    wide.width = 320;
    wide.y.assign(320 * 32, 128);
    wide.cb.assign(160 * 16, 128);
    wide.cr.assign(160 * 16, 128);
    const auto frame = codecs::encode_mdec(wide, 4, 2);
    EXPECT_EQ(frame[0] | frame[1] << 8, 256);  // 40 x 6 x 2 = 480; 240; 256
}

// The sample discs the build wrote stay exactly as they are, byte for byte, whatever is
// reorganised around the builder: what they hold was checked against independent readers once.
TEST(SampleDiscs, AreByteForByteAsRecorded) {
    const std::map<std::string, std::string> recorded = {
        {"corvane", "710fcbfeec6b72436086b1a48c32fc22ce2ea4b9497f5457a96ab2383f799947"},
        {"drumvale", "80ae643d7a6ed2f5c4892665e5758fe4c22741fd56c4089d3dbce665dd3b2862"},
        {"grivet", "e8b84fcafe6c83b660e2100cfab3445ad8dea95fd321c7d31e84496695493915"},
        {"nimbrel", "205827761199161e9e98caa2dba7756dc0d0ebeba5cb0ca6b816543ee809b768"},
        {"ostrand", "818e0676d8ffc5dcd547bcae064f9003dcb3e5b9df5480cd40dd7720e0a37fb7"},
        {"selvane", "f9d97f302ac77c04a44f8dd383a695bf2d53fe953d2d17e16a45b2439430b2ee"},
        {"tamsel", "b20e84c939b735b30d5af90c7d5594525b11b8c9e1bbe2e2e56c894cc00f587e"},
        {"velocet", "e969ae80032ce068086d69acdcb3b8e00ec24ba7a3ab6466f911ee05849734a1"},
        {"walcite", "f0bb5159360c08310f8d0a8389822f5e46f4ad40b3aa112161e6ca9ce889b1fe"},
    };
    for (const SampleDisc& disc : sample_discs()) {
        const std::string file = testing_support::build_path("samples/" + std::string(disc.name) + ".bin");
        if (!std::filesystem::exists(file)) GTEST_SKIP() << "this build writes no sample discs";
        std::string digest, error;
        uint64_t bytes = 0;
        ASSERT_TRUE(quorvex::sha256_of(file, digest, bytes, error)) << error;
        if (digest.empty()) GTEST_SKIP() << "no SHA-256 in this build";
        EXPECT_EQ(digest, recorded.at(disc.name)) << disc.name;
    }
}

TEST(Command, HelpIsAnAnswerMissingFoldersAreMadeAndCutStreamsNamed) {
    const std::string builder = testing_support::build_path("bin/discbuilder");
    const testing_support::RunResult help = testing_support::run_program(builder + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("discbuilder sample NAME OUT.bin"), std::string::npos) << help.output;
    testing_support::TempDir dir("builder-folders");
    const std::string out = dir.file("new/deeper/selvane.bin");
    ASSERT_EQ(testing_support::run_program(builder + " sample selvane " + out).status, 0);
    EXPECT_TRUE(std::filesystem::exists(out));
    // A full disc too short for its streams says which it cuts and which it leaves out.
    const testing_support::RunResult cut = testing_support::run_program(builder + " full music " + dir.file("short.bin") + " 500");
    EXPECT_EQ(cut.status, 0);
    EXPECT_NE(cut.output.find("warning: the disc ends at sector 500, within 3 streams: ostrand music (sectors 24 to 2425, cut); "
                              "drumvale music (sectors 2434 to 4835, left out)"), std::string::npos) << cut.output;
}
