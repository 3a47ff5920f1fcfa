// Several streams of one disc replaced in one run, as a plan file names them:
//   {"streams": [{"stream": NAME or NUMBER, "video": PATH, "subtitles": PATH, "sound": PATH,
//                 "fit": BOOL, "size_limit": "room" | "original" | BYTES}, ...]}
// Paths are taken from the plan's folder. One new image, one patch, one report come of it.
#pragma once

#include <vector>

#include "replace_request.h"

namespace quorvex {

// The requests of the plan `base.plan`: each `base` (its image, outputs, --min-psnr and -j) with
// one entry's stream and changes. A plan that is not one, names a stream twice or an entry that
// changes nothing is an error naming the plan and the entry.
Outcome read_plan(const ReplaceRequest& base, std::vector<ReplaceRequest>& parts);

}  // namespace quorvex
