// The ten built .PSR files, loaded as a host loads them: what they export, how they introduce
// themselves, and which track tables they accept.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <sstream>

#include "contract/plugin_info.h"
#include "contract/track_table.h"
#include "host/plugins.h"
#include "support/run_program.h"

using namespace testing_support;
using psr::HomeUrl;
using psr::TrackTableRule;

namespace {

struct Expected {
    const char* file;
    const char* name;
    uint16_t version;
    uint16_t extra;
    uint16_t interface_version;
    HomeUrl url;
    TrackTableRule tracks;
    bool decodes;
};

constexpr Expected kPlugins[] = {
    {"walcite", "Walcite STR", 102, 0, 230, HomeUrl::kLong, TrackTableRule::kStep12, false},
    {"selvane", "Selvane STR", 101, 0, 230, HomeUrl::kShort, TrackTableRule::kStep12, false},
    {"grivet", "Grivet STR", 100, 100, 230, HomeUrl::kLong, TrackTableRule::kStep12, false},
    {"tamsel", "Tamsel Vireland", 110, 0, 230, HomeUrl::kShort, TrackTableRule::kStep12, false},
    {"corvane", "Corvane STR", 122, 0, 230, HomeUrl::kLong, TrackTableRule::kSingleEntry, false},
    {"nimbrel_music", "Nimbrel BGM", 100, 0, 230, HomeUrl::kShort, TrackTableRule::kStep10, true},
    {"ostrand", "Ostrand", 100, 100, 220, HomeUrl::kNone, TrackTableRule::kSingleEntry, false},
    {"nimbrel_voice", "Nimbrel Voice", 100, 0, 230, HomeUrl::kShort, TrackTableRule::kStep10, true},
    {"drumvale", "Drumvale", 101, 100, 220, HomeUrl::kNone, TrackTableRule::kSingleEntry, false},
    {"velocet", "V9", 100, 100, 220, HomeUrl::kNone, TrackTableRule::kSingleEntry, false},
};

class PluginAbi : public ::testing::TestWithParam<Expected> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(quorvex::find_plugins(build_path("plugins"), folder_, error)) << error;
        const quorvex::PluginFile* file = quorvex::find_plugin(folder_, GetParam().file);
        ASSERT_NE(file, nullptr);
        instance_ = quorvex::load_fresh(*file, error);
        ASSERT_NE(instance_, nullptr) << error;
    }
    quorvex::PluginFolder folder_;
    std::unique_ptr<quorvex::PluginInstance> instance_;

};

TrackEntry entry(uint8_t number, uint8_t control) {
    TrackEntry e{};
    e.bytes[0] = number;
    e.bytes[1] = control;
    return e;
}

}  // namespace

TEST_P(PluginAbi, ExportsItsEntryPointsAndNothingElse) {
#if defined(_WIN32)
    GTEST_SKIP() << "the export table is checked by objdump in the cross build";
#else
    const RunResult nm = run_program("nm -D --defined-only " + instance_->file().path);
    ASSERT_EQ(nm.status, 0) << nm.output;
    std::set<std::string> exported;
    std::istringstream lines(nm.output);
    std::string address, type, symbol;
    while (lines >> address >> type >> symbol) exported.insert(symbol);
    std::set<std::string> expected(psr::kEntryPointNames, psr::kEntryPointNames + psr::kRequiredEntryPoints);
    if (GetParam().decodes) expected.insert("PsrDecodeAudio");
    EXPECT_EQ(exported, expected);
    const RunResult needed = run_program("readelf -d " + instance_->file().path);
    EXPECT_NE(needed.output.find("Shared library: [libdiscwell.so]"), std::string::npos);
#endif
}

TEST_P(PluginAbi, IntroducesItself) {
    const Expected& e = GetParam();
    PluginInfo info;
    std::memset(&info, 0x7E, sizeof info);
    instance_->query(&info);
    EXPECT_STREQ(info.name, e.name);
    EXPECT_GT(std::strlen(info.copyright), 0u);
    EXPECT_LT(std::strlen(info.copyright), sizeof info.copyright);
    EXPECT_EQ(info.plugin_version, e.version);
    EXPECT_EQ(info.extra_version, e.extra);
    EXPECT_EQ(info.interface_version, e.interface_version);
    const auto* raw = reinterpret_cast<const uint8_t*>(&info);
    if (e.url == HomeUrl::kNone) {
        for (size_t i = 136; i < sizeof info; ++i) ASSERT_EQ(raw[i], 0x7E) << "byte " << i;
    } else {
        EXPECT_STREQ(info.library, "Quorvex Library");
        EXPECT_STREQ(info.home_url, e.url == HomeUrl::kLong ? psr::kHomeUrlLong : psr::kHomeUrlShort);
    }
    EXPECT_EQ(instance_->decode_audio != nullptr, e.decodes);
}

TEST_P(PluginAbi, AcceptsTrackTablesByItsFamilysRule) {
    const Expected& e = GetParam();
    auto takes_part = [&](std::vector<TrackEntry> table) {
        ScanContext* context = instance_->scan_begin(static_cast<int32_t>(table.size()), table.data());
        instance_->scan_end(context);
        return context != nullptr;
    };
    EXPECT_FALSE(instance_->scan_begin(0, nullptr));
    EXPECT_TRUE(takes_part({entry(1, 0x04)}));
    EXPECT_FALSE(takes_part({entry(1, 0x00)}));
    EXPECT_EQ(takes_part({entry(1, 0x04), entry(2, 0x00)}), e.tracks != TrackTableRule::kSingleEntry);
    // The data track second: found only in steps of the host's 12-byte entries.
    EXPECT_EQ(takes_part({entry(1, 0x00), entry(2, 0x04)}), e.tracks == TrackTableRule::kStep12);
}

TEST_P(PluginAbi, NullContextsAndEmptyResults) {
    const TrackEntry data = entry(1, 0x04);
    uint8_t sector[2352] = {};
    EXPECT_EQ(instance_->scan_sector(nullptr, data, 20, sector), 0);
    EXPECT_EQ(instance_->scan_result(nullptr, 0, nullptr), 0);
    instance_->scan_end(nullptr);

    ScanContext* context = instance_->scan_begin(1, &data);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(instance_->scan_sector(context, entry(1, 0x00), 20, sector), 0);  // not a data track
    StreamInfo info;
    std::memset(&info, 0x11, sizeof info);
    EXPECT_EQ(instance_->scan_result(context, 0, nullptr), -1);
    EXPECT_EQ(instance_->scan_result(context, -1, &info), -1);
    EXPECT_EQ(instance_->scan_result(context, 0, &info), -1);
    EXPECT_EQ(info.kind, 0x1111);  // not written
    instance_->scan_end(context);
}

TEST_P(PluginAbi, DecodeAsksForRoomFirst) {
    if (!GetParam().decodes) GTEST_SKIP();
    FrameBuffer frame{};
    std::array<int16_t, 3584> pcm;
    pcm.fill(0x5555);
    EXPECT_EQ(instance_->decode_audio(&frame, nullptr, 0), 7168u);
    EXPECT_EQ(instance_->decode_audio(&frame, pcm.data(), 7167), 7168u);
    EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](int16_t v) { return v == 0x5555; }));
}

INSTANTIATE_TEST_SUITE_P(AllPlugins, PluginAbi, ::testing::ValuesIn(kPlugins),
                         [](const ::testing::TestParamInfo<Expected>& p) { return std::string(p.param.file); });
