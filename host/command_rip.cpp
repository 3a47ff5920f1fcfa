// quorvex rip: every stream of every plug-in on each disc, into DIR/<disc name>/, each as a file
// people can play (a folder of units in a build without FFmpeg). rip.json records the disc and
// every stream as it finishes, so that an interrupted rip resumes where it stopped: a stream whose
// file is there with the size and checksum recorded is not ripped again.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>

#include "../discwell/discwell.h"
#include "checksum.h"
#include "commands.h"
#include "interrupt.h"
#include "media_output.h"
#include "paths.h"
#include "stream_writer.h"
#include "terminal.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

constexpr char kIndex[] = "rip.json";

// What identifies a disc: the same image ripped again must find its own folder.
Json disc_identity(uint32_t disc) {
    Json id;
    id["sectors"] = DwSectorCount(disc);
    id["tracks"] = Json::array();
    for (int32_t i = 0; i < DwTrackCount(disc); ++i) {
        DwTrack t{};
        if (!DwGetTrack(disc, i, &t)) continue;
        id["tracks"].push_back(Json::array({t.number, t.control, t.first_lba, t.sector_count}));
    }
    return id;
}

std::string stream_key(const FoundStream& s) {
    return s.plugin->stem + ":" + std::to_string(s.index) + ":" + std::to_string(s.info.start_sector) + ":" +
           std::to_string(s.info.sector_count);
}

std::string file_name(const FoundStream& s, bool media) {
    char name[96];
    std::snprintf(name, sizeof name, "%s-%02d-lba%06u", s.plugin->stem.c_str(), s.index, s.info.start_sector);
    return std::string(name) + (media ? ((s.info.kind & 0x01) ? ".mkv" : ".flac") : "");
}

struct DiscRip {
    int done = 0, already = 0, failed = 0, cut = 0, unreadable = 0;
    bool interrupted = false;
};

class RipIndex {
public:
    // Reads an earlier rip.json; false with `error` set when it belongs to another disc.
    bool load(const fs::path& folder, const std::string& image, const Json& identity, std::string& error) {
        path_ = folder / kIndex;
        doc_ = Json::object();
        std::ifstream in(path_, std::ios::binary);
        if (in) {
            try {
                doc_ = Json::parse(in);
            } catch (const std::exception&) {
                error = utf8_path(path_) + ": not a rip.json of quorvex's; rip into another folder";
                return false;
            }
            if (!doc_.contains("disc") || doc_["disc"] != identity) {
                error = utf8_path(folder) + ": holds the rip of another disc (" +
                        doc_.value("image", std::string("unknown")) + "); rip into another folder";
                return false;
            }
            for (const auto& s : doc_.value("streams", Json::array())) {
                if (s.contains("key")) earlier_[s["key"].get<std::string>()] = s;
            }
        }
        doc_ = Json::object();
        doc_["format_version"] = kJsonFormatVersion;
        put_text(doc_, "image", image);
        doc_["disc"] = identity;
        doc_["media"] = media_output_available();
        doc_["streams"] = Json::array();
        return true;
    }

    // The earlier record of a stream, if it finished and its output is still whole.
    const Json* finished(const std::string& key, const fs::path& output) const {
        auto found = earlier_.find(key);
        if (found == earlier_.end()) return nullptr;
        const Json& s = found->second;
        if (s.value("status", "") != "done" && s.value("status", "") != "cut") return nullptr;
        std::string digest, error;
        uint64_t bytes = 0;
        std::error_code ec;
        if (!fs::exists(output, ec) || !sha256_of(output, digest, bytes, error)) return nullptr;
        if (s.value("sha256", "") != digest || s.value("bytes", uint64_t{0}) != bytes) return nullptr;
        return &s;
    }

    void record(Json stream) { doc_["streams"].push_back(std::move(stream)); }

    // Saves at most every two seconds while a rip goes on (a disc of thousands of streams would
    // otherwise rewrite its index thousands of times); a stream finished since the last save and
    // lost to a crash is ripped again by the next run.
    bool save_soon(const DiscRip& r, std::string& error) {
        const auto now = std::chrono::steady_clock::now();
        if (now - saved_ < std::chrono::seconds(2)) return true;
        return save(r, error);
    }

    bool save(const DiscRip& r, std::string& error) {
        saved_ = std::chrono::steady_clock::now();
        Json summary;
        summary["ripped"] = r.done;
        summary["already_done"] = r.already;
        summary["cut"] = r.cut;
        summary["failed"] = r.failed;
        summary["unreadable"] = r.unreadable;
        summary["complete"] = !r.interrupted;
        doc_["summary"] = summary;
        return replace_file_contents(path_, dump(doc_), error);
    }

private:
    fs::path path_;
    Json doc_;
    std::map<std::string, Json> earlier_;
    std::chrono::steady_clock::time_point saved_{};
};

Json stream_record(const FoundStream& s, const std::string& file) {
    Json j;
    j["key"] = stream_key(s);
    j["plugin"] = s.plugin->stem;
    j["plugin_name"] = s.plugin->name();
    j["index"] = s.index;
    j["file"] = file;
    j.update(stream_info_json(s.info, s.plugin->stream_info_size() == 44));
    j["state"] = state_name(s.state);
    if (!s.note.empty()) j["note"] = s.note;
    return j;
}

DiscRip rip_disc(const std::string& image, const Options& options, const std::vector<const PluginFile*>& plugins,
                 const fs::path& folder, int& status) {
    DiscRip result;
    auto fail = [&](const std::string& message) {
        complain(message);
        status = kExitError;
        result.failed++;
        return result;
    };
    OpenDisc disc;
    std::string error;
    ScanReport report;
    if (!open_image(image, options.io_mode, disc, error)) return fail(error);
    if (!scan_disc(disc.handle, plugins, report, error, warn)) return fail(image + ": " + error);

    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) return fail(utf8_path(folder) + ": cannot create the folder: " + ec.message());
    FolderLock lock;
    if (!lock.take(folder, error)) return fail(error);
    sweep_abandoned_staging(folder);
    RipIndex index;
    if (!index.load(folder, image, disc_identity(disc.handle), error)) return fail(error);

    const bool media = media_output_available();
    const bool terminal = stderr_is_terminal();
    OutputOptions output_options;
    output_options.force = true;  // an earlier output of quorvex's own, never another file
    output_options.lossless = options.lossless;
    const size_t total = report.streams.size();
    for (size_t k = 0; k < total; ++k) {
        FoundStream& found = report.streams[k];
        const std::string file = file_name(found, media);
        const fs::path output = folder / file;
        Json record = stream_record(found, file);
        if (interrupted()) {
            result.interrupted = true;
            break;
        }
        if (found.state == StreamState::kUnreadable) {
            record["status"] = "unreadable";
            index.record(record);
            result.unreadable++;
            std::printf("unreadable  %s: %s\n", file.c_str(), found.note.c_str());
            continue;
        }
        if (const Json* earlier = index.finished(stream_key(found), output)) {
            index.record(*earlier);
            result.already++;
            std::printf("done        %s (ripped before)\n", file.c_str());
            continue;
        }
        if (terminal) std::fprintf(stderr, "\r[%zu/%zu] %s ", k + 1, total, file.c_str());
        StreamContext context;
        context.request = PlaybackRequest{image, found.plugin, disc.handle, found.info, std::nullopt};
        context.index = found.index;
        context.state = found.state;
        context.note = found.note;
        WrittenStream written;
        const OutputSpec spec{media ? OutputSpec::Kind::kMediaFile : OutputSpec::Kind::kUnitFolder, utf8_path(output)};
        const bool ok = write_stream(context, {spec}, output_options, written, error);
        if (terminal) std::fprintf(stderr, "\r%*s\r", 79, "");
        if (!ok) {
            if (interrupted()) {
                result.interrupted = true;
                break;
            }
            record["status"] = "failed";
            record["error"] = valid_utf8(error);
            index.record(record);
            result.failed++;
            status = kExitError;
            std::printf("FAILED      %s\n", file.c_str());
            complain(error);
            index.save_soon(result, error);
            continue;
        }
        std::string digest;
        uint64_t bytes = 0;
        if (!sha256_of(output, digest, bytes, error)) complain(error);
        record["status"] = written.cut ? "cut" : "done";
        if (written.cut) record["note"] = written.cut_note;
        record["bytes"] = bytes;
        record["sha256"] = digest;
        record["frames_written"] = written.reports[0].frames_written;
        record["audio_units"] = written.reports[0].audio_units_written;
        record["measured"] = stream_manifest(context)["measured"];
        Json times = Json::array();
        for (const FrameTime& t : written.timeline.frames) times.push_back(t.start.seconds());
        record["frame_times_seconds"] = std::move(times);
        record["undecodable_frames"] = written.undecodable_frames;
        index.record(record);
        std::printf("%-11s %s", written.cut ? "cut" : "ok", file.c_str());
        if (!written.undecodable_frames.empty()) {
            std::printf(" (%zu frames cannot be decoded and are left out)", written.undecodable_frames.size());
        }
        if (written.cut) std::printf(": %s", written.cut_note.c_str());
        std::printf("\n");
        (written.cut ? result.cut : result.done)++;
        // Recorded as finished: an interruption later keeps it.
        if (!index.save_soon(result, error)) {
            complain(error);
            status = kExitError;
        }
    }
    if (!index.save(result, error)) {
        complain(error);
        status = kExitError;
    }
    std::printf("%s: %d streams ripped to %s", image.c_str(), result.done + result.cut, utf8_path(folder).c_str());
    if (result.already) std::printf(", %d ripped before", result.already);
    if (result.cut) std::printf(", %d of them cut", result.cut);
    if (result.unreadable) std::printf(", %d unreadable", result.unreadable);
    if (result.failed) std::printf(", %d failed", result.failed);
    std::printf("\n");
    if (result.cut && status == kExitOk) status = kExitIncomplete;
    return result;
}

}  // namespace

int run_rip(const Options& options) {
    PluginFolder folder;
    if (!load_plugin_folder(options, folder)) return kExitError;
    const auto plugins = all_plugins(folder);
    int status = kExitOk;
    for (const std::string& image : options.images) {
        const fs::path disc_folder = native_path(options.output) / native_path(image).stem();
        const DiscRip r = rip_disc(image, options, plugins, disc_folder, status);
        if (r.interrupted || interrupted()) break;
    }
    return status;
}

}  // namespace quorvex
