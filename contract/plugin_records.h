// The records that cross between the host and a plug-in. Their byte layout is fixed: host,
// plug-ins and sector library are built separately, so no field may move.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Filled by PsrQueryPlugin.
struct PluginInfo {
    char name[49];
    char copyright[81];
    uint16_t plugin_version;     // hundredths
    uint16_t extra_version;      // 0 or 100
    uint16_t interface_version;  // 230 or 220
    char library[81];            // interface 230 only
    char home_url[295];          // interface 230 only
};

// One entry of the disc's track table as the host builds it. Plug-ins read byte 1 only.
struct TrackEntry {
    uint8_t bytes[12];  // 0 track number, 1 control, 2-3 zero, 4-7 first LBA, 8-11 sector count
};

// One stream's description. Interface-220 plug-ins use the first 40 bytes only.
struct StreamInfo {
    uint16_t kind;
    uint16_t reserved;
    uint32_t start_sector;
    uint32_t sector_count;
    uint32_t duration_ms;
    uint32_t frame_count;
    uint32_t width;
    uint32_t height;
    uint16_t frame_rate;  // tenths of a frame per second
    uint16_t has_audio;
    uint16_t channels;
    uint16_t bits_per_sample;
    uint32_t sample_rate;
    uint32_t payload_bytes;  // interface 230 only
};

// The payload capacity every host provides; no plug-in writes at or past it.
inline constexpr uint32_t kFrameBufferCapacity = 131072;

// Output of PsrRead, input of PsrDecodeAudio: a 20-byte header and the payload.
struct FrameBuffer {
    uint32_t frame_number;
    uint32_t width;
    uint32_t height;
    uint16_t frame_rate;
    uint16_t reserved;
    uint32_t payload_size;
    uint8_t payload[kFrameBufferCapacity];
};

// Handles: opaque to the host. Each family keeps its own state behind them.
struct ScanContext;
struct StreamHandle;
struct SectorReader;

}  // extern "C"

namespace psr {

inline constexpr uint8_t kControlDataTrack = 0x04;
inline constexpr uint32_t kFrameHeaderSize = 20;
inline constexpr uint32_t kStreamInfoSize220 = 40;
inline constexpr uint32_t kStreamInfoSize230 = 44;

// StreamInfo.kind flags.
inline constexpr uint16_t kKindVideo = 0x01;
inline constexpr uint16_t kKindAudio = 0x02;
inline constexpr uint16_t kKindVariableRate = 0x10;
inline constexpr bool is_video(const StreamInfo& i) { return (i.kind & kKindVideo) != 0; }
inline constexpr bool is_audio(const StreamInfo& i) { return (i.kind & kKindAudio) != 0; }
inline constexpr bool varies_in_rate(const StreamInfo& i) { return (i.kind & kKindVariableRate) != 0; }

// The width of the PCM that any audio decodes to.
inline constexpr uint16_t kBitsPerSample = 16;

}  // namespace psr

static_assert(offsetof(PluginInfo, name) == 0);
static_assert(offsetof(PluginInfo, copyright) == 49);
static_assert(offsetof(PluginInfo, plugin_version) == 130);
static_assert(offsetof(PluginInfo, extra_version) == 132);
static_assert(offsetof(PluginInfo, interface_version) == 134);
static_assert(offsetof(PluginInfo, library) == 136);
static_assert(offsetof(PluginInfo, home_url) == 217);
static_assert(sizeof(PluginInfo) == 512);

static_assert(sizeof(TrackEntry) == 12);
static_assert(offsetof(TrackEntry, bytes) == 0);

static_assert(offsetof(StreamInfo, kind) == 0);
static_assert(offsetof(StreamInfo, reserved) == 2);
static_assert(offsetof(StreamInfo, start_sector) == 4);
static_assert(offsetof(StreamInfo, sector_count) == 8);
static_assert(offsetof(StreamInfo, duration_ms) == 12);
static_assert(offsetof(StreamInfo, frame_count) == 16);
static_assert(offsetof(StreamInfo, width) == 20);
static_assert(offsetof(StreamInfo, height) == 24);
static_assert(offsetof(StreamInfo, frame_rate) == 28);
static_assert(offsetof(StreamInfo, has_audio) == 30);
static_assert(offsetof(StreamInfo, channels) == 32);
static_assert(offsetof(StreamInfo, bits_per_sample) == 34);
static_assert(offsetof(StreamInfo, sample_rate) == 36);
static_assert(offsetof(StreamInfo, payload_bytes) == 40);
static_assert(sizeof(StreamInfo) == 44);

static_assert(offsetof(FrameBuffer, frame_number) == 0);
static_assert(offsetof(FrameBuffer, width) == 4);
static_assert(offsetof(FrameBuffer, height) == 8);
static_assert(offsetof(FrameBuffer, frame_rate) == 12);
static_assert(offsetof(FrameBuffer, reserved) == 14);
static_assert(offsetof(FrameBuffer, payload_size) == 16);
static_assert(offsetof(FrameBuffer, payload) == 20);
static_assert(sizeof(FrameBuffer) == 20 + kFrameBufferCapacity);
