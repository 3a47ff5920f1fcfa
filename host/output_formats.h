// The media files quorvex writes, one entry each: what a file of that kind is called, what it
// holds, how it keeps time, which codecs go into it, and whether it can go down a pipe. Every
// place that asks what an output is asks this table; a new container is one entry here and its
// handling in the media module.
#pragma once

#include <string>
#include <string_view>

namespace quorvex {

struct OutputFormat {
    std::string_view name;         // as --format takes it: "mkv"
    std::string_view extension;    // ".mkv"
    std::string_view muxer;        // libavformat's name for it
    std::string_view mime;         // as the viewer serves it
    bool pictures;                 // holds video (and sound); false: sound alone
    std::string_view sound_codec;  // libavcodec's encoder for the sound
    int time_base;                 // ticks a second its pictures are timed in; 0: one average frame
    bool constant_rate;            // one frame a tick (AVI)
    bool streams;                  // can be written to a pipe as it is made
};

inline constexpr OutputFormat kOutputFormats[] = {
    {"mkv", ".mkv", "matroska", "video/x-matroska", true, "flac", 1000, false, true},
    {"mp4", ".mp4", "mp4", "video/mp4", true, "aac", 90000, false, false},
    {"avi", ".avi", "avi", "video/x-msvideo", true, "pcm_s16le", 0, true, false},
    {"wav", ".wav", "wav", "audio/wav", false, "pcm_s16le", 0, false, true},
    {"flac", ".flac", "flac", "audio/flac", false, "flac", 0, false, true},
};

// The format of a file by its extension (any case), or by --format's name; null for none.
const OutputFormat* output_format_of(const std::string& path);
const OutputFormat* output_format_named(std::string_view name);

// The extension of a path in lower case (".mkv"), or empty.
std::string extension_of(const std::string& path);

// A name that looks like a file of a kind quorvex does not write ("movie.mov"): an extension of
// one to four letters or digits on a name that does not end in a slash.
bool looks_like_unknown_file(const std::string& path);

// The extensions quorvex writes, for messages: ".mkv, .mp4, .avi, .wav and .flac".
std::string output_extensions_text();

}  // namespace quorvex
