// What quorvex knows of a disc after a scan: the streams every plug-in found, the files of its
// directory that name them, and the groups that show each stream once.
#pragma once

#include <string>
#include <vector>

#include "disc_files.h"
#include "json_out.h"
#include "scan.h"
#include "stream_groups.h"
#include "stream_names.h"

namespace quorvex {

struct DiscSurvey {
    ScanReport report;
    DiscDirectory directory;
    std::string boot_file;
    std::vector<StreamPlace> places;  // one per report.streams
    std::vector<StreamGroup> groups;
};

// Scans `disc` and names and groups its streams. A disc without a readable directory keeps the
// sector names, said through `warn` (prefixed with `image`) when it has streams.
bool survey_disc(uint32_t disc, const std::string& image, const std::vector<const PluginFile*>& plugins,
                 DiscSurvey& survey, std::string& error, const Warn& warn, const ScanProgress& progress = {});

// A stream as scan --json shows it: the plug-in's description and its plain forms, the host's
// judgement, and its place on the disc (file, channel, name).
Json found_stream_json(const FoundStream& stream, const StreamPlace& place);

}  // namespace quorvex
