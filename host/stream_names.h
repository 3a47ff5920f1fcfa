// Streams named by the disc files they lie in: "MOVIE/OPENING.STR" channel 1 becomes
// "MOVIE_OPENING.STR-ch1", an archive's third track "BGM.MRG-track3". A stream outside any file
// keeps the name of its plug-in, number and first sector ("walcite-00-lba000028").
#pragma once

#include <string>
#include <vector>

#include "disc_files.h"
#include "scan.h"

namespace quorvex {

struct StreamPlace {
    const DiscFile* file = nullptr;  // the disc file holding the stream's first sector
    int channel = -1;                // the channel of the stream's own sectors; -1 for none
    std::string base_name;           // a file name, safe on every system and unique within its plug-in's list; the
                                     // survey makes it unique on the disc (DiscSurvey::names)
};

// The channel of a stream: that of the first of its sectors that carries one.
int stream_channel(const ScanReport& report, const StreamInfo& info);

// A place for each of `report.streams`, in the same order. Several streams of one plug-in in one
// file and channel are numbered after the name ("-1", "-2") in the plug-in's order.
std::vector<StreamPlace> place_streams(const ScanReport& report, const DiscDirectory& directory);

// The name quorvex gives a stream that lies in no file.
std::string lba_name(const FoundStream& stream);

// `text` made into one safe file name: letters, digits, '.', '-' and '_' stay, '/' becomes '_',
// anything else '_'; never empty, never starting with a dot.
std::string safe_file_name(const std::string& text);

}  // namespace quorvex
