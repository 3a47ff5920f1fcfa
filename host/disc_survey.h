// What quorvex knows of a disc after a scan: the streams every plug-in found, the files of its
// directory that name them, and the groups that show each stream once.
#pragma once

#include <optional>
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

    // One identity per stream. The disc's listing shows each group once, by its chosen split, in
    // the groups' order; a listed stream's number is its place there, from 1. Every stream has a
    // name of its own on the disc: a listed one the name of its file and channel (with its
    // plug-in, then "-2", "-3" after a name taken already), one that only --all lists its
    // plug-in's name and its index there ("velocet-0").
    std::vector<size_t> listing;     // indexes into report.streams
    std::vector<uint32_t> numbers;   // per stream: from 1, or 0 where the listing leaves it out
    std::vector<std::string> names;  // per stream
    std::vector<int> shown_for;      // per stream: the group (index into groups) it is shown for, or -1

    // The stream a user names: by its name, or by its number in the listing; none for neither.
    std::optional<size_t> find(const std::string& name_or_number) const;
};

// Scans `disc` and names and groups its streams. A disc without a readable directory keeps the
// sector names, said through `warn` (prefixed with `image`) when it has streams.
bool survey_disc(uint32_t disc, const std::string& image, const std::vector<const PluginFile*>& plugins,
                 DiscSurvey& survey, std::string& error, const Warn& warn, const ScanProgress& progress = {});

// The disc's name for tags and titles: the title its image holds (a PBP's), else its image's name
// without the extension (a volume
// identifier such as FULL_MOVIES is a disc's internal name, not the one people know it by), never
// a rip's folder name with its -2.
std::string disc_title(const std::string& image);

// Numbers and names the streams of a survey whose groups are made (survey_disc does this).
void identify_streams(DiscSurvey& survey);

// A stream as scan --json shows it: its number and name, the plug-in's description and its plain
// forms, the host's judgement, and its place on the disc (file, channel).
Json found_stream_json(const DiscSurvey& survey, size_t stream);

}  // namespace quorvex
