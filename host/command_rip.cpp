// quorvex rip: every stream of every disc given or found, each disc into DIR/<disc name>/, each
// stream once (a stream several plug-ins find is written by the split of the one chosen for it),
// named by the disc file it lies in, as a file people can play (a folder of units in a build
// without FFmpeg). Several streams are decoded and encoded at once, across the discs. rip.json
// records each disc and every stream as it finishes, so that an interrupted rip resumes where it
// stopped: a stream whose file is there with the size and checksum recorded is not ripped again.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "output_formats.h"
#include "../discwell/discwell.h"
#include "checksum.h"
#include "collection.h"
#include "commands.h"
#include "disc_survey.h"
#include "interrupt.h"
#include "media_output.h"
#include "paths.h"
#include "rip_index.h"
#include "sector_digest.h"
#include "stream_writer.h"
#include "progress.h"
#include "words.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {
using psr::is_video;

// What identifies a disc: the same image ripped again must find its own folder, and another disc
// must not take it over.
Json disc_identity(uint32_t disc, const DiscSurvey& survey) {
    Json id;
    put_text(id, "volume_id", survey.directory.volume_id);
    put_text(id, "boot_file", survey.boot_file);
    id["sectors"] = DwSectorCount(disc);
    id["tracks"] = Json::array();
    for (int32_t i = 0; i < DwTrackCount(disc); ++i) {
        DwTrack t{};
        if (!DwGetTrack(disc, i, &t)) continue;
        id["tracks"].push_back(Json::array({t.number, t.control, t.first_lba, t.sector_count}));
    }
    return id;
}


struct RipDisc {
    CollectionImage image;
    fs::path folder;
    std::unique_ptr<OpenDisc> disc;
    DiscSurvey survey;
    std::unique_ptr<FolderLock> lock;
    RipIndex index;
    RipCounts counts;      // guarded by the run's mutex
    size_t pending = 0;    // streams queued and not yet through
    bool made_folder = false;  // this run made its folder
    bool opened = false;   // its folder is locked and its index loaded
    bool finished = false;
};

struct RipTask {
    RipDisc* disc;
    size_t order;   // its place in the disc's rip.json
    size_t stream;  // in the disc's scan
    std::string file;
};

Json stream_record(const RipDisc& d, const RipTask& task) {
    const FoundStream& s = d.survey.report.streams[task.stream];
    const StreamPlace& place = d.survey.places[task.stream];
    Json j;
    j["key"] = stream_key(s);
    j["number"] = d.survey.numbers[task.stream] ? Json(d.survey.numbers[task.stream]) : Json(nullptr);
    j["name"] = d.survey.names[task.stream];
    j["plugin"] = s.plugin->stem;
    j["plugin_name"] = s.plugin->name();
    j["index"] = s.index;
    j["file"] = task.file;
    j["format"] = std::string(output_format_of(task.file) ? output_format_of(task.file)->name : std::string_view("units"));
    if (place.file) put_text(j, "disc_file", place.file->path);
    j["channel"] = place.channel < 0 ? Json(nullptr) : Json(place.channel);
    j.update(stream_info_json(s.info, s.plugin->carries_payload_bytes()));
    j["state"] = state_name(s.state);
    if (!s.note.empty()) j["note"] = s.note;
    // How the other plug-ins that found the same stream split it.
    Json others = Json::array();
    const auto group = std::find_if(d.survey.groups.begin(), d.survey.groups.end(), [&](const StreamGroup& g) {
        return std::find(g.members.begin(), g.members.end(), task.stream) != g.members.end();
    });
    for (const size_t m : group == d.survey.groups.end() ? std::vector<size_t>{} : group->members) {
        const FoundStream& o = d.survey.report.streams[m];
        if (o.plugin == s.plugin) continue;
        others.push_back({{"plugin", o.plugin->stem},
                          {"index", o.index},
                          {"start_sector", o.info.start_sector},
                          {"sector_count", o.info.sector_count}});
    }
    if (!others.empty()) j["also_found_by"] = std::move(others);
    return j;
}

class RipRun {
public:
    RipRun(const RipRequest& options, std::vector<const PluginFile*> plugins, const PluginFile* only,
           std::vector<CollectionImage> images, std::function<void(const RipProgress&)> progress,
           std::vector<RippedStream>* results)
        : options_(options), plugins_(std::move(plugins)), only_(only), media_(media_output_available()),
          meter_(progress_mode(options.progress)), progress_(std::move(progress)), results_(results) {
        for (CollectionImage& image : images) {
            auto d = std::make_unique<RipDisc>();
            d->folder = native_path(options.output) / native_path(image.disc_name);
            d->image = std::move(image);
            discs_.push_back(std::move(d));
        }
        jobs_ = options.jobs.value_or(0);
        if (jobs_ == 0) jobs_ = std::max(1u, std::thread::hardware_concurrency());
        output_options_.force = true;  // an earlier output of quorvex's own, never another file
        output_options_.lossless = options.lossless;
        output_options_.decoding = options.decoding;
        output_options_.encoder_threads = jobs_ > 1 ? 1 : 0;  // the streams share the cores
        output_options_.digest_sectors = true;
    }

    int run() {
        work();
        std::vector<std::thread> helpers;
        {
            std::lock_guard lock(mutex_);
            helpers.swap(helpers_);
        }
        for (std::thread& t : helpers) t.join();
        meter_.clear();
        // Discs an interruption left open keep what they finished.
        for (auto& d : discs_) {
            if (d->opened && !d->finished) {
                d->counts.interrupted = true;
                finish_disc(*d);
            }
        }
        summarise();
        return status_;
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (interrupted()) stopping_ = true;
            if (!stopping_ && !queue_.empty()) {
                RipTask task = std::move(queue_.front());
                queue_.pop_front();
                ++busy_;
                lock.unlock();
                rip_stream(task);
                lock.lock();
                --busy_;
                if (interrupted()) stopping_ = true;  // a stream cut short by it leaves its disc open
                if (--task.disc->pending == 0 && !stopping_) close_disc(*task.disc, lock);
                wake_.notify_all();
                continue;
            }
            if (!stopping_ && next_disc_ < discs_.size() && open_discs_ < jobs_ + 1) {
                RipDisc& d = *discs_[next_disc_++];
                ++open_discs_;
                ++busy_;
                lock.unlock();
                std::vector<RipTask> tasks = prepare(d);
                lock.lock();
                --busy_;
                d.pending = tasks.size();
                total_ += tasks.size();
                for (const RipTask& t : tasks) sectors_total_ += d.survey.report.streams[t.stream].info.sector_count;
                for (RipTask& t : tasks) queue_.push_back(std::move(t));
                if (tasks.empty()) close_disc(d, lock);
                // A worker for each stream waiting, up to -j: never more workers than streams.
                while (helpers_.size() + 1 < jobs_ && helpers_.size() + 1 < busy_ + queue_.size()) {
                    helpers_.emplace_back([this] { work(); });
                }
                wake_.notify_all();
                continue;
            }
            if (busy_ == 0) {
                wake_.notify_all();
                return;
            }
            wake_.wait(lock);
        }
    }

    // With the run's lock held; lets it go while the disc's index is saved.
    void close_disc(RipDisc& d, std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        if (d.opened) finish_disc(d);
        d.disc.reset();
        lock.lock();
        --open_discs_;
    }

    void fail_disc(const std::string& message) {
        std::lock_guard lock(mutex_);
        complain(message);
        failures_.push_back(message);
        status_ = kExitError;
    }

    // Opens, scans and names the disc, takes its folder, and lists the streams to rip.
    std::vector<RipTask> prepare(RipDisc& d) {
        std::vector<RipTask> tasks;
        std::string error;
        d.disc = std::make_unique<OpenDisc>();
        if (Outcome failed = open_image(d.image.path, options_.io_mode, *d.disc)) {
            fail_disc(failed->text());
            return tasks;
        }
        auto say = [this](const std::string& message) {
            std::lock_guard lock(mutex_);
            warn(message);
        };
        const auto scanned = [this, &d](uint32_t done, uint32_t total) {
            meter_.line(printable(d.image.disc_name) + ": scanning, " + std::to_string(total ? uint64_t{done} * 100 / total : 100) + "%");
        };
        if (!survey_disc(d.disc->handle, d.image.path, plugins_, d.survey, error, say, scanned)) {
            if (!interrupted()) fail_disc(d.image.path + ": " + error);
            return tasks;
        }
        // The streams chosen: the disc's listing (or a plug-in's own split), as filtered, each
        // under its name on the disc.
        std::set<std::string> named(options_.only_names.begin(), options_.only_names.end());
        std::vector<RipTask> chosen;
        for (const size_t i : selected_streams(d.survey, options_.filter, only_)) {
            const std::string& name = d.survey.names[i];
            if (!options_.only_names.empty() && !named.erase(name)) continue;
            chosen.push_back({&d, chosen.size(), i, ripped_file_name(name, is_video(d.survey.report.streams[i].info), media_, options_.movie_format)});
        }
        // Streams asked for by name that the disc does not hold (an image changed since it was
        // looked at): each one is a failure, never a rip that quietly did less.
        for (const std::string& missing : named) {
            const std::string message = d.image.path + ": no stream named " + missing + " on this disc";
            fail_disc(message);
            std::lock_guard lock(mutex_);
            report({d.image.disc_name, missing, {}, "failed", 0, message});
        }
        // The last guard: nothing is written outside the output folder.
        const fs::path out = native_path(options_.output);
        for (const RipTask& t : chosen) {
            if (!lies_under(out, d.folder) || !lies_under(d.folder, d.folder / native_path(t.file))) {
                fail_disc(printable(utf8_path(d.folder / native_path(t.file))) + ": lies outside " +
                          printable(options_.output) + "; nothing of " + printable(d.image.path) + " is written");
                return tasks;
            }
        }
        if (options_.dry_run) {
            std::lock_guard lock(mutex_);
            meter_.clear();
            for (const RipTask& t : chosen) {
                const FoundStream& s = d.survey.report.streams[t.stream];
                std::printf("%s  %s %d  %s %s\n", printable(utf8_path(d.folder / t.file)).c_str(), s.plugin->stem.c_str(),
                            s.index, is_video(s.info) ? "video" : "audio", format_seconds(s.info.duration_ms).c_str());
            }
            dry_run_streams_ += chosen.size();
            return tasks;
        }
        if (chosen.empty() && !options_.only_names.empty()) return tasks;

        std::error_code ec;
        if (refuse_link(d)) return tasks;
        d.made_folder = !fs::exists(d.folder, ec);
        fs::create_directories(d.folder, ec);
        if (!fs::is_directory(d.folder, ec)) {
            fail_disc(printable(utf8_path(d.folder)) + ": cannot create the folder: " + ec.message());
            return tasks;
        }
        if (refuse_link(d)) return tasks;  // planted while the folder was made
        d.lock = std::make_unique<FolderLock>();
        if (!d.lock->take(d.folder, error)) {
            fail_disc(error);
            return tasks;
        }
        sweep_abandoned_staging(d.folder);
        if (!d.index.load(d.folder, d.image.path, disc_identity(d.disc->handle, d.survey), error)) {
            fail_disc(error);
            return tasks;
        }
        if (!d.index.damage().empty()) warn(d.index.damage() + "; the disc's streams are ripped again");
        meter_.step({{"step", "disc"}, {"image", valid_utf8(d.image.path)}, {"folder", valid_utf8(utf8_path(d.folder))},
                     {"streams", chosen.size()}});
        d.opened = true;
        // The streams a rip of this disc takes, whatever this run's filters leave out.
        StreamFilter unfiltered = options_.filter;
        unfiltered.kind.clear();
        unfiltered.min_length = 0;
        std::set<std::string> keys;
        for (const size_t i : selected_streams(d.survey, unfiltered, only_)) keys.insert(stream_key(d.survey.report.streams[i]));
        d.index.set_streams_on_disc(std::move(keys));
        for (RipTask& t : chosen) {
            const FoundStream& s = d.survey.report.streams[t.stream];
            d.index.carry_over(t.order, stream_key(s));
            if (s.state == StreamState::kUnreadable) {
                Json record = stream_record(d, t);
                record["status"] = "unreadable";
                d.index.record(t.order, record);
                std::lock_guard lock(mutex_);
                d.counts.unreadable++;
                say_line("unreadable", d, t.file + ": " + s.note);
                report({d.image.disc_name, d.survey.names[t.stream], t.file, "failed", 0, s.note});
                continue;
            }
            tasks.push_back(std::move(t));
        }
        return tasks;
    }

    // A symbolic link on the way to a disc's folder (one planted in a shared rips folder) would
    // carry its files out of the output folder: the disc is refused. The output folder itself
    // may be a link.
    bool refuse_link(RipDisc& d) {
        const fs::path link = link_below(native_path(options_.output), d.folder);
        if (link.empty()) return false;
        fail_disc(printable(utf8_path(link)) + ": is a symbolic link; quorvex writes only inside " + printable(options_.output) +
                  ", so nothing of " + printable(d.image.path) + " is written");
        return true;
    }

    // The file of an earlier rip in another format, once its stream is written anew: only a file
    // of the disc's folder.
    void remove_earlier(const RipDisc& d, const std::string& file) {
        if (file.empty()) return;
        const fs::path old = d.folder / native_path(file);
        std::error_code ec;
        if (lies_under(d.folder, old) && old.parent_path() == d.folder) fs::remove(old, ec);
    }

    void rip_stream(RipTask& task) {
        RipDisc& d = *task.disc;
        const FoundStream& found = d.survey.report.streams[task.stream];
        const std::string& name = d.survey.names[task.stream];
        const fs::path output = d.folder / native_path(task.file);
        Json record = stream_record(d, task);
        std::string error, why_not;
        const auto range_digest = [&](std::string& digest, std::string& why) {
            return digest_range(d.disc->handle, found.info.start_sector, found.info.sector_count, digest, why);
        };
        if (auto earlier = d.index.finished(stream_key(found), output, range_digest, why_not)) {
            const uint64_t bytes = (*earlier)["bytes"].get<uint64_t>();
            d.index.record(task.order, std::move(*earlier));
            std::lock_guard lock(mutex_);
            d.counts.already++;
            ++through_;
            sectors_done_ += found.info.sector_count;
            say_line("done", d, task.file + " (ripped before)");
            report({d.image.disc_name, name, task.file, "skipped", bytes, {}});
            return;
        }
        const uint64_t sectors = found.info.sector_count;
        // A stream ripped before in another format: ripped again, the old file kept until the new
        // one is whole.
        const std::string before = d.index.finished_elsewhere(stream_key(found), task.file);
        {
            std::lock_guard lock(mutex_);
            if (!before.empty()) say_line("again", d, task.file + ": ripped before as " + before + ", which is removed once this is whole");
            if (!why_not.empty()) say_line("again", d, task.file + ": " + why_not);
            in_hand_ = {task.file, 0, 0, is_video(found.info)};
            show_progress();
        }
        meter_.step({{"step", "stream"}, {"disc", valid_utf8(d.image.disc_name)}, {"name", name}, {"file", task.file},
                     {"state", "started"}});
        StreamContext context;
        context.request = PlaybackRequest{d.image.path, found.plugin, d.disc->handle, found.info, std::nullopt};
        context.index = found.index;
        context.name = name;
        context.number = d.survey.numbers[task.stream] ? std::optional<uint32_t>(d.survey.numbers[task.stream]) : std::nullopt;
        context.album = disc_title(d.image.path);
        context.state = found.state;
        context.note = found.note;
        WrittenStream written;
        const OutputTarget target{&rip_format(is_video(found.info), media_, options_.movie_format), utf8_path(output)};
        OutputOptions output_options = output_options_;
        output_options.replace_recorded = d.index.recorded(stream_key(found), task.file);
        output_options.progress = [&](uint64_t done, uint64_t total) {
            std::lock_guard lock(mutex_);
            if (in_hand_.file == task.file) {
                in_hand_.done = done;
                in_hand_.total = total;
            }
            sectors_in_hand_[task.file] = total ? sectors * done / total : 0;
            show_progress();
        };
        const bool ok = write_stream(context, {target}, output_options, written, error);
        if (!ok && interrupted()) return;  // not recorded: the next run rips it
        std::string digest;
        uint64_t bytes = 0;
        std::string checksum_error;
        if (ok && !sha256_of(output, digest, bytes, checksum_error)) error = checksum_error;
        if (ok && checksum_error.empty()) {
            record["status"] = written.cut() ? "cut" : "done";
            if (written.cut()) record["note"] = written.note;
            record["bytes"] = bytes;
            record["sha256"] = digest;
            record["sectors_sha256"] = written.sectors_sha256;
            record["frames_written"] = written.reports[0].frames_written;
            record["audio_units"] = written.reports[0].audio_units_written;
            record["measured"] = stream_manifest(context)["measured"];
            Json times = Json::array();
            for (const FrameTime& t : written.timeline.frames) times.push_back(t.start.seconds());
            record["frame_times_seconds"] = std::move(times);
            record["undecodable_frames"] = written.undecodable_frames;
            remove_earlier(d, before);
        } else {
            record["status"] = "failed";
            record["error"] = valid_utf8(error);
        }
        d.index.record(task.order, record);
        {
            std::lock_guard lock(mutex_);
            ++through_;
            sectors_in_hand_.erase(task.file);
            sectors_done_ += sectors;
            if (!ok || !checksum_error.empty()) {
                d.counts.failed++;
                status_ = kExitError;
                failures_.push_back(error);
                say_line("FAILED", d, task.file);
                complain(error);
                report({d.image.disc_name, name, task.file, "failed", 0, error});
            } else {
                (written.cut() ? d.counts.cut : d.counts.done)++;
                std::string text = task.file;
                if (!written.undecodable_frames.empty()) {
                    text += " (" + std::to_string(written.undecodable_frames.size()) +
                            " frames cannot be decoded and are left out)";
                }
                if (written.cut()) text += ": " + written.note;
                say_line(written.cut() ? "cut" : "ok", d, text);
                report({d.image.disc_name, name, task.file, written.cut() ? "cut" : "done", bytes,
                        written.cut() ? written.note : std::string()});
            }
        }
        // Recorded as finished: an interruption later keeps it.
        RipCounts counts;
        {
            std::lock_guard lock(mutex_);
            counts = d.counts;
        }
        if (!d.index.save_soon(counts, error)) {
            std::lock_guard lock(mutex_);
            complain(error);
            failures_.push_back(error);
            status_ = kExitError;
        }
    }

    void finish_disc(RipDisc& d) {
        RipCounts counts;
        {
            std::lock_guard lock(mutex_);
            counts = d.counts;
            d.finished = true;
        }
        // A rip.json records what was ripped: a run that recorded nothing where nothing was
        // recorded before leaves no index (and no folder it made) behind.
        std::string error;
        bool saved = true;
        if (d.index.has_records() || options_.only_names.empty()) {
            saved = d.index.save(counts, error);
        } else {
            d.lock.reset();
            std::error_code ec;
            if (d.made_folder) fs::remove(d.folder, ec);  // only while empty
        }
        std::lock_guard lock(mutex_);
        meter_.clear();
        if (!saved) {
            complain(error);
            failures_.push_back(error);
            status_ = kExitError;
        }
        std::printf("%s: %s ripped to %s", printable(d.image.path).c_str(),
                    count_text(static_cast<size_t>(counts.done + counts.cut), "stream").c_str(),
                    printable(utf8_path(d.folder)).c_str());
        if (counts.already) std::printf(", %d ripped before", counts.already);
        if (counts.cut) std::printf(", %d of them cut", counts.cut);
        if (counts.unreadable) std::printf(", %d unreadable", counts.unreadable);
        if (counts.failed) std::printf(", %d failed", counts.failed);
        if (counts.interrupted) std::printf(", interrupted");
        std::printf("\n");
        std::fflush(stdout);
        ripped_ += counts.done + counts.cut;
        before_ += counts.already;
        cut_ += counts.cut;
        ++discs_done_;
    }

    void summarise() {
        if (options_.dry_run) {
            std::printf("%s of %s would be written\n", count_text(dry_run_streams_, "stream").c_str(),
                        count_text(discs_.size(), "disc").c_str());
            return;
        }
        meter_.step({{"step", "end"}, {"discs", discs_.size()}, {"ripped", ripped_}, {"ripped_before", before_},
                     {"cut", cut_}, {"failures", failures_.size()}});
        if (discs_.size() < 2 && failures_.empty()) {
            if (cut_ && status_ == kExitOk) status_ = kExitIncomplete;
            return;
        }
        std::printf("%s: %s ripped", count_text(discs_.size(), "disc").c_str(), count_text(ripped_, "stream").c_str());
        if (before_) std::printf(", %zu ripped before", before_);
        if (cut_) std::printf(", %zu of them cut", cut_);
        std::printf(", %s\n", count_text(failures_.size(), "failure").c_str());
        for (const std::string& f : failures_) std::printf("  failed: %s\n", f.c_str());
        if (cut_ && status_ == kExitOk) status_ = kExitIncomplete;
    }

    // With the run's lock held.
    void report(RippedStream stream) {
        Json step{{"step", "stream"}, {"disc", valid_utf8(stream.disc)}, {"name", stream.name}, {"file", stream.file},
                  {"state", stream.state}, {"bytes", stream.bytes}};
        if (!stream.error.empty()) step["error"] = valid_utf8(stream.error);
        meter_.step(std::move(step));
        if (results_) results_->push_back(std::move(stream));
    }

    // With the run's lock held.
    void say_line(const char* what, const RipDisc& d, const std::string& text) {
        meter_.clear();
        const std::string where = discs_.size() > 1 ? d.image.disc_name + "/" : std::string();
        std::printf("%-11s %s\n", what, printable(where + text).c_str());
        std::fflush(stdout);
        show_progress();
    }
    // With the run's lock held: discs and streams through, the stream in hand, the time taken and
    // an estimate of what is left, from the sectors ripped so far.
    void show_progress() {
        uint64_t done = sectors_done_;
        for (const auto& [file, sectors] : sectors_in_hand_) done += sectors;
        const double elapsed = meter_.elapsed();
        RipProgress now{through_, total_, in_hand_.file, in_hand_.done, in_hand_.total, in_hand_.frames, -1};
        if (done > 0 && sectors_total_ > done && elapsed > 2) {
            now.seconds_left = elapsed * static_cast<double>(sectors_total_ - done) / static_cast<double>(done);
        }
        if (progress_) progress_(now);
        if (meter_.mode() != ProgressMode::kTerminal) return;
        // (Built by appending: GCC 12 warns falsely of an overlap in "[" + std::string.)
        std::string text = "[";
        text += std::to_string(discs_done_) + "/" + std::to_string(discs_.size()) + " discs, " + std::to_string(through_) +
                "/" + std::to_string(total_) + " streams] ";
        text += clock_text(elapsed);
        if (now.seconds_left >= 0) text += ", about " + clock_text(now.seconds_left) + " left";
        if (!now.file.empty()) text += "; " + now.file + " " + amount_text(now);
        meter_.line(text);
    }

    // "12/32 frames", or for sound alone "0:12 of 2:00".
    static std::string amount_text(const RipProgress& p) {
        if (p.frames) return std::to_string(p.done) + "/" + std::to_string(p.total) + " frames";
        return clock_text(double(p.done) / 1000) + " of " + clock_text(double(p.total) / 1000);
    }

    static std::string format_seconds(uint32_t ms) {
        char text[32];
        std::snprintf(text, sizeof text, "%u.%03u s", ms / 1000, ms % 1000);
        return text;
    }

    const RipRequest options_;
    const std::vector<const PluginFile*> plugins_;
    const PluginFile* const only_;  // --plugin
    const bool media_;
    Progress meter_;
    const std::function<void(const RipProgress&)> progress_;
    std::vector<RippedStream>* const results_;
    unsigned jobs_ = 1;
    OutputOptions output_options_;
    std::vector<std::unique_ptr<RipDisc>> discs_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::thread> helpers_;  // workers besides the run's own thread, made as streams wait
    std::deque<RipTask> queue_;
    size_t next_disc_ = 0, open_discs_ = 0, busy_ = 0;
    bool stopping_ = false;
    size_t total_ = 0, through_ = 0, discs_done_ = 0, ripped_ = 0, before_ = 0, cut_ = 0, dry_run_streams_ = 0;
    struct InHand {
        std::string file;
        uint64_t done = 0, total = 0;  // frames, or milliseconds of sound
        bool frames = false;
    } in_hand_;  // the stream begun last
    uint64_t sectors_total_ = 0, sectors_done_ = 0;  // of the streams queued, and of those through
    std::map<std::string, uint64_t> sectors_in_hand_;  // of the streams being ripped, by their share done
    std::vector<std::string> failures_;
    int status_ = kExitOk;
};

}  // namespace

Outcome run_rip(const Options& options) {
    PluginFolder folder;
    const PluginFile* only = nullptr;
    if (Outcome failed = load_plugins(options, folder, &only)) return failed;
    Shard shard;
    std::string error;
    if (!options.shard.empty() && !parse_shard(options.shard, shard, error)) return usage_error(error);
    std::vector<CollectionImage> images;
    std::vector<std::string> not_images;
    if (!find_images(options.images, images, error, &not_images)) return failure("", error);
    if (!not_images.empty()) warn(not_images_line(not_images));
    // Disc names come from the whole collection, so that every shard names a disc alike.
    std::vector<CollectionImage> mine;
    for (CollectionImage& image : images) {
        if (in_shard(image, shard)) mine.push_back(std::move(image));
    }
    if (images.empty()) {
        return failure("", "no disc images in " + options.images.front() + (options.images.size() > 1 ? " and the rest" : ""));
    }
    return outcome_of_status(RipRun(rip_request(options), all_plugins(folder), only, std::move(mine), {}, nullptr).run());
}

int rip_collection(const RipRequest& options, std::vector<const PluginFile*> plugins, std::vector<CollectionImage> images,
                   const std::function<void(const RipProgress&)>& progress, std::vector<RippedStream>* results) {
    return RipRun(options, std::move(plugins), nullptr, std::move(images), progress, results).run();
}

}  // namespace quorvex
