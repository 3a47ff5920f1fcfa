// What `quorvex replace` is asked to do.
#pragma once

#include <optional>
#include <string>

#include "../commands.h"
#include "../errors.h"

namespace quorvex {

struct ReplaceRequest {
    std::string plugin_directory;
    StreamChoice stream;
    std::string video;      // a video file, or a folder of pictures named by frame number
    std::string subtitles;  // .srt or .ass, burnt into the pictures
    std::string sound;      // a sound file
    std::string output;     // the new image: .cue (with its .bin) or .chd
    std::string patch;      // .xdelta or .ppf against the input's BIN
    bool fit = false;            // take pictures at the stream's frame times
    bool allow_coarse = false;   // write frames below min_psnr
    double min_psnr = 25;
    std::string size_limit = "room";  // each new frame's most bytes: "room", "original" or a number
    std::string plan;                 // a plan of several streams' changes, in place of the five above
    std::optional<uint32_t> jobs;
};

Outcome run_replace(const ReplaceRequest& request);

}  // namespace quorvex
