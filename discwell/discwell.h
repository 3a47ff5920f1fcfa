// discwell's host-side API: how a host opens disc images, lists their tracks and reads them
// sequentially for a scan. Plug-ins never call these; they use the five Cd operations only.
#pragma once

#include <cstdint>

#include "../contract/sector_library.h"

extern "C" {

enum DwTrackMode : uint8_t { DW_TRACK_AUDIO = 0, DW_TRACK_MODE1 = 1, DW_TRACK_MODE2 = 2 };

struct DwTrack {
    uint8_t number;
    uint8_t control;  // 0x04 for a data track
    uint8_t mode;     // DwTrackMode
    uint8_t reserved;
    uint32_t first_lba;
    uint32_t sector_count;
};

// What went wrong, by kind; DwErrorText gives each a line of text (the messages themselves name
// the file and the details).
enum DwError : int32_t {
    DW_OK = 0,
    DW_ERROR_CANNOT_OPEN = 1,  // a file the image needs is missing, unreadable or not a regular file
    DW_ERROR_TOO_LARGE = 2,    // a control file (a CUE sheet, a CloneCD .ccd) past its size limit
    DW_ERROR_UNSUPPORTED = 3,  // an image of a kind discwell does not read
    DW_ERROR_MALFORMED = 4,    // the image's own structure is broken or inconsistent
    DW_ERROR_READ = 5,         // reading the image failed
    DW_ERROR_INVALID_ARGUMENT = 6,
};
DISCWELL_API const char* CD_CALL DwErrorText(int32_t code);

// How image files are read: with pread in blocks (the default), or through a read-only mapping
// (each copy out of it guarded, so that a file that shrinks fails a read instead of faulting).
enum DwIoMode : int32_t { DW_IO_DEFAULT = 0, DW_IO_MMAP = 1, DW_IO_READ = 2 };

struct DwStats {
    uint32_t readers_open;      // readers opened and not yet closed
    uint32_t readers_opened;    // all readers ever opened
    uint32_t buffers_locked;    // buffers held by callers now
    uint32_t max_buffers_held;  // most buffers one reader held at once
    uint32_t sectors_read;      // sectors delivered by CdReadSector
    int32_t last_buffer_setting;  // as the latest CdReadOpen was given it
    uint32_t last_read_pointer;   // the offset the latest CdSetReadPointer asked for
};

// Fault injection for tests: each counter says how many operations of its kind still succeed before
// the next one fails; a negative value means none fails. Once reads start failing, `read_failures`
// reads in a row fail (at least one); opens and seeks fail once.
struct DwFaults {
    int32_t opens_before_failure;
    int32_t reads_before_failure;
    int32_t read_failures;
    int32_t seeks_before_failure;
};

// Whether a file is a disc image, judged by its content as DwOpenImage judges it, without opening
// the image: DW_PROBE_IMAGE; DW_PROBE_UNREADABLE for an image of a kind discwell refuses (a cooked
// 2048-byte image, a compressed image of an unknown kind) or one whose files are not all there (a
// CUE sheet naming a missing BIN); DW_PROBE_NOT_IMAGE for anything else
// (text, pictures, archives, a file that cannot be opened). `parts` receives the other files the
// image consists of (the track files a CUE sheet names, the .img and .sub of a CloneCD set), each
// ending in NUL, the list ending in an empty name; `parts_needed` the bytes the whole list takes.
// A list that does not fit is left out: call again with a larger buffer. `format`, when given,
// receives the name of the image's format ("CHD", "CUE sheet", "raw sectors"...), text that
// discwell keeps for as long as it is loaded; for a file that is no image, what it is when
// discwell knows ("a ZIP archive"), else NULL. `format_id`, when
// given, receives the format as a DwFormat, for decisions (DW_FORMAT_NONE for no image).
enum DwProbe : int32_t { DW_PROBE_NOT_IMAGE = 0, DW_PROBE_IMAGE = 1, DW_PROBE_UNREADABLE = 2 };
enum DwFormat : int32_t {
    DW_FORMAT_NONE = 0,
    DW_FORMAT_CUE = 1,
    DW_FORMAT_CHD = 2,
    DW_FORMAT_ECM = 3,
    DW_FORMAT_PBP = 4,
    DW_FORMAT_CLONECD = 5,
    DW_FORMAT_RAW = 6,
    DW_FORMAT_REFUSED = 7,  // an archive or a compressed image of a kind discwell does not read
};
DISCWELL_API int32_t CD_CALL DwProbeImage(const char* path, char* parts, uint32_t parts_size, uint32_t* parts_needed,
                                          const char** format, int32_t* format_id);

// The title an image holds for people (a PBP file's, from its PARAM.SFO), in UTF-8 as stored,
// copied into `title` with a NUL (cut to fit `title_size`); returns the bytes the whole title takes
// with its NUL, 0 when the image holds none.
DISCWELL_API uint32_t CD_CALL DwImageTitle(const char* path, char* title, uint32_t title_size);

// Opens an image (a .cue sheet, a CHD, ECM, PBP or CloneCD file, or bare raw sectors): DW_OK, or
// the kind of failure (DwError) with one line naming the file and the problem in `error`.
DISCWELL_API int32_t CD_CALL DwOpenImage(const char* path, int32_t io_mode, uint32_t* disc, char* error,
                                         uint32_t error_size);
// An in-memory disc holding a copy of `sector_count` raw sectors. With no tracks given it is one
// Mode 2 data track over every sector.
DISCWELL_API int32_t CD_CALL DwOpenMemory(const uint8_t* sectors, uint32_t sector_count, const DwTrack* tracks,
                                          int32_t track_count, uint32_t* disc);
// The disc `base` with `count` of its sectors replaced: `lbas` ascending, the 2352-byte sectors
// one after the other in `sectors` (copied). The new disc reads every other sector from `base`,
// which stays open as long as either is.
DISCWELL_API int32_t CD_CALL DwOpenPatched(uint32_t base, const uint32_t* lbas, const uint8_t* sectors, uint32_t count,
                                           uint32_t* disc);
DISCWELL_API void CD_CALL DwClose(uint32_t disc);

DISCWELL_API uint32_t CD_CALL DwSectorCount(uint32_t disc);
DISCWELL_API int32_t CD_CALL DwTrackCount(uint32_t disc);
DISCWELL_API int32_t CD_CALL DwGetTrack(uint32_t disc, int32_t index, DwTrack* track);

// Sequential reading of a range for a scan: each call gives the next run of consecutive raw sectors,
// read-only and valid until the next call; 0 at the end or on a read error (see DwScanError).
struct DwScan;
DISCWELL_API DwScan* CD_CALL DwScanOpen(uint32_t disc, uint32_t first_lba, uint32_t sector_count);
DISCWELL_API uint32_t CD_CALL DwScanNext(DwScan* scan, const uint8_t** sectors);
DISCWELL_API const char* CD_CALL DwScanError(const DwScan* scan);
DISCWELL_API void CD_CALL DwScanClose(DwScan* scan);

// A read of `disc` that failed on this thread and was not got past: the plug-in that made it saw
// only a null sector. Returns 1 with the sector and the cause, and forgets it; 0 when there is none.
DISCWELL_API int32_t CD_CALL DwTakeReadError(uint32_t disc, uint32_t* lba, char* cause, uint32_t cause_size);

// Shows the host the sectors plug-ins read of `disc` on this thread, as they are delivered: `tap`
// is called with each sector's LBA and its 2352 bytes until a null tap takes its place. A host
// checksums what a stream was read from this way, without a pass of its own.
typedef void(CD_CALL* DwSectorTap)(void* context, uint32_t lba, const uint8_t* sector);
DISCWELL_API void CD_CALL DwTapReads(uint32_t disc, DwSectorTap tap, void* context);

DISCWELL_API void CD_CALL DwGetStats(uint32_t disc, DwStats* stats);
DISCWELL_API void CD_CALL DwSetFaults(uint32_t disc, const DwFaults* faults);

}  // extern "C"
