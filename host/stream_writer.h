// Writing one stream to its outputs: a first pass surveys what the plug-in delivers and builds the
// timeline, a second feeds every output, and the outputs are put in place together, or none is.
#pragma once

#include <string>
#include <vector>

#include "outputs.h"

namespace quorvex {

struct OutputTarget {
    enum class Kind { kUnitFolder, kMediaFile, kPictures } kind;
    std::string path;
};

struct WrittenStream {
    StreamSurvey survey;
    PlaybackCounts playback;  // the second pass, which fed the outputs
    Timeline timeline;
    std::vector<OutputTarget> targets;
    std::vector<OutputReport> reports;  // one per output, in the order of the targets
    std::vector<uint32_t> undecodable_frames;
    bool cut = false;  // the disc holds only part of the stream
    std::string cut_note;
    std::string sectors_sha256;  // with OutputOptions::digest_sectors
};

// Writes `context`'s stream to every output of `targets`. False with `error` set when nothing was
// put in place. `context` gets the survey and timeline (they live in `written`).
bool write_stream(StreamContext& context, const std::vector<OutputTarget>& targets, const OutputOptions& options,
                  WrittenStream& written, std::string& error);

}  // namespace quorvex
