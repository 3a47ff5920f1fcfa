// Sectors made to order for plug-in tests, and a driver that scans a disc image the way the host
// does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "contract/plugin_records.h"
#include "contract/raw_sector.h"
#include "discbuilder/disc_image.h"

namespace testing_support {

// An STR video chunk: header fields, the MDEC header in the first chunk, and filler data.
struct Chunk {
    uint16_t magic = 0x0160;
    uint16_t type = 0x8001;
    uint16_t index = 0;
    uint16_t count = 1;
    uint32_t frame = 1;
    uint32_t bytes = 1500;
    uint16_t width = 320;
    uint16_t height = 240;
    uint32_t word16 = 0;  // replaces width and height when set (tamsel's headers have 0)
    bool zero_size = false;
    uint32_t word20 = 0, word24 = 0, word28 = 0;
    uint16_t junk_words = 0;  // words before the MDEC header (first chunks)
    uint16_t mdec_word2 = 2;  // scale, or the width
    uint16_t mdec_word3 = 2;  // version, or the height
    bool mdec_header = true;  // a first chunk carries the MDEC header
    uint8_t fill = 0;         // filler bytes of the data; 0: a pattern from frame and index
    uint8_t submode = 0x48;
    uint8_t channel = 0;
    uint8_t file = 1;
};

void put_chunk(discbuilder::DiscImage& disc, uint32_t lba, const Chunk& chunk);
// The 2016 data bytes a chunk carries (after its 32-byte header), as put_chunk writes them.
std::vector<uint8_t> chunk_data(const Chunk& chunk);

struct Audio {
    uint8_t coding = 0x01;
    uint8_t submode = 0x64;
    uint8_t channel = 0;
    uint8_t file = 1;
    int fill = -1;  // every byte this value; -1: the sector's LBA, then a pattern
};
void put_audio(discbuilder::DiscImage& disc, uint32_t lba, const Audio& audio = {});
std::vector<uint8_t> audio_data(uint32_t lba, const Audio& audio = {});
// An audio sector of file 1 on `channel`.
void put_channel_audio(discbuilder::DiscImage& disc, uint32_t lba, uint8_t channel, uint8_t submode = 0x64,
                       uint8_t coding = 0x01);

// A plain data sector whose user data starts with `head`.
void put_data(discbuilder::DiscImage& disc, uint32_t lba, std::vector<uint8_t> head = {0xDA, 0x7A},
              uint8_t submode = 0x08);

inline TrackEntry data_track_entry() {
    TrackEntry e{};
    e.bytes[0] = 1;
    e.bytes[1] = 0x04;
    return e;
}

// Runs a scan through the plug-in's entry points, sector by sector, asking at any point what it
// reports.
template <class Plugin>
class StepScan {
public:
    explicit StepScan(discbuilder::DiscImage& d) : bytes_(d.bytes()), track_(data_track_entry()) {
        context_ = Plugin::scan_begin(1, &track_);
    }
    ~StepScan() { Plugin::scan_end(context_); }
    StepScan& feed(uint32_t from, uint32_t to) {
        for (uint32_t lba = from; lba < to; ++lba) Plugin::scan_sector(context_, track_, lba, bytes_.data() + size_t{lba} * 2352);
        return *this;
    }
    StepScan& finish(uint32_t lba) {
        Plugin::scan_sector(context_, track_, lba, nullptr);
        return *this;
    }
    int32_t count() { return std::max(0, Plugin::scan_result(context_, 0, nullptr)); }
    StreamInfo info(int32_t i) {
        StreamInfo out{};
        EXPECT_GT(Plugin::scan_result(context_, i, &out), 0) << "stream " << i;
        return out;
    }
    std::vector<StreamInfo> results() {
        std::vector<StreamInfo> out;
        for (int32_t i = 0; i < count(); ++i) {
            StreamInfo info{};
            if (Plugin::scan_result(context_, i, &info) > 0) out.push_back(info);
        }
        return out;
    }
    ScanContext* context() { return context_; }

private:
    std::span<const uint8_t> bytes_;
    TrackEntry track_;
    ScanContext* context_;
};

// Scans a whole image with a plug-in family class (static scan_begin, scan_sector, ...) and
// returns the StreamInfo of every stream it reports.
template <class Plugin>
std::vector<StreamInfo> scan_image(discbuilder::DiscImage& image, uint32_t from = 0) {
    const auto bytes = image.bytes();
    const TrackEntry track = data_track_entry();
    ScanContext* context = Plugin::scan_begin(1, &track);
    std::vector<StreamInfo> found;
    if (!context) return found;
    for (uint32_t lba = from; lba < image.sector_count(); ++lba) {
        if (!Plugin::scan_sector(context, track, lba, bytes.data() + size_t{lba} * 2352)) break;
    }
    Plugin::scan_sector(context, track, image.sector_count(), nullptr);
    const int32_t count = Plugin::scan_result(context, 0, nullptr);
    for (int32_t i = 0; i < count; ++i) {
        StreamInfo info{};
        if (Plugin::scan_result(context, i, &info) == count) found.push_back(info);
    }
    Plugin::scan_end(context);
    return found;
}

}  // namespace testing_support
