// The whole sequence a host puts a plug-in through, for fault injection and fuzzing: scan every
// sector, read the results, describe a range, then open each stream and read it to the end with
// seeks between reads, decoding archive blocks. It checks, as it goes, what must hold whatever
// the disc holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "contract/plugin_records.h"
#include "contract/raw_sector.h"
#include "discwell/discwell.h"

namespace testing_support {

struct SequenceReport {
    int32_t streams = 0;
    uint32_t units = 0;
    bool broke_a_rule = false;  // a payload past the buffer, a decoded length past its room, ...
};

template <class Plugin>
concept Decodes = requires(const FrameBuffer* f, int16_t* p, uint32_t c) { Plugin::decode_audio(f, p, c); };

// `sectors` are the disc's raw sectors (also opened as `disc` in the sector library); `seeks`
// supplies seek positions, cycled.
template <class Plugin>
SequenceReport run_host_sequence(uint32_t disc, std::span<const uint8_t> sectors, std::span<const uint32_t> seeks,
                                 uint32_t max_units = 2000) {
    SequenceReport report;
    const uint32_t count = static_cast<uint32_t>(sectors.size() / 2352);
    TrackEntry track{};
    track.bytes[0] = 1;
    track.bytes[1] = 0x04;
    psr::store_le32(track.bytes + 8, count);

    std::vector<StreamInfo> found;
    if (ScanContext* context = Plugin::scan_begin(1, &track)) {
        for (uint32_t lba = 0; lba < count; ++lba) {
            if (!Plugin::scan_sector(context, track, lba, sectors.data() + size_t{lba} * 2352)) break;
        }
        Plugin::scan_sector(context, track, count, nullptr);
        report.streams = Plugin::scan_result(context, 0, nullptr);
        for (int32_t i = 0; i < report.streams && i < 64; ++i) {
            StreamInfo info{};
            if (Plugin::scan_result(context, i, &info) > 0) found.push_back(info);
        }
        Plugin::scan_end(context);
    }
    StreamInfo described{};
    if (Plugin::describe(disc, 0, count, &described)) found.push_back(described);

    auto frame = std::make_unique<FrameBuffer>();
    std::vector<int16_t> pcm(kFrameBufferCapacity / 1024 * 1792 + 16);
    size_t seek = 0;
    for (const StreamInfo& info : found) {
        StreamHandle* stream = Plugin::open(disc, &info);
        if (!stream) continue;
        uint32_t units = 0;
        while (units < max_units && Plugin::read(stream, frame.get())) {
            ++units;
            if (frame->payload_size > kFrameBufferCapacity) report.broke_a_rule = true;
            if constexpr (Decodes<Plugin>) {
                const auto room = static_cast<uint32_t>(pcm.size() * 2 - 32);
                if (Plugin::decode_audio(frame.get(), pcm.data(), room) > room) report.broke_a_rule = true;
            }
            if (!seeks.empty() && units % 3 == 0) Plugin::seek(stream, seeks[seek++ % seeks.size()]);
        }
        report.units += units;
        Plugin::close(stream);
    }
    return report;
}

}  // namespace testing_support
