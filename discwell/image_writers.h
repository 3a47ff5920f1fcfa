// Writers of disc images, beside the readers: a disc whose sectors come from a feed (an image read
// by discwell with some sectors changed, or a disc built in memory) written as a CHD, as BIN
// files with their CUE sheet, or as a patch of a BIN. Each streams: it holds a hunk or a run of
// sectors at a time, never the disc. A static library the host and the disc builder share; the
// plug-ins' sector library does not carry it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "cue_sheet.h"

namespace discwell {

// A track as an image holds it: its sectors from INDEX 01 on, and the pregap before it the image
// stores (INDEX 00), all on the disc's LBA scale.
struct TrackSpan {
    uint8_t number = 1;
    bool audio = false;
    uint32_t first_lba = 0;      // INDEX 01
    uint32_t sectors = 0;        // from INDEX 01 to the next track's pregap, or the end
    uint32_t pregap = 0;         // sectors before INDEX 01 that the image holds (INDEX 00)
    uint8_t mode = 2;            // a data track's mode (1 or 2)
    uint32_t silent_pregap = 0;  // sectors before those that no file holds (a CUE sheet's PREGAP)
};

// Where a writer takes the disc's raw 2352-byte sectors from.
class SectorFeed {
public:
    virtual ~SectorFeed() = default;
    virtual uint32_t sector_count() const = 0;
    // Copies `count` sectors from `lba` into `out`; false with `error` saying why.
    virtual bool read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const = 0;
};

// A disc held in memory.
class MemoryFeed : public SectorFeed {
public:
    explicit MemoryFeed(std::span<const uint8_t> sectors) : sectors_(sectors) {}
    uint32_t sector_count() const override { return static_cast<uint32_t>(sectors_.size() / 2352); }
    bool read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const override;

private:
    std::span<const uint8_t> sectors_;
};

// How far a writer has got, in sectors of the disc.
using WriteProgress = std::function<void(uint32_t done, uint32_t total)>;

// ---- CHD ----

enum class ChdCodec { kZstd, kDeflate, kNone };

// A CHD of version 5 as `chdman createcd` lays it out: header, track metadata, hunks of eight
// 2448-byte frames (each track padded to four frames), the hunk map. Hunks are compressed by the
// CD codec asked for (cdzs: Zstandard, cdzl: Deflate) with the sync and parity of sectors that
// can make them again left out; a hunk that does not shrink is stored whole, and one equal to an
// earlier hunk as a copy of it. The header carries the SHA-1 sums chdman verify checks.
bool write_chd(const SectorFeed& feed, const std::vector<TrackSpan>& tracks, ChdCodec codec, const std::string& path,
               std::string& error, const WriteProgress& progress = {});

// ---- BIN/CUE ----

// A BIN file of a CUE sheet: a run of the disc's sectors.
struct BinFile {
    std::string name;  // as the sheet names it, beside it
    uint32_t first_lba = 0, sector_count = 0;
};

// The sheet naming `files` for `tracks`: a FILE line where each file begins, each track with its
// mode, INDEX 00 where the file holds its pregap, INDEX 01; PREGAP where a track's pregap lies in
// no file.
std::string cue_sheet(const std::vector<TrackSpan>& tracks, const std::vector<BinFile>& files);

// Writes the sectors of `file` from the feed to `path`.
bool write_bin(const SectorFeed& feed, const BinFile& file, const std::string& path, std::string& error,
               const WriteProgress& progress = {});

// A changed sector: where it lies in its file, and its bytes before and after.
struct ChangedSector {
    uint64_t offset = 0;
    const uint8_t* before = nullptr;
    const uint8_t* after = nullptr;
};

// ---- A CUE image copied with some sectors changed ----

// A CUE image as its sheet lays it out: the sheet's text, its track files and where each of the
// disc's sectors lies in them (placed as discwell's reader places them). Copied, every line of the
// sheet stays as it was but the FILE names, and each track file is copied byte for byte with the
// changed sectors put in: pregaps, INDEX 00, PREGAP and POSTGAP, FLAGS and REM lines all kept.
struct CueCopy {
    struct File {
        std::string path;  // the input track file
        std::string name;  // as the new sheet names it
        uint64_t bytes = 0;
    };
    std::string text;
    CueSheet sheet;
    std::vector<File> files;
    std::vector<PlacedTrack> placed;

    // The file and byte offset holding the disc's sector `lba`; false where no file holds it (a
    // PREGAP's silence).
    bool locate(uint32_t lba, size_t& file, uint64_t& offset) const;
    // The sheet with the new names.
    std::string renamed_sheet() const;
};

// Reads the sheet at `cue_path` and names its files after `stem` (STEM.bin, or "STEM (Track NN).bin"
// for each of several). False with `error` when the sheet or a file cannot be read, or a track
// file is not raw 2352-byte sectors (an ECM or 2448-byte file is written anew instead).
bool read_cue_copy(const std::string& cue_path, const std::string& stem, CueCopy& copy, std::string& error);

// Copies the file `from` to `to`, with `changes` (in ascending order of offset) put in.
bool write_changed_copy(const std::string& from, const std::vector<ChangedSector>& changes, const std::string& to,
                        std::string& error);

// ---- Patches of a BIN ----

// A VCDIFF delta (RFC 3284, as xdelta3 applies it) that turns the BIN `original` (read from the
// feed, `bin_bytes` long) into the same with `changes` (in ascending order of offset): windows of
// at most 4 MiB copying what is unchanged from the same place of the source and adding what
// changed, each with the Adler-32 of the window it makes, so that a source that differs where a
// window copies from fails the patch instead of giving a broken disc.
bool vcdiff_patch(const SectorFeed& original, uint64_t bin_bytes, const std::vector<ChangedSector>& changes,
                  std::vector<uint8_t>& patch, std::string& error);

// A PPF 3.0 patch of a BIN image with its block check (the 1024 bytes from 0x9320 of the original,
// which a PPF tool compares before applying: they tell one game from another, not a damaged dump
// of the same game) and no undo data. `description` is cut to its 50 bytes and padded.
bool ppf3_patch(const SectorFeed& original, uint64_t bin_bytes, const std::vector<ChangedSector>& changes,
                const std::string& description, std::vector<uint8_t>& patch, std::string& error);

}  // namespace discwell
