// The five operations of the sector library, discwell, that plug-ins import by name.
#pragma once

#include "plugin_records.h"

#if defined(_WIN32)
#define CD_CALL __cdecl
#if defined(DISCWELL_BUILDING)
#define DISCWELL_API __declspec(dllexport)
#else
#define DISCWELL_API __declspec(dllimport)
#endif
#else
#define CD_CALL
#define DISCWELL_API __attribute__((visibility("default")))
#endif

extern "C" {

// Opens `sector_count` sectors from absolute LBA `first_sector`; null on failure.
DISCWELL_API SectorReader* CD_CALL CdReadOpen(uint32_t disc, int32_t reserved, uint32_t first_sector,
                                              uint32_t sector_count, int32_t buffer_setting);
// The next sector of the range in a locked 2352-byte buffer, or null when exhausted or failed.
DISCWELL_API uint8_t* CD_CALL CdReadSector(SectorReader* reader, int32_t reserved);
// Gives a locked buffer back.
DISCWELL_API int32_t CD_CALL CdUnlockReadBuffer(SectorReader* reader, uint8_t* buffer);
// Positions the next read at `offset` sectors from the range's start; -1 on failure.
DISCWELL_API int32_t CD_CALL CdSetReadPointer(SectorReader* reader, uint32_t offset, int32_t reserved);
// Closes the reader and releases every buffer still locked under it.
DISCWELL_API int32_t CD_CALL CdReadClose(SectorReader* reader);

}  // extern "C"

namespace psr {
// The buffer settings plug-ins pass to CdReadOpen.
inline constexpr int32_t kBufferSettingMovie = 8;
inline constexpr int32_t kBufferSettingDefault = -1;
}  // namespace psr
