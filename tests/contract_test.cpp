// The arithmetic and records that every plug-in shares.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "contract/frame_rate.h"
#include "contract/mdec_header_search.h"
#include "contract/movie_stream_info.h"
#include "contract/plugin_info.h"
#include "contract/stream_list.h"
#include "contract/track_table.h"
#include "contract/xa_timing.h"

using namespace psr;

TEST(FrameRate, CommonRuleExamples) {
    EXPECT_EQ(estimate_frame_rate(320, 240, 10, 10), 150u);
    EXPECT_EQ(estimate_frame_rate(320, 240, 5, 5), 300u);
    EXPECT_EQ(estimate_frame_rate(320, 240, 2, 3), 300u);  // the size rule limits it
    EXPECT_EQ(estimate_frame_rate(16, 16, 1, 2), 600u);
    EXPECT_EQ(estimate_frame_rate(640, 480, 0, 0), 75u);
    EXPECT_EQ(estimate_frame_rate(0, 240, 5, 5), 0u);
    EXPECT_EQ(estimate_frame_rate(320, 224, 7, 8), 150u);
    // A stream whose second frame never came: 0xFFFF and 0.
    EXPECT_EQ(estimate_frame_rate(320, 240, 65535, 0), 75u);
    // chunk_count 0 makes a = -1: the sum compares unsigned.
    EXPECT_EQ(estimate_frame_rate(320, 240, -1, 0), 75u);
}

TEST(FrameRate, TamselAddsATenFpsStep) {
    EXPECT_EQ(estimate_frame_rate(320, 224, 10, 11, RateRule::kTamsel), 100u);
    EXPECT_EQ(estimate_frame_rate(320, 224, 15, 16, RateRule::kTamsel), 75u);
    EXPECT_EQ(estimate_frame_rate(320, 224, 10, 11), 75u);
    EXPECT_EQ(estimate_frame_rate(320, 224, 15, 16), 75u);
    EXPECT_EQ(estimate_frame_rate(320, 224, 5, 5, RateRule::kTamsel), 300u);
    EXPECT_EQ(estimate_frame_rate(320, 224, 5, 5), 300u);
}

TEST(XaTiming, FormatsAndDurations) {
    const XaFormat stereo = XaFormat::from_coding(0x01);
    EXPECT_EQ(stereo.channels, 2);
    EXPECT_EQ(stereo.sample_rate, 37800u);
    EXPECT_EQ(stereo.unit(), 756u);
    EXPECT_EQ(stereo.duration_ms(10), 533u);
    const XaFormat mono_half = XaFormat::from_coding(0x04);
    EXPECT_EQ(mono_half.unit(), 189u);
    EXPECT_EQ(mono_half.duration_ms(10), 2133u);
    EXPECT_EQ(XaFormat::from_coding(0x00).duration_ms(1), 106u);
    EXPECT_EQ(XaFormat::from_coding(0x05).unit(), 378u);
}

namespace {

MovieScanCounters counters(uint16_t min_spf, uint16_t max_spf) {
    MovieScanCounters c{};
    c.first_sector = 1000;
    c.last_video = 1999;
    c.last_audio = 2003;
    c.frames = 100;
    c.width = 320;
    c.height = 240;
    c.payload = 123456;
    c.min_spf = min_spf;
    c.max_spf = max_spf;
    return c;
}

MovieScanCounters with_audio(MovieScanCounters c, uint32_t synced_audio, uint32_t synced_frames) {
    c.audio_sectors = 125;
    c.coding = 0x01;
    c.synced_audio = synced_audio;
    c.synced_frames = synced_frames;
    return c;
}

StreamInfo from_scan(const MovieScanCounters& c, RateRule rule = RateRule::kCommon) {
    StreamInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_TRUE(movie_info_from_scan(c, rule, &info));
    return info;
}

}  // namespace

TEST(MovieInfoFromScan, VideoOnly) {
    const StreamInfo info = from_scan(counters(10, 10));
    EXPECT_EQ(info.kind, 0x01);
    EXPECT_EQ(info.reserved, 0);
    EXPECT_EQ(info.start_sector, 1000u);
    EXPECT_EQ(info.sector_count, 1004u);  // up to the later of the last video and audio sectors
    EXPECT_EQ(info.frame_count, 100u);
    EXPECT_EQ(info.frame_rate, 150);
    EXPECT_EQ(info.duration_ms, 100u * 10000 / 150);
    EXPECT_EQ(info.has_audio, 0);
    EXPECT_EQ(info.channels, 0);
    EXPECT_EQ(info.sample_rate, 0u);
    EXPECT_EQ(info.payload_bytes, 123456u);
}

TEST(MovieInfoFromScan, AudioThatAgreesKeepsTheEstimate) {
    // 100 synced sectors last 5333 ms; 78 frames in them measure 146, within 20 of 150.
    const StreamInfo info = from_scan(with_audio(counters(10, 10), 100, 78));
    EXPECT_EQ(info.kind, 0x03);
    EXPECT_EQ(info.frame_rate, 150);
    EXPECT_EQ(info.has_audio, 1);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.bits_per_sample, 16);
    EXPECT_EQ(info.sample_rate, 37800u);
    // The longer of 125 audio sectors (6666 ms) and 100 frames at 15 fps (6666 ms).
    EXPECT_EQ(info.duration_ms, 6666u);
}

TEST(MovieInfoFromScan, AudioImpliedRateRoundsToFive) {
    // The estimate is 300 (five sectors per frame); 1000 synced sectors last 53333 ms.
    EXPECT_EQ(from_scan(with_audio(counters(5, 5), 1000, 784)).frame_rate, 145);  // measured 147
    EXPECT_EQ(from_scan(with_audio(counters(5, 5), 1000, 790)).frame_rate, 150);  // measured 148
    const StreamInfo slow = from_scan(with_audio(counters(5, 5), 1000, 240));    // measured 45
    EXPECT_EQ(slow.frame_rate, 50);                                               // the floor
    EXPECT_EQ(slow.duration_ms, 100u * 10000 / 50);
}

TEST(MovieInfoFromScan, UnevenSpreadMakesTheRateVary) {
    // Estimate 150 from 5 and 10 sectors per frame; the audio says 300 and the spread is 5.
    const StreamInfo info = from_scan(with_audio(counters(5, 10), 1000, 1600));
    EXPECT_EQ(info.kind, 0x13);
    EXPECT_EQ(info.frame_rate, 300);  // estimate_frame_rate(320, 240, 5, 5)
}

TEST(MovieInfoFromScan, NoSyncedAudioMeasuresTheEstimate) {
    const StreamInfo info = from_scan(with_audio(counters(5, 5), 0, 0));
    EXPECT_EQ(info.frame_rate, 300);
    EXPECT_EQ(info.kind, 0x03);
}

TEST(MovieInfoFromScan, TamselTestsTheSpreadAlone) {
    auto tamsel = [](uint16_t min_spf, uint16_t max_spf) {
        MovieScanCounters c = with_audio(counters(min_spf, max_spf), 1000, 784);  // measured 147
        c.width = 320;
        c.height = 224;
        return from_scan(c, RateRule::kTamsel);
    };
    EXPECT_EQ(tamsel(10, 12).frame_rate, 100);  // spread 2 keeps the estimate, though the audio disagrees
    EXPECT_EQ(tamsel(10, 13).frame_rate, 145);  // spread 3 rounds the measured rate
    const StreamInfo varying = tamsel(10, 14);  // spread 4 varies per frame
    EXPECT_EQ(varying.kind, 0x13);
    EXPECT_EQ(varying.frame_rate, 150);  // tamsel's estimate for 320 x 224 and 10 + 10 sectors
    // The common rule would round here: the estimate (75) is far from the measured 147.
    MovieScanCounters c = with_audio(counters(10, 12), 1000, 784);
    c.height = 224;
    EXPECT_EQ(from_scan(c).frame_rate, 145);
}

TEST(MovieInfoFromScan, NoMacroblockIsNotDescribed) {
    MovieScanCounters c = counters(10, 10);
    c.width = 0;
    StreamInfo info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_FALSE(movie_info_from_scan(c, RateRule::kCommon, &info));
    EXPECT_EQ(info.kind, 0x5A5A);
}

TEST(MovieInfoFromSample, ExtrapolatesAndCorrectsByAudio) {
    StreamInfo info;
    std::memset(&info, 0xCD, sizeof info);
    const MovieSample sample{5000, 3000, 30, 270, 30, 320, 240, 0x01};
    ASSERT_TRUE(movie_info_from_sample(sample, RateRule::kCommon, &info));
    EXPECT_EQ(info.kind, 0x03);
    EXPECT_EQ(info.start_sector, 5000u);
    EXPECT_EQ(info.sector_count, 3000u);
    EXPECT_EQ(info.frame_count, 300u);  // 30 x 3000 / 300
    // Estimate 150; 30 audio sectors last 1600 ms, so the frames measure 187: rounded to 185.
    EXPECT_EQ(info.frame_rate, 185);
    EXPECT_EQ(info.duration_ms, 300u * 10000 / 185);
    EXPECT_EQ(info.payload_bytes, 0xCDCDCDCDu);  // not written
}

TEST(MovieInfoFromSample, UndescribableSamples) {
    StreamInfo info{};
    EXPECT_FALSE(movie_info_from_sample({0, 100, 5, 0, 1, 320, 240, 1}, RateRule::kCommon, &info));  // no video
    EXPECT_FALSE(movie_info_from_sample({0, 100, 5, 90, 0, 320, 240, 1}, RateRule::kCommon, &info));  // no first chunk
    EXPECT_FALSE(movie_info_from_sample({0, 100, 0, 90, 3, 0, 240, 1}, RateRule::kCommon, &info));    // no macroblock
    // One frame in 300 audio sectors measures 0: the rate would round to 0.
    EXPECT_FALSE(movie_info_from_sample({0, 300, 290, 10, 1, 320, 240, 1}, RateRule::kCommon, &info));
    // The same without audio is described.
    EXPECT_TRUE(movie_info_from_sample({0, 300, 0, 10, 1, 320, 240, 1}, RateRule::kCommon, &info));
    EXPECT_EQ(info.kind, 0x01);
}

namespace {
struct Entry {
    uint32_t value;
};
}  // namespace

TEST(StreamList, GrowsByTenAndKeepsOrderOnRemoval) {
    StreamList<Entry> list{};
    ASSERT_TRUE(list.init());
    EXPECT_EQ(list.capacity, 10);
    for (uint32_t i = 0; i < 11; ++i) ASSERT_TRUE(list.append({i}));
    EXPECT_EQ(list.capacity, 20);
    EXPECT_EQ(list.count, 11);
    list.remove(0);
    list.remove(4);
    const std::array<uint32_t, 9> expected = {1, 2, 3, 4, 6, 7, 8, 9, 10};
    for (int32_t i = 0; i < list.count; ++i) EXPECT_EQ(list[i].value, expected[static_cast<size_t>(i)]);
    list.release();
}

TEST(StreamList, FailedGrowthLeavesTheListAsItWas) {
    StreamList<Entry> list{};
    ASSERT_TRUE(list.init());
    for (uint32_t i = 0; i < 10; ++i) ASSERT_TRUE(list.append({i}));
    Entry* const before = list.items;
    heap::allocations_before_failure = 0;
    EXPECT_FALSE(list.append({99}));
    EXPECT_EQ(list.items, before);
    EXPECT_EQ(list.capacity, 10);
    EXPECT_EQ(list.count, 10);
    EXPECT_EQ(list[9].value, 9u);
    EXPECT_TRUE(list.append({10}));  // the next growth succeeds
    EXPECT_EQ(list.capacity, 20);
    list.release();
}

TEST(StreamList, FailedFirstAllocation) {
    StreamList<Entry> list{};
    heap::allocations_before_failure = 0;
    EXPECT_FALSE(list.init());
    EXPECT_EQ(list.capacity, 0);
    list.release();
}

namespace {
std::array<TrackEntry, 2> second_track_is_data() {
    std::array<TrackEntry, 2> table{};
    table[0].bytes[0] = 1;
    table[0].bytes[1] = 0x00;  // audio
    table[1].bytes[0] = 2;
    table[1].bytes[1] = 0x04;
    return table;
}
}  // namespace

TEST(TrackTable, EachFamilyReadsTheTableInItsOwnSteps) {
    auto table = second_track_is_data();
    EXPECT_TRUE(track_table_has_data_track(TrackTableRule::kStep12, 2, table.data()));
    // Ten-byte steps read the second entry's control at byte 11 of the host's 12-byte table.
    EXPECT_FALSE(track_table_has_data_track(TrackTableRule::kStep10, 2, table.data()));
    EXPECT_FALSE(track_table_has_data_track(TrackTableRule::kSingleEntry, 2, table.data()));
    table[0].bytes[11] = 0x04;
    EXPECT_TRUE(track_table_has_data_track(TrackTableRule::kStep10, 2, table.data()));

    EXPECT_FALSE(track_table_has_data_track(TrackTableRule::kStep12, 0, table.data()));
    EXPECT_FALSE(track_table_has_data_track(TrackTableRule::kStep12, 1, table.data()));
    EXPECT_TRUE(track_table_has_data_track(TrackTableRule::kSingleEntry, 1, &table[1]));
    EXPECT_FALSE(track_table_has_data_track(TrackTableRule::kSingleEntry, 1, &table[0]));
}

TEST(PluginInfoFill, InterfacesWriteTheirFieldsAndNothingElse) {
    PluginInfo info;
    std::memset(&info, 0xEE, sizeof info);
    fill_plugin_info(&info, {"V9", "(c) test", 100, 100, 220, HomeUrl::kNone});
    EXPECT_STREQ(info.name, "V9");
    EXPECT_EQ(static_cast<uint8_t>(info.name[3]), 0xEE);  // nothing after the terminator
    EXPECT_STREQ(info.copyright, "(c) test");
    EXPECT_EQ(info.plugin_version, 100);
    EXPECT_EQ(info.extra_version, 100);
    EXPECT_EQ(info.interface_version, 220);
    const auto* raw = reinterpret_cast<const uint8_t*>(&info);
    for (size_t i = 136; i < sizeof info; ++i) ASSERT_EQ(raw[i], 0xEE) << i;

    fill_plugin_info(&info, {"Walcite STR", "(c) test", 102, 0, 230, HomeUrl::kLong});
    EXPECT_STREQ(info.library, "Quorvex Library");
    EXPECT_STREQ(info.home_url, kHomeUrlLong);
    EXPECT_EQ(std::strlen(kHomeUrlLong), 49u);
    EXPECT_EQ(static_cast<uint8_t>(info.home_url[50]), 0xEE);
    fill_plugin_info(&info, {"Selvane STR", "(c) test", 101, 0, 230, HomeUrl::kShort});
    EXPECT_STREQ(info.home_url, kHomeUrlShort);
    EXPECT_EQ(std::string(kHomeUrlShort) + "index.html", kHomeUrlLong);
}

namespace {
// A raw sector whose user data holds the given 16-bit words from user-data offset 32.
std::array<uint8_t, kRawSectorSize> chunk_with_words(std::initializer_list<std::pair<uint32_t, uint16_t>> words) {
    std::array<uint8_t, kRawSectorSize> s{};
    for (auto [offset, word] : words) store_le16(s.data() + kUserDataOffset + offset, word);
    return s;
}
}  // namespace

TEST(MdecHeaderSearch, FindsTheMarkerAndChecksTheVersion) {
    StrSectorHeader header{};
    header.width = 320;
    header.height = 240;
    auto at_start = chunk_with_words({{34, 0x3800}, {38, 2}});
    EXPECT_EQ(mdec_search_index(RawSector(at_start.data())), 0u);
    EXPECT_TRUE(mdec_start_accepted(RawSector(at_start.data()), header, false));

    auto after_junk = chunk_with_words({{40, 0x3800}, {44, 3}});  // i = 3: copied from offset 38
    EXPECT_EQ(mdec_search_index(RawSector(after_junk.data())), 3u);
    EXPECT_EQ(mdec_copy_offset(3), 38u);
    EXPECT_EQ(mdec_copy_limit(3), 2010u);
    EXPECT_TRUE(mdec_start_accepted(RawSector(after_junk.data()), header, false));

    auto last = chunk_with_words({{82, 0x3800}, {86, 1}});  // index 24 is tested like the others
    EXPECT_EQ(mdec_search_index(RawSector(last.data())), 24u);
    EXPECT_TRUE(mdec_start_accepted(RawSector(last.data()), header, false));

    auto none = chunk_with_words({});
    EXPECT_EQ(mdec_search_index(RawSector(none.data())), 24u);
    EXPECT_FALSE(mdec_start_accepted(RawSector(none.data()), header, true));

    auto sized = chunk_with_words({{34, 0x3800}, {36, 320}, {38, 240}});
    EXPECT_FALSE(mdec_start_accepted(RawSector(sized.data()), header, false));
    EXPECT_TRUE(mdec_start_accepted(RawSector(sized.data()), header, true));
    header.height = 224;
    EXPECT_FALSE(mdec_start_accepted(RawSector(sized.data()), header, true));
}
