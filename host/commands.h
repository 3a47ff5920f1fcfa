// quorvex's commands, and what they share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collection.h"
#include "outputs.h"
#include "plugins.h"
#include "scan.h"

namespace quorvex {

struct Options {
    std::string command;
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
    std::vector<std::string> only_names;  // rip: only the streams of these names (without extension)
    int32_t io_mode = 0;
    std::string progress = "auto";  // how long work shows its progress: auto, json or none
};

inline constexpr uint32_t kMaxJobs = 256;

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;      // nothing (more) was written
inline constexpr int kExitUsage = 2;      // the command line is wrong
inline constexpr int kExitIncomplete = 3;  // written, but the disc holds only part of the stream

void complain(const std::string& message);
void warn(const std::string& message);

// The plug-in folder of the options; problems with single files are warnings.
bool load_plugin_folder(const Options& options, PluginFolder& folder);
// The plug-in --plugin names, or null with the problem reported.
const PluginFile* named_plugin(const Options& options, const PluginFolder& folder);
std::vector<const PluginFile*> all_plugins(const PluginFolder& folder);

// An image opened in the sector library, closed with its owner.
struct OpenDisc {
    uint32_t handle = 0;
    OpenDisc() = default;
    OpenDisc(const OpenDisc&) = delete;
    OpenDisc& operator=(const OpenDisc&) = delete;
    ~OpenDisc();
};
bool open_image(const std::string& path, int32_t io_mode, OpenDisc& disc, std::string& error);

// The stream the options name, after a scan of the disc with every plug-in: by its name or its
// number in the disc's listing (--stream), by a plug-in's own index (--plugin P --stream K), or
// by a range (--plugin P --start/--count), described by the scan when P found exactly that range,
// else by P from the range's first sectors. Returns an exit status: kExitOk with `context` filled.
int choose_stream(const Options& options, const PluginFolder& folder, uint32_t disc, StreamContext& context);

struct DiscSurvey;
// The streams a listing or a rip takes of a survey: the disc's listing; with `plugin`, that
// plug-in's own split; with --all, every plug-in's list; then those --kind and --min-length
// leave. Indexes into the survey's streams.
std::vector<size_t> selected_streams(const DiscSurvey& survey, const Options& options, const PluginFile* plugin);

int run_plugins(const Options& options);
int run_scan(const Options& options);
int run_info(const Options& options);
int run_extract(const Options& options);
int run_rip(const Options& options);
int run_index(const Options& options);

// What became of one stream of a rip.
struct RippedStream {
    std::string disc;   // the disc's folder name
    std::string name;   // the stream's name
    std::string file;   // its output, in the disc's folder ("" when none was chosen)
    std::string state;  // "done", "cut" (written, the disc holds part of it), "failed", "skipped" (ripped before)
    uint64_t bytes = 0;
    std::string error;  // why it failed, or how it is cut
};

// A rip of `images` as `quorvex rip` makes it; `progress` hears of each stream that is through,
// and `results` (when given) gets each stream's outcome. Returns the exit status.
int rip_collection(const Options& options, std::vector<const PluginFile*> plugins, std::vector<CollectionImage> images,
                   const std::function<void(size_t done, size_t total)>& progress = {},
                   std::vector<RippedStream>* results = nullptr);

}  // namespace quorvex
