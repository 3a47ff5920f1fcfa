// The outputs quorvex writes, one entry each: what a file of that kind is called, what it holds,
// how it keeps time, which codecs go into it (and which when lossless), whether it can go down a
// pipe, how it is served and whether it carries tags. Every place that asks what an output is
// asks this table; a new container is one entry here and its handling in the media module.
#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// What an output holds: a media file of pictures and sound, or of sound alone; a folder of
// pictures, one file each (--frames); a folder of the units as the plug-in delivers them.
enum class Holds { kVideo, kSound, kPictures, kUnits };

struct OutputFormat {
    std::string_view name;                  // as --format takes it: "mkv"
    std::string_view extension;             // ".mkv"; a picture's for a folder of pictures
    Holds holds;
    std::string_view muxer;                 // libavformat's name for it
    std::string_view mime;                  // as the viewer serves it
    std::string_view video_codec;           // libavcodec's encoder for the pictures
    std::string_view lossless_video_codec;  // and with --lossless
    std::string_view sound_codec;           // libavcodec's encoder for the sound
    int time_base;                          // ticks a second its pictures are timed in; 0: one average frame
    bool constant_rate;                     // one frame a tick (AVI)
    bool streams;                           // can be written to a pipe as it is made
    bool tags;                              // carries the stream's name, disc and number as tags
    bool builtin;                           // quorvex's own code writes it: every build has it
};

inline constexpr OutputFormat kOutputFormats[] = {
    {"mkv", ".mkv", Holds::kVideo, "matroska", "video/x-matroska", "libx264", "ffv1", "flac", 1000, false, true, true, false},
    {"mp4", ".mp4", Holds::kVideo, "mp4", "video/mp4", "libx264", "libx264", "aac", 90000, false, false, true, false},
    {"avi", ".avi", Holds::kVideo, "avi", "video/x-msvideo", "libx264", "ffv1", "pcm_s16le", 0, true, false, true, false},
    {"wav", ".wav", Holds::kSound, "wav", "audio/wav", "", "", "pcm_s16le", 0, false, true, true, true},
    {"flac", ".flac", Holds::kSound, "flac", "audio/flac", "", "", "flac", 0, false, true, true, false},
    {"png", ".png", Holds::kPictures, "image2", "image/png", "png", "png", "", 0, false, false, false, true},
    {"units", "", Holds::kUnits, "", "application/octet-stream", "", "", "", 0, false, false, false, true},
};

// Whether an output is one media file (of pictures and sound, or sound alone).
constexpr bool is_media_file(const OutputFormat& f) { return f.holds == Holds::kVideo || f.holds == Holds::kSound; }

// The media file format of a file by its extension (any case), or by --format's name; null for
// none.
const OutputFormat* output_format_of(const std::string& path);
const OutputFormat* output_format_named(std::string_view name);
// An entry by name, for the formats the host chooses itself ("png", "units").
const OutputFormat& output_format(std::string_view name);

// What a rip writes a stream as: a stream with pictures in Matroska (or in `movies`, "mp4"), one
// of sound alone in FLAC; in a build without FFmpeg, a stream with pictures as its units as delivered, sound alone in WAV.
const OutputFormat& rip_format(bool video, bool media, std::string_view movies = "mkv");
// The file (or folder) a rip writes a stream to, in its disc's folder: the stream's name with the
// format's extension. The rip and the viewer name files by this one rule.
std::string ripped_file_name(const std::string& stream_name, bool video, bool media, std::string_view movies = "mkv");
// What the viewer plays in the browser: MP4 for a stream with pictures, FLAC for sound alone.
const OutputFormat& preview_format(bool video);

// The extension of a path in lower case (".mkv"), or empty.
std::string extension_of(const std::string& path);

// A name that looks like a file of a kind quorvex does not write ("movie.mov"): an extension of
// one to four letters or digits on a name that does not end in a slash.
bool looks_like_unknown_file(const std::string& path);

// The extensions quorvex writes, for messages: ".mkv, .mp4, .avi, .wav and .flac".
std::string output_extensions_text();

}  // namespace quorvex
