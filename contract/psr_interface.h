// The Psr entry points that every plug-in exports under these plain names, C linkage, cdecl.
#pragma once

#include "plugin_records.h"

#if defined(_WIN32)
#define PSR_CALL __cdecl
#define PSR_EXPORT __declspec(dllexport)
#else
#define PSR_CALL
#define PSR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

using PsrQueryPluginFn = void(PSR_CALL*)(PluginInfo* info);
using PsrIsSupportCDBeginFn = ScanContext*(PSR_CALL*)(int32_t track_count, const TrackEntry* tracks);
using PsrIsSupportCDSectorFn = int32_t(PSR_CALL*)(ScanContext* context, TrackEntry track, uint32_t lba,
                                                  const uint8_t* sector);
using PsrIsSupportCDResultFn = int32_t(PSR_CALL*)(ScanContext* context, int32_t index, StreamInfo* info);
using PsrIsSupportCDEndFn = void(PSR_CALL*)(ScanContext* context);
using PsrGetStrDataInfoFn = int32_t(PSR_CALL*)(uint32_t disc, uint32_t start_sector, uint32_t sector_count,
                                               StreamInfo* info);
using PsrOpenCDFn = StreamHandle*(PSR_CALL*)(uint32_t disc, const StreamInfo* info);
using PsrReadFn = int32_t(PSR_CALL*)(StreamHandle* stream, FrameBuffer* frame);
using PsrSeekFn = int32_t(PSR_CALL*)(StreamHandle* stream, uint32_t position_ms);
using PsrCloseFn = int32_t(PSR_CALL*)(StreamHandle* stream);
using PsrDecodeAudioFn = uint32_t(PSR_CALL*)(const FrameBuffer* frame, int16_t* pcm, uint32_t pcm_capacity);

}  // extern "C"

namespace psr {

// The names a host binds; the last one exists in the archive plug-ins only.
inline constexpr const char* kEntryPointNames[] = {
    "PsrQueryPlugin", "PsrIsSupportCDBegin", "PsrIsSupportCDSector", "PsrIsSupportCDResult",
    "PsrIsSupportCDEnd", "PsrGetStrDataInfo", "PsrOpenCD", "PsrRead",
    "PsrSeek", "PsrClose", "PsrDecodeAudio",
};
inline constexpr int kRequiredEntryPoints = 10;

}  // namespace psr
