// The archive plug-ins: the volume and its root directory, the track list built from the index
// files, reading and seeking a track, and the ADPCM decoder against an independent computation.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "discbuilder/archive_audio.h"
#include "discbuilder/iso9660.h"
#include "plugins/archive/archive_plugin.h"
#include "support/sector_kit.h"
#include "support/test_disc.h"

using namespace testing_support;
using discbuilder::DiscImage;
using discbuilder::IsoFile;
using plugins::archive::ArchivePlugin;
using plugins::archive::NimbrelMusic;
using plugins::archive::NimbrelVoice;
using plugins::archive::Volume;

namespace {

using Music = ArchivePlugin<NimbrelMusic>;
using Voice = ArchivePlugin<NimbrelVoice>;
constexpr char kGame[] = "MABOROSITUKIYO";

// Index records: (offset, length) pairs, then the two records the game ignores.
void put_index(DiscImage& d, uint32_t lba, const std::vector<std::pair<uint32_t, uint16_t>>& records) {
    std::vector<uint8_t> bytes(((records.size() * 8 + 2047) / 2048 + 1) * 2048, 0xEE);
    for (size_t i = 0; i < records.size(); ++i) {
        psr::store_le32(&bytes[8 * i], records[i].first);
        psr::store_le16(&bytes[8 * i + 4], records[i].second);
    }
    for (size_t s = 0; s * 2048 < bytes.size(); ++s) d.put(lba + static_cast<uint32_t>(s), {0, 0, 0x08, 0}, {&bytes[2048 * s], 2048});
}

std::vector<std::pair<uint32_t, uint16_t>> records(uint32_t n) {
    std::vector<std::pair<uint32_t, uint16_t>> r;
    for (uint32_t i = 0; i < n; ++i) r.push_back({i * 3, static_cast<uint16_t>(i + 1)});
    return r;
}

template <class Plugin>
std::vector<StreamInfo> scan(DiscImage& d) {
    return scan_image<Plugin>(d);
}

void fresh_load() {
    Volume<NimbrelMusic>::forget();
    Volume<NimbrelVoice>::forget();
}

}  // namespace

TEST(ArchiveVolume, TheIdentifierMustMatchAllThirtyTwoBytes) {
    fresh_load();
    DiscImage d;
    discbuilder::write_iso_volume(d, kGame, {{"BGM.HED", 30, 24}, {"BGM.MRG", 1000, 100 * 2048}});
    put_index(d, 30, {{10, 50}, {0, 0}, {0, 0}});
    const auto found = scan<Music>(d);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].start_sector, 1010u);
    EXPECT_EQ(found[0].sector_count, 50u);
    EXPECT_EQ(found[0].duration_ms, 4072u);
    EXPECT_EQ(found[0].payload_bytes, 115200u);
    EXPECT_EQ(found[0].channels, 2);
    EXPECT_EQ(found[0].sample_rate, 22050u);
    EXPECT_EQ(found[0].bits_per_sample, 16);
    EXPECT_EQ(found[0].kind, 0x02);
    // The same disc again gives the same list.
    EXPECT_EQ(scan<Music>(d).size(), 1u);

    // Padded with NULs instead of spaces: another volume, which forgets the earlier one.
    uint8_t* id = d.raw(16) + 24 + 40;
    std::memset(id + 14, 0, 18);
    d.put(16, {0, 0, 0x09, 0}, {d.raw(16) + 24, 2048});
    EXPECT_TRUE(scan<Music>(d).empty());
    EXPECT_EQ(Volume<NimbrelMusic>::root.root_sector, 0xFFFFFFFFu);
    EXPECT_EQ(Volume<NimbrelMusic>::files[0].start_sector, 0xFFFFFFFFu);
}

TEST(ArchiveVolume, NamesMatchWithTheirVersionSuffixOnly) {
    auto directory_with = [](const char* identifier, uint8_t length) {
        uint8_t dir[2048] = {};
        dir[0] = static_cast<uint8_t>(33 + length + (length % 2 == 0));
        psr::store_le32(dir + 2, 500);
        psr::store_le32(dir + 10, 4096);
        dir[32] = length;
        std::memcpy(dir + 33, identifier, length);
        plugins::archive::ArchiveFile file{"BGM.HED", 0xFFFFFFFF, 0xFFFFFFFF, 0};
        const int found = plugins::archive::find_root_file(dir, 2048, file);
        return found ? file.start_sector : 0;
    };
    EXPECT_EQ(directory_with("BGM.HED;1", 9), 500u);
    EXPECT_EQ(directory_with("BGM.HED", 7), 0u);
    EXPECT_EQ(directory_with("bgm.hed;1", 9), 0u);
    EXPECT_EQ(directory_with("BGM.HEX;1", 9), 0u);

    // A sector filled with records to its last byte ends the search there.
    uint8_t full[2048] = {};
    for (uint32_t at = 0; at < 2048; at += 64) {
        full[at] = 64;
        full[at + 32] = 9;
        std::memcpy(full + at + 33, "XXX.HED;1", 9);
    }
    plugins::archive::ArchiveFile file{"BGM.HED", 7, 8, 0};
    EXPECT_EQ(plugins::archive::find_root_file(full, 100000, file), 0);
    EXPECT_EQ(file.start_sector, 7u);  // unchanged
    // A record that walks off the sector.
    uint8_t broken[2048] = {};
    broken[0] = 34;
    broken[34] = 255;
    broken[34 + 255] = 200;
    EXPECT_EQ(plugins::archive::find_root_file(broken, 2048, file), 0);
}

TEST(ArchiveVolume, OnlyTheRootDirectorysFirstSectorIsSearched) {
    fresh_load();
    std::vector<IsoFile> files;
    for (int i = 0; i < 70; ++i) files.push_back({"AAA" + std::to_string(100 + i) + ".DAT", 40, 10});
    files.push_back({"BGM.HED", 30, 24});  // sorted after the AAA files: in the second sector
    files.push_back({"BGM.MRG", 1000, 2048});
    DiscImage d;
    discbuilder::write_iso_volume(d, kGame, files);
    ASSERT_EQ(discbuilder::iso_root_sectors(files), 2u);
    put_index(d, 30, {{0, 5}, {0, 0}, {0, 0}});
    EXPECT_TRUE(scan<Music>(d).empty());
}

TEST(ArchiveCatalogue, IndexSizesAndTheIgnoredLastTwoRecords) {
    for (uint32_t n : {2u, 3u}) {  // 16 and 24 bytes
        fresh_load();
        DiscImage d;
        discbuilder::write_iso_volume(d, kGame, {{"BGM.HED", 30, n * 8}, {"BGM.MRG", 1000, 2048}});
        put_index(d, 30, records(n));
        EXPECT_EQ(scan<Music>(d).size(), n - 2);
    }
    // 2400 bytes: 300 records, 298 tracks: 256 from the first sector and 42 from the second.
    fresh_load();
    DiscImage d;
    discbuilder::write_iso_volume(d, kGame, {{"BGM.HED", 30, 2400}, {"BGM.MRG", 1000, 2048}});
    put_index(d, 30, records(300));
    const auto found = scan<Music>(d);
    ASSERT_EQ(found.size(), 298u);
    EXPECT_EQ(found[255].start_sector, 1000u + 255 * 3);
    EXPECT_EQ(found[256].start_sector, 1000u + 256 * 3);
    EXPECT_EQ(found[297].sector_count, 298u);
}

TEST(ArchiveCatalogue, VoiceListsBothArchivesInOneList) {
    fresh_load();
    DiscImage d;
    discbuilder::write_iso_volume(d, kGame,
                                  {{"VOICE1.HED", 30, 5 * 8}, {"VOICE1.MRG", 500, 2048}, {"VOICE2.HED", 40, 2048},
                                   {"VOICE2.MRG", 900, 2048}});
    put_index(d, 30, {{0, 4}, {4, 6}, {10, 2}, {0, 0}, {0, 0}});
    // VOICE2.HED is a whole sector: 256 records, 254 tracks; its range ends one sector past it.
    put_index(d, 40, records(256));
    put_index(d, 41, records(256));  // that sector is inside the range but has nothing left to give
    const auto found = scan<Voice>(d);
    ASSERT_EQ(found.size(), 3u + 254);
    EXPECT_EQ(found[0].start_sector, 500u);
    EXPECT_EQ(found[1].start_sector, 504u);
    EXPECT_EQ(found[1].sector_count, 6u);
    EXPECT_EQ(found[1].duration_ms, 6u * 35840 / 220);
    EXPECT_EQ(found[1].channels, 1);
    EXPECT_EQ(found[3].start_sector, 900u);
    EXPECT_EQ(found[4].start_sector, 903u);
    EXPECT_TRUE(scan<Music>(d).empty());  // the music plug-in has no archive here
}

TEST(ArchiveCatalogue, ResultsSectorsAndFailures) {
    fresh_load();
    DiscImage d;
    discbuilder::write_iso_volume(d, kGame, {{"BGM.HED", 30, 5 * 8}, {"BGM.MRG", 1000, 2048}});
    put_index(d, 30, records(5));
    const auto bytes = d.bytes();
    TrackEntry tracks[2] = {data_track_entry(), data_track_entry()};
    ScanContext* c = Music::scan_begin(2, tracks);  // ten-byte steps: two entries are fine
    ASSERT_NE(c, nullptr);
    StreamInfo info;
    EXPECT_EQ(Music::scan_result(c, 0, nullptr), -1);  // empty
    for (uint32_t lba = 0; lba < 16; ++lba) EXPECT_EQ(Music::scan_sector(c, tracks[0], lba, bytes.data()), 1);
    for (uint32_t lba = 16; lba < d.sector_count(); ++lba) Music::scan_sector(c, tracks[0], lba, bytes.data() + lba * 2352);
    EXPECT_EQ(Music::scan_sector(c, tracks[0], 99999, nullptr), 1);  // nothing stays open
    EXPECT_EQ(Music::scan_result(c, 2, nullptr), 3);
    std::memset(&info, 0x21, sizeof info);
    EXPECT_EQ(Music::scan_result(c, 3, &info), -1);
    EXPECT_EQ(info.kind, 0x2121);
    Music::scan_end(c);
    Music::scan_end(nullptr);

    // When the list cannot be sized the scan goes on with no tracks.
    psr::heap::allocations_before_failure = 2;
    EXPECT_TRUE(scan<Music>(d).empty());
    psr::heap::allocations_before_failure = 1;
    EXPECT_EQ(Music::scan_begin(1, tracks), nullptr);
    psr::heap::allocations_before_failure = -1;
}

TEST(ArchiveRead, FirstSectorReadAheadAndSeeks) {
    DiscImage d;
    for (uint32_t lba = 0; lba < 60; ++lba) {
        std::vector<uint8_t> user(2048, static_cast<uint8_t>(lba));
        d.put(lba, {0, 0, 0x08, 0}, user);
    }
    MemoryDisc disc(d);
    StreamInfo info{};
    ASSERT_EQ(Music::describe(0, 10, 50, &info), 1);
    EXPECT_EQ(info.duration_ms, 4072u);
    EXPECT_EQ(info.payload_bytes, 0u);
    StreamInfo voice{};
    ASSERT_EQ(Voice::describe(0, 10, 50, &voice), 1);
    EXPECT_EQ(voice.duration_ms, 8145u);

    StreamHandle* s = Music::open(disc.handle(), &info);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(disc.stats().sectors_read, 1u);
    auto frame = std::make_unique<FrameBuffer>();
    ASSERT_EQ(Music::read(s, frame.get()), 1);
    EXPECT_EQ(disc.stats().sectors_read, 1u);  // the first block was read ahead
    EXPECT_EQ(frame->payload_size, 2048u);
    EXPECT_EQ(frame->payload[0], 10);
    EXPECT_EQ(frame->frame_number, 0u);
    EXPECT_EQ(Music::seek(s, 1000), 1);  // 100 x 220 / 1792 = 12
    ASSERT_EQ(Music::read(s, frame.get()), 1);
    EXPECT_EQ(frame->payload[0], 22);
    EXPECT_EQ(Music::seek(s, 9), 1);
    ASSERT_EQ(Music::read(s, frame.get()), 1);
    EXPECT_EQ(frame->payload[0], 10);
    EXPECT_EQ(Music::seek(s, 100000), 1);  // past the end: index 50
    EXPECT_EQ(disc.stats().last_read_pointer, 50u);
    EXPECT_EQ(Music::read(s, frame.get()), 0);
    Music::close(s);

    StreamHandle* v = Voice::open(disc.handle(), &voice);
    EXPECT_EQ(Voice::seek(v, 1000), 1);  // 22000 / 3584 = 6
    EXPECT_EQ(disc.stats().last_read_pointer, 6u);
    Voice::close(v);
    EXPECT_EQ(disc.stats().buffers_locked, 0u);
    EXPECT_EQ(disc.stats().readers_open, 0u);

    StreamInfo broken = info;
    broken.channels = 0;  // no samples a sector: the seek is refused
    StreamHandle* b = Music::open(disc.handle(), &broken);
    EXPECT_EQ(Music::seek(b, 1000), 0);
    Music::close(b);
    StreamInfo off = info;
    off.start_sector = 5000;  // nothing to read ahead: no stream
    EXPECT_EQ(Music::open(disc.handle(), &off), nullptr);
    EXPECT_EQ(disc.stats().readers_open, 0u);
}

namespace {

// The decoder written out plainly, for comparison.
struct Reference {
    double s1[2] = {0, 0}, s2[2] = {0, 0};

    std::vector<int16_t> block(const uint8_t* b, bool stereo) {
        static const double f[5][2] = {{0, 0}, {60 / 64.0, 0}, {115 / 64.0, -52 / 64.0}, {98 / 64.0, -55 / 64.0}, {122 / 64.0, -60 / 64.0}};
        std::vector<int16_t> out;
        auto group = [&](const uint8_t* g, int c) {
            std::vector<int32_t> values;
            const int shift = g[0] & 15, filter = std::min(g[0] >> 4, 4);
            for (int k = 0; k < 14; ++k) {
                for (int half = 0; half < 2; ++half) {
                    int n = (g[2 + k] >> (4 * half)) & 15;
                    if (n > 7) n -= 16;
                    const double x = std::floor(n * 4096.0 / std::pow(2.0, shift));
                    double v = s1[c] * f[filter][0] + s2[c] * f[filter][1] + x;
                    v = std::max(-32768.0, std::min(32767.0, v));
                    s2[c] = s1[c];
                    s1[c] = v;
                    values.push_back(static_cast<int32_t>(std::trunc(v + 0.5)));
                }
            }
            return values;
        };
        if (stereo) {
            for (int g = 0; g < 32; ++g) {
                const auto l = group(b + 16 * g, 0), r = group(b + 512 + 16 * g, 1);
                for (int i = 0; i < 28; ++i) {
                    out.push_back(static_cast<int16_t>(l[i]));
                    out.push_back(static_cast<int16_t>(static_cast<uint16_t>(r[i] - 20)));
                }
            }
        } else {
            for (int g = 0; g < 64 && b[16 * g + 1] != 7; ++g) {
                for (int32_t v : group(b + 16 * g, 0)) out.push_back(static_cast<int16_t>(v));
            }
        }
        return out;
    }
};

template <class Plugin>
std::vector<int16_t> decode(const std::vector<uint8_t>& payload, uint32_t capacity = 7168) {
    auto frame = std::make_unique<FrameBuffer>();
    frame->payload_size = static_cast<uint32_t>(payload.size());
    std::memcpy(frame->payload, payload.data(), payload.size());
    std::vector<int16_t> pcm(capacity / 2 + 8, 0x4444);
    const uint32_t written = Plugin::decode_audio(frame.get(), pcm.data(), capacity);
    EXPECT_LE(written, capacity);
    EXPECT_EQ(pcm[capacity / 2], 0x4444);  // nothing past the capacity
    pcm.resize(written / 2);
    return pcm;
}

void reset_histories() {
    plugins::archive::ArchiveDecoder<NimbrelMusic>::history[0] = {};
    plugins::archive::ArchiveDecoder<NimbrelMusic>::history[1] = {};
    plugins::archive::ArchiveDecoder<NimbrelVoice>::history[0] = {};
}

}  // namespace

TEST(ArchiveDecoder, AsksForRoomAndDecodesWholeBlocks) {
    reset_histories();
    auto frame = std::make_unique<FrameBuffer>();
    frame->payload_size = 2048;
    std::vector<int16_t> pcm(3584, 0x1234);
    EXPECT_EQ(Music::decode_audio(frame.get(), nullptr, 99999), 7168u);
    EXPECT_EQ(Music::decode_audio(frame.get(), pcm.data(), 7167), 7168u);
    EXPECT_EQ(pcm[0], 0x1234);
    EXPECT_EQ(Music::decode_audio(frame.get(), pcm.data(), 7168), 7168u);
    frame->payload_size = 0;
    EXPECT_EQ(Voice::decode_audio(frame.get(), pcm.data(), 7168), 0u);
    // More payload than the buffer has room for: whole blocks only, never past the capacity.
    EXPECT_EQ(decode<Music>(std::vector<uint8_t>(4096, 0x11), 7168).size(), 3584u);
    EXPECT_EQ(decode<Music>(std::vector<uint8_t>(4096, 0x11), 4 * 3584).size(), 4u * 1792);
    EXPECT_EQ(decode<Voice>(std::vector<uint8_t>(1500, 0x11), 7168).size(), 1792u);
}

TEST(ArchiveDecoder, TheWorkedGroupAndTheRightChannelOffset) {
    reset_histories();
    std::vector<uint8_t> block(2048, 0);
    block[0] = 12;  // filter 0, shift 12
    block[2] = 0x7F;
    block[512] = 12;
    block[514] = 0x7F;
    const auto pcm = decode<Music>(block);
    EXPECT_EQ(pcm[0], 0);  // -1.0 rounds to 0
    EXPECT_EQ(pcm[2], 7);
    EXPECT_EQ(pcm[1], -20);
    EXPECT_EQ(pcm[3], -13);
    // -32768 rounds to -32767; on the right, minus 20 wraps to 32749.
    reset_histories();
    std::vector<uint8_t> low(2048, 0);
    low[512] = 0x00;
    low[514] = 0x08;  // nibble -8 at shift 0
    EXPECT_EQ(decode<Music>(low)[1], 32749);
}

TEST(ArchiveDecoder, MatchesAnIndependentComputationAcrossCalls) {
    reset_histories();
    Reference reference;
    std::mt19937 random(7);
    for (int call = 0; call < 6; ++call) {
        std::vector<uint8_t> payload(2048);
        for (auto& b : payload) b = static_cast<uint8_t>(random());
        for (int g = 0; g < 128; ++g) {
            payload[16 * g] = static_cast<uint8_t>((random() % 16) << 4 | (random() % 16));  // filters 4-15 mean 4
            payload[16 * g + 1] = static_cast<uint8_t>(random() % 7);  // no end marker here
        }
        auto expected = reference.block(payload.data(), true);
        const auto second = reference.block(payload.data() + 1024, true);
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(decode<Music>(payload), expected) << "call " << call;  // the history carries on
    }
    for (int call = 0; call < 4; ++call) {
        std::vector<uint8_t> payload(2048);
        for (auto& b : payload) b = static_cast<uint8_t>(random());
        for (int g = 0; g < 128; ++g) payload[16 * g + 1] = static_cast<uint8_t>(random() % 7);
        if (call == 2) payload[16 * 10 + 1] = 7;  // group 10 of the first block ends it
        auto expected = reference.block(payload.data(), false);
        const auto second = reference.block(payload.data() + 1024, false);
        expected.insert(expected.end(), second.begin(), second.end());
        const auto pcm = decode<Voice>(payload);
        EXPECT_EQ(pcm, expected) << "call " << call;
        if (call == 2) {
            EXPECT_EQ(pcm.size() * 2, 560u + 3584);
        }
    }
}

TEST(ArchiveDecoder, TheSameBlockTwiceDiffersUnlessTheHistoryDoes) {
    reset_histories();
    std::vector<uint8_t> block(2048, 0x35);
    for (int g = 0; g < 128; ++g) block[16 * g] = 0x12;  // filter 1
    const auto first = decode<Voice>(block);
    EXPECT_NE(decode<Voice>(block), first);
    for (int g = 0; g < 128; ++g) block[16 * g] = 0x02;  // filter 0 ignores the history
    EXPECT_EQ(decode<Voice>(block), decode<Voice>(block));
}

TEST(ArchiveEncoder, BuiltTracksDecodeToTheirTone) {
    reset_histories();
    DiscImage d;
    const auto archive = discbuilder::write_archive(d, 30, 40, true, {6, 4}, 1);
    MemoryDisc disc(d);
    for (size_t t = 0; t < 2; ++t) {
        StreamInfo info{};
        Music::describe(0, 40 + archive.offsets[t], archive.lengths[t], &info);
        StreamHandle* s = Music::open(disc.handle(), &info);
        auto frame = std::make_unique<FrameBuffer>();
        std::vector<int16_t> pcm, block(3584);
        while (Music::read(s, frame.get())) {
            const uint32_t n = Music::decode_audio(frame.get(), block.data(), 7168);
            pcm.insert(pcm.end(), block.begin(), block.begin() + n / 2);
        }
        Music::close(s);
        const auto& signal = archive.signals[t];
        ASSERT_EQ(pcm.size(), signal.size());
        double noise = 0, power = 0;
        for (size_t i = 0; i < pcm.size(); ++i) {
            power += double(signal[i]) * signal[i];
            noise += double(pcm[i] - signal[i]) * (pcm[i] - signal[i]);
        }
        EXPECT_GT(10 * std::log10(power / noise), 35.0) << "track " << t;
    }
}
