// Writing one stream to its outputs: a first pass surveys what the plug-in delivers and builds the
// timeline, a second feeds every output, and the outputs are put in place together, or none is.
#pragma once

#include <string>
#include <vector>

#include "output_formats.h"
#include "outputs.h"

namespace quorvex {

// One output: its entry in the output table, and where it goes.
struct OutputTarget {
    const OutputFormat* format;
    std::string path;
};

struct WrittenStream {
    StreamDelivery delivery;
    PlaybackCounts playback;  // the second pass, which fed the outputs
    Timeline timeline;
    std::vector<OutputTarget> targets;
    std::vector<OutputReport> reports;  // one per output, in the order of the targets
    std::vector<uint32_t> undecodable_frames;
    StreamState state = StreamState::kWhole;  // whole or cut, as written
    std::string note;                          // what is wrong with a cut stream
    bool cut() const { return state == StreamState::kCut; }
    bool interrupted() const { return delivery.counts.interrupted || playback.interrupted; }
    std::string sectors_sha256;  // with OutputOptions::digest_sectors
};

// Writes `context`'s stream to every output of `targets`. False with `error` set when nothing was
// put in place. `context` gets the survey and timeline (they live in `written`).
bool write_stream(StreamContext& context, const std::vector<OutputTarget>& targets, const OutputOptions& options,
                  WrittenStream& written, std::string& error);

}  // namespace quorvex
