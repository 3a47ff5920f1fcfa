// Defines a plug-in's exported entry points by forwarding to its family's implementation, a class
// with static member functions of the same shapes. Include this in exactly one source per plug-in.
#pragma once

#include "psr_interface.h"

#define PSR_DEFINE_ENTRY_POINTS(Impl)                                                                      \
    extern "C" {                                                                                           \
    PSR_EXPORT void PSR_CALL PsrQueryPlugin(PluginInfo* info) { Impl::query_plugin(info); }                \
    PSR_EXPORT ScanContext* PSR_CALL PsrIsSupportCDBegin(int32_t track_count, const TrackEntry* tracks) {  \
        return Impl::scan_begin(track_count, tracks);                                                      \
    }                                                                                                      \
    PSR_EXPORT int32_t PSR_CALL PsrIsSupportCDSector(ScanContext* context, TrackEntry track, uint32_t lba, \
                                                     const uint8_t* sector) {                              \
        return Impl::scan_sector(context, track, lba, sector);                                             \
    }                                                                                                      \
    PSR_EXPORT int32_t PSR_CALL PsrIsSupportCDResult(ScanContext* context, int32_t index, StreamInfo* info) { \
        return Impl::scan_result(context, index, info);                                                    \
    }                                                                                                      \
    PSR_EXPORT void PSR_CALL PsrIsSupportCDEnd(ScanContext* context) { Impl::scan_end(context); }          \
    PSR_EXPORT int32_t PSR_CALL PsrGetStrDataInfo(uint32_t disc, uint32_t start_sector,                    \
                                                  uint32_t sector_count, StreamInfo* info) {               \
        return Impl::describe(disc, start_sector, sector_count, info);                                     \
    }                                                                                                      \
    PSR_EXPORT StreamHandle* PSR_CALL PsrOpenCD(uint32_t disc, const StreamInfo* info) {                   \
        return Impl::open(disc, info);                                                                     \
    }                                                                                                      \
    PSR_EXPORT int32_t PSR_CALL PsrRead(StreamHandle* stream, FrameBuffer* frame) {                        \
        return Impl::read(stream, frame);                                                                  \
    }                                                                                                      \
    PSR_EXPORT int32_t PSR_CALL PsrSeek(StreamHandle* stream, uint32_t position_ms) {                      \
        return Impl::seek(stream, position_ms);                                                            \
    }                                                                                                      \
    PSR_EXPORT int32_t PSR_CALL PsrClose(StreamHandle* stream) { return Impl::close(stream); }             \
    }

#define PSR_DEFINE_DECODE_ENTRY_POINT(Impl)                                                                 \
    extern "C" PSR_EXPORT uint32_t PSR_CALL PsrDecodeAudio(const FrameBuffer* frame, int16_t* pcm,         \
                                                           uint32_t pcm_capacity) {                        \
        return Impl::decode_audio(frame, pcm, pcm_capacity);                                               \
    }
