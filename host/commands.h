// quorvex's commands, and what they share: the command line's options as parsed, the request each
// command takes, and the services under them that the viewer calls too.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collection.h"
#include "errors.h"
#include "outputs.h"
#include "plugins.h"
#include "scan.h"

namespace quorvex {

// The command line as parsed; each command takes its own request made from it.
struct Options {
    std::vector<std::string> images;
    std::string plugin_directory;
    std::string plugin;
    std::string stream;  // a stream's name or number; with --plugin, the plug-in's own index
    std::optional<uint32_t> start, count, seek_ms;
    std::string output;
    std::string format;  // the container of -o - ("mkv", "flac", "wav")
    std::string frames_directory;
    bool json = false;
    bool all = false;  // scan: every plug-in's own list
    bool lossless = false;
    bool force = false;
    // rip
    std::optional<uint32_t> jobs;  // streams at once, at most kMaxJobs; 0 or none: one per core
    std::string kind;              // "video", "audio", or "" for both
    double min_length = 0;         // seconds
    bool dry_run = false;
    std::string shard;  // "I/N"
    int32_t io_mode = 0;
    std::string progress = "auto";  // how long work shows its progress: auto, json or none
    PictureDecoding decoding;
};

inline constexpr uint32_t kMaxJobs = 256;

// Which streams of a disc a listing or a rip takes.
struct StreamFilter {
    std::string plugin;     // only this plug-in's streams, by its own split
    std::string kind;       // "video", "audio", or "" for both
    double min_length = 0;  // seconds
    bool all = false;       // every plug-in's own list
};

// Which one stream of which image a command takes: by its name or number (`stream`), by a
// plug-in's own index (`plugin` and `stream`), or by a range (`plugin`, `start` and `count`).
struct StreamChoice {
    std::string image;
    int32_t io_mode = 0;
    std::string plugin, stream;
    std::optional<uint32_t> start, count;
    std::optional<uint32_t> seek_ms;  // where playing starts, by the host's clock
};

struct InfoRequest {
    std::string plugin_directory;
    StreamChoice stream;
    bool json = false;
};

struct ExtractRequest {
    std::string plugin_directory;
    StreamChoice stream;
    std::string output;  // a media file, a folder of units (ending in a separator), or "-"
    std::string format;  // the container of -o -
    std::string frames_directory;
    bool lossless = false, force = false;
    PictureDecoding decoding;
};

struct RipRequest {
    std::string output;  // the folder the discs' folders go into
    StreamFilter filter;
    std::optional<uint32_t> jobs;  // streams at once; 0 or none: one per core
    bool lossless = false, dry_run = false;
    std::string movie_format = "mkv";     // movies' container: mkv (H.264, FLAC) or mp4 (H.264, AAC)
    std::vector<std::string> only_names;  // only the streams of these names (as the viewer asks)
    int32_t io_mode = 0;
    std::string progress = "auto";
    PictureDecoding decoding;
};

StreamFilter stream_filter(const Options& options);
StreamChoice stream_choice(const Options& options);
RipRequest rip_request(const Options& options);

void complain(const std::string& message);
void warn(const std::string& message);
// Says `error` on standard error (an interruption is said once, as the run ends) and gives its
// exit status; kExitOk for no error.
int finish(const Outcome& outcome);

// The plug-in folder (the default one for an empty name); problems with single files are
// warnings.
bool load_plugin_folder(const std::string& directory, PluginFolder& folder, Error& error);
// The plug-in folder of `options`; with `only`, also the plug-in --plugin names (null for none).
Outcome load_plugins(const Options& options, PluginFolder& folder, const PluginFile** only = nullptr);
// The plug-in `name` names, or null with `error` set.
const PluginFile* named_plugin(const std::string& name, const PluginFolder& folder, Error& error);
std::vector<const PluginFile*> all_plugins(const PluginFolder& folder);

// An image opened in the sector library, closed with its owner.
struct OpenDisc {
    uint32_t handle = 0;
    OpenDisc() = default;
    OpenDisc(const OpenDisc&) = delete;
    OpenDisc& operator=(const OpenDisc&) = delete;
    ~OpenDisc();
};
// Opens an image in the sector library; its failure carries the library's kind and message.
Outcome open_image(const std::string& path, int32_t io_mode, OpenDisc& disc);

// A stream chosen on its image, the image open for as long as it is played.
struct NamedStream {
    OpenDisc disc;
    StreamContext context;
};
// Opens the image and finds the stream `choice` names, after a scan of the disc with every
// plug-in: by its name or number in the disc's listing, by a plug-in's own index, or by a range,
// described by the scan when the plug-in found exactly that range, else by the plug-in from the
// range's first sectors. The state says whether it can be read whole.
bool open_named_stream(const StreamChoice& choice, const PluginFolder& folder, NamedStream& named, Error& error);

struct DiscSurvey;
// The streams a listing or a rip takes of a survey: the disc's listing; with `plugin`, that
// plug-in's own split; with `all`, every plug-in's list; then those the kind and the least length
// leave. Indexes into the survey's streams.
std::vector<size_t> selected_streams(const DiscSurvey& survey, const StreamFilter& filter, const PluginFile* plugin);

Outcome run_plugins(const Options& options);
Outcome run_scan(const Options& options);
Outcome run_info(const InfoRequest& request);
Outcome run_extract(const ExtractRequest& request);
Outcome run_rip(const Options& options);
Outcome run_index(const Options& options);

// What became of one stream of a rip.
struct RippedStream {
    std::string disc;   // the disc's folder name
    std::string name;   // the stream's name
    std::string file;   // its output, in the disc's folder ("" when none was chosen)
    std::string state;  // "done", "cut" (written, the disc holds part of it), "failed", "skipped" (ripped before)
    uint64_t bytes = 0;
    std::string error;  // why it failed, or how it is cut
};

// How far a rip has got: streams through, and the stream begun last (its frames, or for sound
// alone its milliseconds), with an estimate of the time left once there is one.
struct RipProgress {
    size_t streams_done = 0, streams_total = 0;
    std::string file;
    uint64_t done = 0, total = 0;
    bool frames = false;
    double seconds_left = -1;
};

// A rip of `images` as `quorvex rip` makes it; `progress` hears how far it has got as it goes,
// and `results` (when given) gets each stream's outcome. Returns the exit status.
int rip_collection(const RipRequest& request, std::vector<const PluginFile*> plugins, std::vector<CollectionImage> images,
                   const std::function<void(const RipProgress&)>& progress = {}, std::vector<RippedStream>* results = nullptr);

}  // namespace quorvex
