// A folder of the units as the plug-in delivered them, with extract.json saying what each is.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "../contract/raw_sector.h"
#include "outputs.h"
#include "paths.h"
#include "wav_writer.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

constexpr char kManifest[] = "extract.json";

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string write_error(const std::string& where) {
    return where + ": cannot write: " + (errno ? std::strerror(errno) : "write error");
}

bool write_file(const fs::path& path, const void* data, size_t bytes) {
    errno = 0;
    File f(open_file(path, "wb"));
    return f && std::fwrite(data, 1, bytes, f.get()) == bytes && std::fclose(f.release()) == 0;
}

class RawFolderSink : public UnitSink {
public:
    explicit RawFolderSink(const StreamContext& context) : context_(context), manifest_(stream_manifest(context)) {
        manifest_["units"] = Json::array();
    }

    bool begin(const std::string& directory, const OutputOptions& options, std::string& error) {
        const auto own = [](const fs::path& place, std::string& why) { return folder_is_quorvex_output(place, kManifest, why); };
        return output_.begin(directory, AtomicOutput::Shape::kFolder, replaceable(options, own), error);
    }

    bool take(const Unit& unit, const FrameTime* time, std::string& error) override {
        const FrameBuffer& frame = unit.frame;
        Json entry;
        if (unit.video) {
            const std::string name = frame_file_name(frame.frame_number, seen_, ".mdec");
            if (!write_file(output_.work() / name, frame.payload, frame.payload_size)) return fail(name, error);
            entry["type"] = "frame";
            entry["file"] = name;
            entry["frame_number"] = frame.frame_number;
            entry["width"] = frame.width;
            entry["height"] = frame.height;
            entry["frame_rate"] = frame.frame_rate;
            entry["bytes"] = frame.payload_size;
            if (time) {
                entry["time_seconds"] = time->start.seconds();
                entry["duration_seconds"] = time->duration.seconds();
            }
            ++report_.frames_written;
        } else if (context_.request.plugin->decodes_audio) {
            if (!wav_open_) {
                const StreamInfo& info = context_.request.info;
                if (!wav_.open(output_.work() / "audio.wav", info.sample_rate, info.channels)) {
                    return fail("audio.wav", error);
                }
                wav_open_ = true;
            }
            if (!wav_.write(unit.pcm.data(), unit.pcm.size() * 2)) return fail("audio.wav", error);
            entry["type"] = "audio";
            entry["file"] = "audio.wav";
            entry["bytes"] = frame.payload_size;
            entry["pcm_bytes"] = unit.pcm.size() * 2;
            entry["time_seconds"] = sound_.seconds();
            if (context_.request.info.sample_rate && context_.request.info.channels) {
                sound_ = sound_ + Rational::of(static_cast<int64_t>(unit.pcm.size() / context_.request.info.channels),
                                               context_.request.info.sample_rate);
            }
            ++report_.audio_units_written;
        } else {
            errno = 0;
            if (!xa_) xa_.reset(open_file(output_.work() / "audio.xa", "wb"));
            if (!xa_ || std::fwrite(frame.payload, 1, frame.payload_size, xa_.get()) != frame.payload_size) {
                return fail("audio.xa", error);
            }
            entry["type"] = "audio";
            entry["file"] = "audio.xa";
            entry["bytes"] = frame.payload_size;
            entry["sectors"] = frame.payload_size / psr::kXaAudioBytes;
            entry["time_seconds"] = sound_.seconds();
            for (const XaFormat& f : unit.sectors) sound_ = sound_ + sector_duration(f);
            ++report_.audio_units_written;
        }
        manifest_["units"].push_back(std::move(entry));
        return true;
    }

    bool finish(std::string& error) override {
        errno = 0;
        if (wav_open_ && !wav_.finish()) return fail("audio.wav", error);
        if (xa_ && std::fclose(xa_.release()) != 0) return fail("audio.xa", error);
        manifest_["frames"] = report_.frames_written;
        manifest_["audio_units"] = report_.audio_units_written;
        const std::string text = dump(manifest_);
        if (!write_file(output_.work() / kManifest, text.data(), text.size())) return fail(kManifest, error);
        return true;
    }

    bool commit(std::string& error) override { return output_.commit(error); }
    void undo_commit() override { output_.undo_commit(); }
    const OutputReport& report() const override { return report_; }
    std::string where() const override { return output_.target(); }

private:
    bool fail(const std::string& name, std::string& error) {
        error = write_error(output_.target() + "/" + name);
        return false;
    }

    const StreamContext& context_;
    AtomicOutput output_;
    Json manifest_;
    OutputReport report_;
    std::map<uint32_t, uint32_t> seen_;
    File xa_;
    WavWriter wav_;
    bool wav_open_ = false;
    Rational sound_;
};

}  // namespace

AtomicOutput::MayReplace replaceable(const OutputOptions& options, AtomicOutput::MayReplace is_own) {
    if (options.replace_recorded) return [](const fs::path&, std::string&) { return true; };
    return options.force ? is_own : nullptr;
}

std::string frame_file_name(uint32_t frame_number, std::map<uint32_t, uint32_t>& seen, const char* ext) {
    const uint32_t copy = ++seen[frame_number];
    char name[48];
    if (copy == 1) {
        std::snprintf(name, sizeof name, "frame_%06u%s", frame_number, ext);
    } else {
        std::snprintf(name, sizeof name, "frame_%06u_%u%s", frame_number, copy, ext);
    }
    return name;
}

Json stream_manifest(const StreamContext& c) {
    const StreamInfo& info = c.request.info;
    Json m;
    m["format_version"] = kJsonFormatVersion;
    put_text(m, "image", c.request.image);
    m["plugin"] = c.request.plugin->stem;
    m["plugin_name"] = c.request.plugin->name();
    Json stream;
    if (!c.name.empty()) {
        stream["number"] = c.number ? Json(*c.number) : Json(nullptr);
        stream["name"] = c.name;
    }
    stream.update(stream_info_json(info, c.request.plugin->carries_payload_bytes()));
    if (c.index) stream["index"] = *c.index;
    stream["described_by"] = c.described_by_scan ? "scan" : "estimate";
    stream["state"] = state_name(c.state);
    if (!c.note.empty()) stream["note"] = c.note;
    m["stream"] = std::move(stream);
    if (c.seek_ms) m["seek_ms"] = *c.seek_ms;
    if (c.timeline && c.delivery) {
        const Timeline& t = *c.timeline;
        Json measured;
        measured["duration_seconds"] = t.duration().seconds();
        measured["described_duration_seconds"] = info.duration_ms / 1000.0;
        measured["frames"] = c.delivery->counts.frames;
        measured["pictures_seconds"] = t.frames.empty() ? 0.0 : (t.pictures_end - t.frames.front().start).seconds();
        measured["sound_seconds"] = t.sound.seconds();
        measured["timed_by"] = t.timed_by_sound ? "sound" : (t.frames.empty() ? "sound only" : "frame rate");
        if (!t.frames.empty() && t.average_frame.num > 0) {
            measured["average_frames_per_second"] = 1.0 / t.average_frame.seconds();
            measured["sectors_per_second"] = t.sectors_per_second.seconds();
            measured["constant_rate"] = t.constant_rate;
        }
        m["measured"] = std::move(measured);
    }
    return m;
}

bool folder_is_quorvex_output(const fs::path& folder, const std::string& manifest, std::string& why) {
    std::ifstream in(folder / manifest, std::ios::binary);
    Json listed;
    try {
        listed = Json::parse(in);
    } catch (const std::exception&) {
        why = "holds no " + manifest + " of quorvex's";
        return false;
    }
    std::set<std::string> ours = {manifest};
    if (listed.contains("units")) {
        for (const auto& unit : listed["units"]) {
            if (unit.contains("file")) ours.insert(unit["file"].get<std::string>());
        }
    }
    if (listed.contains("pictures")) {
        for (const auto& p : listed["pictures"]) {
            if (p.contains("file")) ours.insert(p["file"].get<std::string>());
        }
    }
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!ours.count(name) || !it->is_regular_file()) {
            why = "holds " + name + ", which quorvex did not write";
            return false;
        }
    }
    return true;
}

std::unique_ptr<UnitSink> make_raw_folder_sink(const StreamContext& context, const std::string& directory,
                                               const OutputOptions& options, std::string& error) {
    auto sink = std::make_unique<RawFolderSink>(context);
    if (!sink->begin(directory, options, error)) return nullptr;
    return sink;
}

}  // namespace quorvex
