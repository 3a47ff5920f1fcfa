#include "shelf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "../interrupt.h"
#include "../media_output.h"
#include "../paths.h"
#include "../stream_format.h"
#include "../stream_writer.h"

namespace fs = std::filesystem;

namespace quorvex::viewer {
namespace {

std::string hex_id(const std::string& text) {
    char id[17];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(stable_hash(text)));
    return std::string(id, 12);
}

std::string format_of(const std::string& path) {
    char head[16] = {};
    std::ifstream in(native_path(path), std::ios::binary);
    in.read(head, sizeof head);
    const std::string ext = lower_ascii(utf8_path(native_path(path).extension()));
    if (std::memcmp(head, "MComprHD", 8) == 0) return "CHD";
    if (std::memcmp(head, "ECM", 4) == 0) return "ECM";
    if (std::memcmp(head, "\0PBP", 4) == 0) return "PBP";
    if (ext == ".ccd" || std::memcmp(head, "[CloneCD]", 9) == 0) return "CloneCD";
    if (ext == ".cue") return "CUE sheet";
    return "raw sectors";
}

bool is_video(const StreamInfo& info) { return (info.kind & 0x01) != 0; }

}  // namespace

Json Job::json() {
    Json j;
    j["id"] = id;
    j["kind"] = kind;
    j["disc"] = disc;
    j["done"] = done.load();
    j["total"] = total.load();
    const int s = state.load();
    j["state"] = s == 0 ? "running" : s == 1 ? "done" : "failed";
    std::lock_guard lock(mutex);
    j["message"] = valid_utf8(message);
    j["files"] = Json::array();
    for (const std::string& f : files) j["files"].push_back(valid_utf8(f));
    return j;
}

Shelf::Shelf(const Options& options, const std::vector<std::string>& folders, fs::path out, fs::path cache,
             uint64_t cache_bytes)
    : options_(options), out_(std::move(out)), cache_(std::move(cache)), cache_bytes_(cache_bytes) {
    std::vector<CollectionImage> images;
    std::string error;
    if (!find_images(folders, images, error)) warn(error);
    for (CollectionImage& image : images) {
        ShelfDisc d;
        d.id = hex_id(image.relative + "\n" + std::to_string(image.size) + "\n" + image.disc_name);
        d.format = format_of(image.path);
        d.image = std::move(image);
        discs_.push_back(std::move(d));
    }
    std::error_code ec;
    fs::create_directories(cache_, ec);
}

Shelf::~Shelf() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
    std::error_code ec;
    fs::remove_all(cache_, ec);
}

bool Shelf::load_plugins(std::string& error) {
    if (!load_plugin_folder(options_, plugin_folder_)) {
        error = "no plug-ins";
        return false;
    }
    plugins_ = all_plugins(plugin_folder_);
    return true;
}

Json Shelf::discs_json() {
    Json list = Json::array();
    for (const ShelfDisc& d : discs_) {
        Json j;
        j["id"] = d.id;
        put_text(j, "name", d.image.disc_name);
        put_text(j, "file", d.image.relative);
        j["size"] = d.image.bytes;
        j["format"] = d.format;
        std::error_code ec;
        j["present"] = fs::exists(native_path(d.image.path), ec);
        auto scan = scanned(d.id);
        j["scanned"] = scan != nullptr;
        if (scan) j["streams"] = scan->shown.size();
        list.push_back(std::move(j));
    }
    return list;
}

const ShelfDisc* Shelf::disc(const std::string& id, Failure& failure) const {
    for (const ShelfDisc& d : discs_) {
        if (d.id != id) continue;
        std::error_code ec;
        if (!fs::is_regular_file(native_path(d.image.path), ec)) {
            failure = {410, "the image " + d.image.relative + " is no longer there"};
            return nullptr;
        }
        return &d;
    }
    failure = {404, "no disc " + id};
    return nullptr;
}

std::shared_ptr<const ScannedDisc> Shelf::scanned(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = scans_.find(id);
    return found == scans_.end() ? nullptr : found->second;
}

std::shared_ptr<const ScannedDisc> Shelf::scan(const ShelfDisc& disc, Failure& failure, Job* job) {
    std::shared_ptr<std::mutex> maker;
    {
        std::lock_guard lock(mutex_);
        if (auto found = scans_.find(disc.id); found != scans_.end()) return found->second;
        auto& m = making_["scan/" + disc.id];
        if (!m) m = std::make_shared<std::mutex>();
        maker = m;
    }
    std::lock_guard making(*maker);
    if (auto done = scanned(disc.id)) return done;
    OpenDisc open;
    std::string error;
    auto result = std::make_shared<ScannedDisc>();
    const auto progress = [job](uint32_t done, uint32_t total) {
        if (!job) return;
        job->done = done;
        job->total = total;
    };
    if (!open_image(disc.image.path, options_.io_mode, open, error) ||
        !survey_disc(open.handle, disc.image.path, plugins_, result->survey, error, warn, progress)) {
        failure = {422, error.rfind(disc.image.path, 0) == 0 ? error : disc.image.path + ": " + error};
        return nullptr;
    }
    for (const StreamGroup& g : result->survey.groups) {
        for (const size_t i : g.chosen_streams) result->shown.push_back(i);
    }
    std::lock_guard lock(mutex_);
    scans_[disc.id] = result;
    return result;
}

Json Shelf::streams_json(const ShelfDisc& disc, const ScannedDisc& scan, const std::string& token) {
    Json list = Json::array();
    const auto& streams = scan.survey.report.streams;
    for (size_t k = 0; k < scan.shown.size(); ++k) {
        const size_t i = scan.shown[k];
        const FoundStream& s = streams[i];
        const StreamPlace& place = scan.survey.places[i];
        Json j = found_stream_json(s, place);
        j["number"] = k;
        j["also_found_by"] = Json::array();
        for (const StreamGroup& g : scan.survey.groups) {
            if (std::find(g.chosen_streams.begin(), g.chosen_streams.end(), i) == g.chosen_streams.end()) continue;
            for (const PluginFile* p : g.also_found) j["also_found_by"].push_back(p->stem);
        }
        const std::string base = "/api/discs/" + disc.id + "/streams/" + std::to_string(k) + "/";
        const std::string query = "?token=" + token;
        j["media_url"] = base + "media" + query;
        j["media_type"] = is_video(s.info) ? "video/mp4" : "audio/flac";
        if (is_video(s.info)) {
            j["thumbnail_url"] = base + "thumb.png" + query;
            j["filmstrip_urls"] = Json::array();
            for (int f = 0; f < 6; ++f) j["filmstrip_urls"].push_back(base + "frame" + std::to_string(f) + ".png" + query);
        }
        list.push_back(std::move(j));
    }
    return list;
}

bool Shelf::preview(const ShelfDisc& disc, size_t stream, const std::string& what, fs::path& file,
                    std::string& content_type, Failure& failure) {
    auto scan = this->scan(disc, failure);
    if (!scan) return false;
    if (stream >= scan->shown.size()) {
        failure = {404, "no stream " + std::to_string(stream) + " on this disc"};
        return false;
    }
    const FoundStream& s = scan->survey.report.streams[scan->shown[stream]];
    const bool video = is_video(s.info);
    double fraction = -1;
    if (what == "thumb") fraction = 1.0 / 3.0;
    if (what.size() == 6 && what.rfind("frame", 0) == 0 && what[5] >= '0' && what[5] <= '5') fraction = (what[5] - '0' + 0.5) / 6.0;
    if (what != "media" && (fraction < 0 || !video)) {
        failure = {404, "no " + what + " for this stream"};
        return false;
    }
    if (!media_output_available()) {
        failure = {501, "this build of quorvex writes no media files"};
        return false;
    }
    const std::string key = disc.id + "-" + std::to_string(stream) + "-" + what;
    content_type = what != "media" ? "image/png" : video ? "video/mp4" : "audio/flac";
    file = cache_ / (key + (what != "media" ? ".png" : video ? ".mp4" : ".flac"));
    // One maker per stream's media, one per stream's pictures (all of them are made at once).
    const std::string maker_key = disc.id + "-" + std::to_string(stream) + (what == "media" ? "-media" : "-pictures");
    std::shared_ptr<std::mutex> maker;
    {
        std::lock_guard lock(mutex_);
        auto& m = making_[maker_key];
        if (!m) m = std::make_shared<std::mutex>();
        maker = m;
    }
    std::lock_guard making(*maker);
    std::error_code ec;
    if (fs::exists(file, ec)) return true;

    OpenDisc open;
    std::string error;
    if (!open_image(disc.image.path, options_.io_mode, open, error)) {
        failure = {410, error};
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
    if (what == "media") {
        if (!write_stream(context, {{OutputTarget::Kind::kMediaFile, utf8_path(file)}}, output_options, written, error)) {
            failure = {422, error};
            return false;
        }
        keep_in_cache(file);
        return true;
    }
    // Every picture of the stream, of which the thumbnail (a third of the way in) and the six of
    // the filmstrip are kept: picked by position, whatever the stream's described rate says.
    const fs::path frames = cache_ / (disc.id + "-" + std::to_string(stream) + "-frames");
    fs::remove_all(frames, ec);
    if (!write_stream(context, {{OutputTarget::Kind::kPictures, utf8_path(frames)}}, output_options, written, error)) {
        fs::remove_all(frames, ec);
        failure = {422, error};
        return false;
    }
    std::vector<fs::path> pictures;
    for (const auto& e : fs::directory_iterator(frames, ec)) {
        if (e.path().extension() == ".png") pictures.push_back(e.path());
    }
    std::sort(pictures.begin(), pictures.end());
    if (pictures.empty()) {
        fs::remove_all(frames, ec);
        failure = {422, "no picture of this stream can be decoded"};
        return false;
    }
    const auto keep = [&](double at, const std::string& name) {
        const size_t n = std::min(pictures.size() - 1, static_cast<size_t>(at * static_cast<double>(pictures.size())));
        const fs::path kept = cache_ / (disc.id + "-" + std::to_string(stream) + "-" + name + ".png");
        fs::copy_file(pictures[n], kept, fs::copy_options::overwrite_existing, ec);
        if (!ec) keep_in_cache(kept);
    };
    keep(1.0 / 3.0, "thumb");
    for (int k = 0; k < 6; ++k) keep((k + 0.5) / 6.0, "frame" + std::to_string(k));
    fs::remove_all(frames, ec);
    (void)fraction;
    if (!fs::exists(file, ec)) {
        failure = {500, "cannot keep the pictures in the cache"};
        return false;
    }
    return true;
}

void Shelf::keep_in_cache(const fs::path& file) {
    std::error_code ec;
    const uint64_t bytes = fs::file_size(file, ec);
    std::lock_guard lock(mutex_);
    cached_.push_back({file, ec ? 0 : bytes});
    cached_bytes_ += ec ? 0 : bytes;
    // Oldest out first, never the one just made.
    while (cached_bytes_ > cache_bytes_ && cached_.size() > 1) {
        fs::remove(cached_.front().first, ec);
        cached_bytes_ -= cached_.front().second;
        cached_.erase(cached_.begin());
    }
}

std::shared_ptr<Job> Shelf::new_job(const std::string& kind, const std::string& disc) {
    auto job = std::make_shared<Job>();
    std::lock_guard lock(mutex_);
    job->id = kind + "-" + std::to_string(next_job_++);
    job->kind = kind;
    job->disc = disc;
    jobs_[job->id] = job;
    return job;
}

void Shelf::run_in_background(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    workers_.emplace_back(std::move(work));
}

std::shared_ptr<Job> Shelf::start_scan(const ShelfDisc& disc) {
    auto job = new_job("scan", disc.id);
    run_in_background([this, job, &disc] {
        Failure failure{};
        const bool ok = scan(disc, failure, job.get()) != nullptr;
        std::lock_guard lock(job->mutex);
        if (ok) job->done = job->total.load();
        job->message = ok ? "scanned" : failure.reason;
        job->state = ok ? 1 : 2;
    });
    return job;
}

std::shared_ptr<Job> Shelf::start_rip(const ShelfDisc& disc, const std::vector<size_t>& streams, Failure& failure) {
    auto scan = this->scan(disc, failure);
    if (!scan) return nullptr;
    if (streams.empty()) {
        failure = {400, "no streams chosen"};
        return nullptr;
    }
    Options rip = options_;
    rip.output = utf8_path(out_);
    rip.only_names.clear();
    rip.jobs.reset();  // as quorvex rip runs by default, so that its files are the same
    rip.plugin.clear();
    rip.kind.clear();
    rip.min_length = 0;
    rip.dry_run = false;
    auto job = new_job("rip", disc.id);
    const bool media = media_output_available();
    for (const size_t k : streams) {
        if (k >= scan->shown.size()) {
            failure = {404, "no stream " + std::to_string(k) + " on this disc"};
            return nullptr;
        }
        const size_t i = scan->shown[k];
        const std::string& name = scan->survey.places[i].name;
        rip.only_names.push_back(name);
        const bool video = is_video(scan->survey.report.streams[i].info);
        job->files.push_back(disc.image.disc_name + "/" + name + (media ? (video ? ".mkv" : ".flac") : ""));
    }
    job->total = streams.size();
    run_in_background([this, job, rip, &disc] {
        const int status = rip_collection(rip, plugins_, {disc.image}, [job](size_t done, size_t) { job->done = done; });
        std::lock_guard lock(job->mutex);
        job->state = status == kExitOk ? 1 : 2;
        job->message = status == kExitOk ? "ripped into " + utf8_path(out_ / disc.image.disc_name)
                                         : "the rip failed (exit status " + std::to_string(status) + "); the server's log says why";
    });
    return job;
}

std::shared_ptr<Job> Shelf::job(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = jobs_.find(id);
    return found == jobs_.end() ? nullptr : found->second;
}

Json Shelf::jobs_json() {
    std::vector<std::shared_ptr<Job>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, j] : jobs_) all.push_back(j);
    }
    Json list = Json::array();
    for (auto& j : all) list.push_back(j->json());
    return list;
}

}  // namespace quorvex::viewer
