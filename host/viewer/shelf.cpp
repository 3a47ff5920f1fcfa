#include "shelf.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "../../discwell/discwell.h"
#include "../interrupt.h"
#include "../media_output.h"
#include "../output_formats.h"
#include "../rip_index.h"
#include "../paths.h"
#include "../stream_writer.h"

namespace fs = std::filesystem;

namespace quorvex::viewer {
namespace {
using psr::is_video;

// Preview makers at once; more requests wait for one, and beyond this many waiting they are
// asked to come back.
const unsigned kMakers = std::max(1u, std::thread::hardware_concurrency());
constexpr unsigned kMostWaiting = 64;
// Scans and rips begun and not yet through (a rip waiting for another of its disc counts).
constexpr size_t kMostJobs = 32;

// The thumbnail, then the six pictures of the filmstrip: where each lies among the frames.
constexpr double kPicturePlaces[] = {1.0 / 3.0, 0.5 / 6, 1.5 / 6, 2.5 / 6, 3.5 / 6, 4.5 / 6, 5.5 / 6};
const char* const kPictureNames[] = {"thumb", "frame0", "frame1", "frame2", "frame3", "frame4", "frame5"};

std::string hex_id(const std::string& text) {
    char id[17];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(stable_hash(text)));
    return std::string(id, 12);
}


const char* state_text(Job::State s) {
    switch (s) {
        case Job::State::kQueued: return "queued";
        case Job::State::kRunning: return "running";
        case Job::State::kDone: return "done";
        case Job::State::kCut: return "cut";
        case Job::State::kFailed: return "failed";
    }
    return "failed";
}

// Whether `path`, made absolute and free of links, lies under one of `roots`.
bool under_roots(const std::vector<fs::path>& roots, const std::string& path) {
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(native_path(path), ec);
    if (ec) return false;
    return std::any_of(roots.begin(), roots.end(), [&](const fs::path& root) { return lies_under(root, real); });
}

}  // namespace

static std::string file_url(const std::string& disc, size_t number, const std::string& token) {
    return "/api/discs/" + disc + "/files/" + std::to_string(number) + "?token=" + token;
}

const FoundStream* ScannedDisc::numbered(size_t number, size_t* index) const {
    if (number < 1 || number > survey.listing.size()) return nullptr;
    if (index) *index = survey.listing[number - 1];
    return &survey.report.streams[survey.listing[number - 1]];
}

Json Job::json(const std::string& token) {
    Json j;
    j["id"] = id;
    j["kind"] = kind;
    j["disc"] = disc;
    j["done"] = done.load();
    j["total"] = total.load();
    j["state"] = state_text(state.load());
    std::lock_guard lock(mutex);
    j["message"] = valid_utf8(message);
    j["files"] = Json::array();
    for (const std::string& f : files) j["files"].push_back(valid_utf8(f));
    if (kind == "rip") {
        put_text(j, "folder", folder);
        j["format"] = format;
        if (!progress.file.empty()) {
            Json now;
            put_text(now, "file", progress.file);
            now["done"] = progress.done;
            now["total"] = progress.total;
            now["unit"] = progress.frames ? "frames" : "milliseconds";
            now["seconds_left"] = progress.seconds_left >= 0 ? Json(std::round(progress.seconds_left)) : Json(nullptr);
            j["in_hand"] = std::move(now);
        }
        j["streams"] = Json::array();
        for (const RippedStream& s : streams) {
            Json e;
            put_text(e, "name", s.name);
            const auto n = numbers.find(s.name);
            e["number"] = n == numbers.end() ? Json(nullptr) : Json(n->second);
            e["state"] = s.state;
            e["bytes"] = s.bytes;
            e["error"] = s.error.empty() ? Json(nullptr) : Json(valid_utf8(s.error));
            const bool written = s.state != "failed" && n != numbers.end();
            e["file_url"] = written ? Json(file_url(disc, n->second, token)) : Json(nullptr);
            j["streams"].push_back(std::move(e));
        }
    }
    return j;
}

Shelf::Shelf(const Options& options, const std::vector<std::string>& folders, fs::path out, fs::path cache,
             uint64_t cache_bytes)
    : options_(options), out_(fs::absolute(out)), cache_(std::move(cache), cache_bytes) {
    for (const std::string& folder : folders) {
        std::error_code ec;
        roots_.push_back(fs::weakly_canonical(native_path(folder), ec));
    }
    std::vector<CollectionImage> images;
    std::string error;
    if (!find_images(folders, images, error)) warn(error);
    for (CollectionImage& image : images) {
        ShelfDisc d;
        d.id = hex_id(image.relative + "\n" + std::to_string(image.size) + "\n" + image.disc_name);
        d.format = image.format;
        d.image = std::move(image);
        const ImageStamp stamp = stamp_of(d.image);
        if (!stamp.outside.empty()) {
            warn(printable(d.image.path) + ": names " + printable(stamp.outside) + ", outside the folders served; left out");
            continue;
        }
        state_[d.id].stamp = stamp;
        discs_.push_back(std::move(d));
    }
}

Shelf::~Shelf() {
    std::vector<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (Worker& w : workers) w.thread.join();
}

Outcome Shelf::load_plugins() {
    if (Outcome failed = quorvex::load_plugins(options_, plugin_folder_)) return failed;
    plugins_ = all_plugins(plugin_folder_);
    return std::nullopt;
}

ImageStamp Shelf::stamp_of(const CollectionImage& image) const {
    ImageStamp stamp;
    std::vector<std::string> files{image.path};
    const ImageProbe probe = probe_image(image.path);
    if (probe.verdict != DW_PROBE_IMAGE) return ImageStamp{};  // a file of it is missing
    files.insert(files.end(), probe.parts.begin(), probe.parts.end());
    for (const std::string& file : files) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ImageStamp{};
        if (stamp.outside.empty() && !under_roots(roots_, file)) stamp.outside = file;
        stamp.bytes += static_cast<uint64_t>(st.st_size);
        stamp.files.push_back({st.st_size, st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec,
                               static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino)});
    }
    stamp.present = true;
    return stamp;
}

Json Shelf::discs_json() {
    Json list = Json::array();
    for (const ShelfDisc& d : discs_) {
        const ImageStamp now = stamp_of(d.image);
        Json j;
        j["id"] = d.id;
        put_text(j, "name", d.image.disc_name);
        put_text(j, "file", d.image.relative);
        j["size"] = now.bytes;
        j["format"] = d.format;
        j["present"] = now.present;
        std::lock_guard lock(mutex_);
        const DiscState& state = state_[d.id];
        const bool scanned = state.scan && state.stamp == now;
        j["scanned"] = scanned;
        if (scanned) j["streams"] = state.scan->survey.listing.size();
        if (!scanned && !state.scan_failure.empty() && state.failed_stamp == now) put_text(j, "scan_failed", state.scan_failure);
        list.push_back(std::move(j));
    }
    return list;
}

const ShelfDisc* Shelf::disc(const std::string& id, Failure& failure) {
    for (const ShelfDisc& d : discs_) {
        if (d.id != id) continue;
        const ImageStamp now = stamp_of(d.image);
        if (!now.present) {
            failure = {Refusal::kGone, "The image " + d.image.relative + " is no longer there: it may have been moved or removed."};
            return nullptr;
        }
        if (!now.outside.empty()) {
            failure = {Refusal::kOutside, "The image " + d.image.relative + " names a file outside the folders this server serves."};
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        DiscState& state = state_[d.id];
        if (!(state.stamp == now)) {
            // Another image under the same name: what was known of the old one goes.
            state.stamp = now;
            state.scan.reset();
            state.measured.clear();
            state.filmstrip.clear();
            cache_.drop(d.id + "-" + std::to_string(state.generation) + "-");
            ++state.generation;
        }
        return &d;
    }
    failure = {Refusal::kNotFound, "No disc with this id (" + id + "): it may have been removed, or the server restarted."};
    return nullptr;
}

std::shared_ptr<const ScannedDisc> Shelf::scan(const ShelfDisc& disc, Failure& failure, Job* job) {
    std::shared_ptr<std::mutex> maker;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        DiscState& state = state_[disc.id];
        if (state.scan) return state.scan;
        maker = state.making_scan;
        generation = state.generation;
    }
    std::lock_guard making(*maker);
    {
        std::lock_guard lock(mutex_);
        if (const auto& done = state_[disc.id].scan) return done;
    }
    if (job) job->state = Job::State::kRunning;
    OpenDisc open;
    std::string error;
    auto result = std::make_shared<ScannedDisc>();
    const auto progress = [job](uint32_t done, uint32_t total) {
        if (!job) return;
        job->done = done;
        job->total = total;
    };
    // discwell's message names the file; the survey's is said of the image.
    if (Outcome failed = open_image(disc.image.path, options_.io_mode, open)) {
        failure = {Refusal::kUnreadable, failed->text()};
        return nullptr;
    }
    if (!survey_disc(open.handle, disc.image.path, plugins_, result->survey, error, warn, progress)) {
        failure = {Refusal::kUnreadable, disc.image.path + ": " + error};
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    DiscState& state = state_[disc.id];
    if (state.generation == generation) state.scan = result;  // else the image changed meanwhile
    return result;
}

Json Shelf::streams_json(const ShelfDisc& disc, const ScannedDisc& scan, const std::string& token) {
    Json list = Json::array();
    const DiscSurvey& survey = scan.survey;
    std::map<size_t, double> measured;
    std::map<size_t, std::vector<double>> filmstrip;
    {
        std::lock_guard lock(mutex_);
        measured = state_[disc.id].measured;
        filmstrip = state_[disc.id].filmstrip;
    }
    const fs::path folder = out_ / native_path(disc.image.disc_name);
    for (const size_t i : survey.listing) {
        const FoundStream& s = survey.report.streams[i];
        Json j = found_stream_json(survey, i);
        j["also_found_by"] = Json::array();
        for (const PluginFile* p : survey.groups[static_cast<size_t>(survey.shown_for[i])].also_found) {
            j["also_found_by"].push_back(p->stem);
        }
        // The length the files play for, once a preview has measured it; the plug-in's estimate
        // counts sectors that hold no sound.
        const size_t number = survey.numbers[i];
        const auto known = measured.find(number);
        j["measured_duration_seconds"] = known == measured.end() ? Json(nullptr) : Json(known->second);
        // Ripped into the output folder already: what rip.json says of it.
        Json record;
        if (ripped_file(folder, stream_key(s), &record)) {
            j["ripped"] = {{"state", record["status"]}, {"bytes", record["bytes"]}, {"file", record["file"]},
                           {"file_url", file_url(disc.id, number, token)}};
        } else {
            j["ripped"] = nullptr;
        }
        const std::string base = "/api/discs/" + disc.id + "/streams/" + std::to_string(survey.numbers[i]) + "/";
        const std::string query = "?token=" + token;
        j["media_url"] = base + "media" + query;
        j["media_type"] = preview_format(is_video(s.info)).mime;
        if (is_video(s.info)) {
            j["thumbnail_url"] = base + "thumb.png" + query;
            j["filmstrip_urls"] = Json::array();
            for (int f = 0; f < 6; ++f) j["filmstrip_urls"].push_back(base + "frame" + std::to_string(f) + ".png" + query);
            const auto times = filmstrip.find(number);
            j["filmstrip_seconds"] = times == filmstrip.end() ? Json(nullptr) : Json(times->second);
        }
        list.push_back(std::move(j));
    }
    return list;
}

bool Shelf::preview(const ShelfDisc& disc, size_t stream, const std::string& what, Preview& out, Failure& failure) {
    auto scan = this->scan(disc, failure);
    if (!scan) return false;
    const FoundStream* numbered = scan->numbered(stream);
    if (!numbered) {
        failure = {Refusal::kNotFound, "This disc has no stream " + std::to_string(stream) + "."};
        return false;
    }
    const FoundStream& s = *numbered;
    const bool video = is_video(s.info);
    const bool picture = std::find(std::begin(kPictureNames), std::end(kPictureNames), what) != std::end(kPictureNames);
    if (what != "media" && (!picture || !video)) {
        failure = {Refusal::kNotFound, "This stream has no " + what + "."};
        return false;
    }
    if (!media_output_available()) {
        failure = {Refusal::kNotBuilt, "This build of quorvex writes no media files."};
        return false;
    }
    std::string prefix;
    {
        std::lock_guard lock(mutex_);
        prefix = disc.id + "-" + std::to_string(state_[disc.id].generation) + "-" + std::to_string(stream) + "-";
    }
    const OutputFormat& format = picture ? output_format("png") : preview_format(video);
    const std::string name = prefix + what + std::string(format.extension);
    out.content_type = format.mime;
    out.file = cache_.path(name);
    if ((out.pin = cache_.find(name))) return true;

    // One maker per stream's media, one per its pictures (all of them are made at once), and
    // no more makers at once than cores.
    std::shared_ptr<std::mutex> maker;
    {
        std::unique_lock lock(mutex_);
        auto& m = making_[prefix + (picture ? "pictures" : "media")];
        if (!m) m = std::make_shared<std::mutex>();
        maker = m;
    }
    std::lock_guard making(*maker);
    if ((out.pin = cache_.find(name))) return true;
    {
        std::unique_lock lock(mutex_);
        if (waiting_makers_ >= kMostWaiting) {
            failure = {Refusal::kBusy, "The server is busy making other previews; ask again in a moment."};
            return false;
        }
        ++waiting_makers_;
        maker_free_.wait(lock, [&] { return makers_ < kMakers; });
        --waiting_makers_;
        ++makers_;
    }
    std::string error;
    double measured = 0;
    std::vector<double> times;
    const bool made = make_previews(disc, s, prefix, !picture, measured, times, error);
    {
        std::lock_guard lock(mutex_);
        --makers_;
        if (made && measured > 0) state_[disc.id].measured[stream] = measured;
        if (made && times.size() == 6) state_[disc.id].filmstrip[stream] = times;
    }
    maker_free_.notify_one();
    if (!made) {
        failure = {interrupted() ? Refusal::kBusy : Refusal::kUnreadable, error};
        return false;
    }
    out.pin = cache_.keep(name, true);
    return true;
}

bool Shelf::make_previews(const ShelfDisc& disc, const FoundStream& s, const std::string& prefix, bool media,
                          double& measured, std::vector<double>& filmstrip, std::string& error) {
    OpenDisc open;
    if (Outcome failed = open_image(disc.image.path, options_.io_mode, open)) {
        error = failed->text();
        return false;
    }
    StreamContext context;
    context.request = PlaybackRequest{disc.image.path, s.plugin, open.handle, s.info, std::nullopt};
    context.index = s.index;
    context.state = s.state;
    context.note = s.note;
    WrittenStream written;
    OutputOptions output_options;
    output_options.encoder_threads = 1;  // the server's other requests keep their cores
    if (media) {
        const std::string name = prefix + "media" + std::string(preview_format(is_video(s.info)).extension);
        if (!write_stream(context, {{&preview_format(is_video(s.info)), utf8_path(cache_.path(name))}}, output_options,
                          written, error)) {
            return false;
        }
        measured = written.timeline.duration().seconds();
        cache_.keep(name, false);
        return true;
    }
    // The thumbnail and the filmstrip, picked by their place among the stream's pictures,
    // whatever the stream's described rate says; the rest of its frames are not decoded.
    output_options.picture_positions.assign(std::begin(kPicturePlaces), std::end(kPicturePlaces));
    const fs::path frames = cache_.path(prefix + "frames");
    std::error_code ec;
    fs::remove_all(frames, ec);
    if (!write_stream(context, {{&output_format("png"), utf8_path(frames)}}, output_options, written, error)) {
        return false;
    }
    measured = written.timeline.duration().seconds();
    Json manifest;
    try {
        std::ifstream in(frames / "frames.json", std::ios::binary);
        manifest = Json::parse(in);
        filmstrip.assign(6, 0.0);
        for (const Json& picture : manifest["pictures"]) {
            for (const Json& place : picture["positions"]) {
                const size_t k = place.get<size_t>();
                if (k >= 1 && k <= 6 && picture.contains("time_seconds")) filmstrip[k - 1] = picture["time_seconds"].get<double>();
                const std::string name = prefix + kPictureNames[k] + std::string(output_format("png").extension);
                fs::copy_file(frames / picture["file"].get<std::string>(), cache_.path(name),
                              fs::copy_options::overwrite_existing, ec);
                if (!ec) cache_.keep(name, false);
            }
        }
    } catch (const std::exception&) {
        error = "the pictures of this stream cannot be read back";
    }
    fs::remove_all(frames, ec);
    return error.empty();
}

bool Shelf::ripped(const ShelfDisc& disc, size_t number, Preview& file, Failure& failure) {
    auto scan = this->scan(disc, failure);
    if (!scan) return false;
    const FoundStream* s = scan->numbered(number);
    const auto path = s ? ripped_file(out_ / native_path(disc.image.disc_name), stream_key(*s)) : std::nullopt;
    if (!path) {
        failure = {Refusal::kNotFound, "Stream " + std::to_string(number) + " of this disc has not been ripped (or its file has changed since)."};
        return false;
    }
    const OutputFormat* format = output_format_of(utf8_path(*path));
    file.file = *path;
    file.content_type = format ? std::string(format->mime) : "application/octet-stream";
    return true;
}

std::shared_ptr<Job> Shelf::launch(const std::string& kind, const std::string& disc, std::function<void(Job&)> work,
                                  Failure& failure, const std::function<void(Job&)>& prepare) {
    std::lock_guard lock(mutex_);
    // Threads of finished jobs are joined; while many are unfinished, new work waits outside.
    std::erase_if(workers_, [](Worker& w) {
        if (!*w.finished) return false;
        w.thread.join();
        return true;
    });
    if (workers_.size() >= kMostJobs) {
        failure = {Refusal::kBusy, "The server is busy with " + std::to_string(workers_.size()) + " scans and rips; ask again when some are through."};
        return nullptr;
    }
    auto job = std::make_shared<Job>();
    job->id = kind + "-" + std::to_string(next_job_++);
    job->kind = kind;
    job->disc = disc;
    if (kind == "rip") {
        for (const ShelfDisc& d : discs_) {
            if (d.id == disc) job->folder = utf8_path(out_ / native_path(d.image.disc_name));
        }
    }
    if (prepare) prepare(*job);
    jobs_[job->id] = job;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back({std::thread([job, finished, work = std::move(work)] {
                            work(*job);
                            *finished = true;
                        }),
                        finished});
    return job;
}

std::shared_ptr<Job> Shelf::start_scan(const ShelfDisc& disc, Failure& failure) {
    return launch("scan", disc.id, [this, &disc](Job& job) {
        Failure failed{};
        const bool ok = scan(disc, failed, &job) != nullptr;
        {
            std::lock_guard lock(mutex_);  // the shelf remembers a failure until the image changes or scans
            DiscState& state = state_[disc.id];
            state.scan_failure = ok ? std::string() : failed.reason;
            state.failed_stamp = stamp_of(disc.image);
        }
        std::lock_guard lock(job.mutex);
        if (ok) job.done = job.total.load();
        job.message = ok ? "scanned" : failed.reason;
        job.state = ok ? Job::State::kDone : Job::State::kFailed;
    }, failure);
}

std::shared_ptr<Job> Shelf::start_rip(const ShelfDisc& disc, std::vector<size_t> streams, const std::string& movie_format, Failure& failure) {
    auto scan = this->scan(disc, failure);
    if (!scan) return nullptr;
    // A stream named twice is ripped once; a request naming one that is not there makes no job.
    std::sort(streams.begin(), streams.end());
    streams.erase(std::unique(streams.begin(), streams.end()), streams.end());
    if (streams.empty()) {
        failure = {Refusal::kBadRequest, "No streams were chosen."};
        return nullptr;
    }
    for (const size_t k : streams) {
        if (!scan->numbered(k)) {
            failure = {Refusal::kNotFound, "This disc has no stream " + std::to_string(k) + "."};
            return nullptr;
        }
    }
    // As quorvex rip runs by default (every plug-in, one stream per core), so that its files are
    // the same; the job says how far it has got.
    RipRequest rip;
    rip.output = utf8_path(out_);
    rip.lossless = options_.lossless;
    rip.movie_format = movie_format;
    rip.io_mode = options_.io_mode;
    rip.progress = "none";
    const bool media = media_output_available();
    std::vector<std::string> files;
    std::map<std::string, size_t> numbers;
    for (const size_t k : streams) {
        size_t i = 0;
        scan->numbered(k, &i);
        const std::string& name = scan->survey.names[i];
        rip.only_names.push_back(name);
        const bool video = is_video(scan->survey.report.streams[i].info);
        files.push_back(disc.image.disc_name + "/" + ripped_file_name(name, video, media, movie_format));
        numbers[name] = k;
    }
    std::shared_ptr<RipTurns> turns;
    {
        std::lock_guard lock(mutex_);
        turns = state_[disc.id].ripping;
    }
    auto ticket = std::make_shared<uint64_t>();
    const auto prepare = [&](Job& job) {  // under the shelf's lock, so tickets go in the jobs' order
        job.files = files;
        job.format = movie_format;
        job.numbers = numbers;
        job.total = streams.size();
        *ticket = turns->take();
    };
    return launch("rip", disc.id, [this, rip, turns, ticket, &disc](Job& job) {
        // One rip of a disc at a time, in the order asked: a later one waits, and skips what the
        // earlier one wrote.
        turns->wait_for(*ticket);
        struct Next {
            RipTurns& turns;
            ~Next() { turns.done(); }
        } next{*turns};
        job.state = Job::State::kRunning;
        std::vector<RippedStream> results;
        const auto heard = [&job](const RipProgress& p) {
            job.done = p.streams_done;
            std::lock_guard lock(job.mutex);
            job.progress = p;
        };
        const int status = rip_collection(rip, plugins_, {disc.image}, heard,
                                          &results);
        std::lock_guard lock(job.mutex);
        job.streams = results;
        const auto count = [&](const char* state) {
            return std::count_if(results.begin(), results.end(), [&](const RippedStream& s) { return s.state == state; });
        };
        const auto failed = count("failed"), cut = count("cut");
        const bool whole = status != kExitError && failed == 0 && results.size() >= job.files.size();
        job.state = !whole ? Job::State::kFailed : cut ? Job::State::kCut : Job::State::kDone;
        job.message = whole ? "ripped into " + utf8_path(out_ / native_path(disc.image.disc_name))
                            : std::to_string(failed ? failed : static_cast<long>(job.files.size() - results.size())) +
                                  " of " + std::to_string(job.files.size()) + " streams failed";
    }, failure, prepare);
}

std::shared_ptr<Job> Shelf::job(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = jobs_.find(id);
    return found == jobs_.end() ? nullptr : found->second;
}

Json Shelf::jobs_json(const std::string& token) {
    std::vector<std::shared_ptr<Job>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, j] : jobs_) all.push_back(j);
    }
    Json list = Json::array();
    for (auto& j : all) list.push_back(j->json(token));
    return list;
}

}  // namespace quorvex::viewer
