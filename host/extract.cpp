#include "extract.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "json_writer.h"
#include "staged_output.h"
#include "stream_format.h"
#include "wav_writer.h"

namespace quorvex {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool write_file(const std::filesystem::path& path, const void* data, size_t bytes) {
    File f(std::fopen(path.string().c_str(), "wb"));
    return f && std::fwrite(data, 1, bytes, f.get()) == bytes && std::fclose(f.release()) == 0;
}

// frame_000001.mdec by frame number; a number met again gets a copy count: frame_000001_2.mdec.
std::string frame_file_name(uint32_t frame_number, std::map<uint32_t, uint32_t>& seen) {
    const uint32_t copy = ++seen[frame_number];
    char name[48];
    if (copy == 1) {
        std::snprintf(name, sizeof name, "frame_%06u.mdec", frame_number);
    } else {
        std::snprintf(name, sizeof name, "frame_%06u_%u.mdec", frame_number, copy);
    }
    return name;
}

class RawFolderSink : public UnitSink {
public:
    RawFolderSink(const ExtractRequest& request) : request_(request) {
        json_.begin_object().field("image", request.image).field("plugin", request.plugin->stem).key("stream").begin_object();
        write_stream_info(json_, request.info, request.plugin->stream_info_size() == 44);
        json_.end_object();
        if (request.seek_ms) json_.field("seek_ms", *request.seek_ms);
        json_.key("units").begin_array();
    }
    bool begin(const std::string& directory, std::string& error) { return output_.begin(directory, error); }

    bool take(const Unit& unit, ExtractSummary&, std::string& error) override {
        const FrameBuffer& frame = unit.frame;
        json_.begin_object();
        if (unit.video) {
            const std::string name = frame_file_name(frame.frame_number, seen_);
            if (!write_file(output_.stage(name), frame.payload, frame.payload_size)) return fail(name, error);
            json_.field("file", name)
                .field("frame_number", frame.frame_number)
                .field("width", frame.width)
                .field("height", frame.height)
                .field("frame_rate", frame.frame_rate)
                .field("bytes", frame.payload_size);
        } else if (request_.plugin->decode_audio) {
            if (!wav_open_) {
                if (!wav_.open(output_.stage("audio.wav").string(), request_.info.sample_rate, request_.info.channels)) {
                    return fail("audio.wav", error);
                }
                wav_open_ = true;
            }
            if (!wav_.write(unit.pcm.data(), unit.pcm.size() * 2)) return fail("audio.wav", error);
            json_.field("file", "audio.wav").field("bytes", frame.payload_size).field("pcm_bytes", unit.pcm.size() * 2);
        } else {
            if (!xa_) xa_.reset(std::fopen(output_.stage("audio.xa").string().c_str(), "wb"));
            if (!xa_ || std::fwrite(frame.payload, 1, frame.payload_size, xa_.get()) != frame.payload_size) {
                return fail("audio.xa", error);
            }
            json_.field("file", "audio.xa").field("bytes", frame.payload_size);
        }
        json_.end_object();
        return true;
    }

    bool finish(ExtractSummary& summary, std::string& error) override {
        json_.end_array()
            .field("frames", summary.frames)
            .field("audio_units", summary.audio_units)
            .field("audio_bytes", static_cast<int64_t>(summary.audio_bytes))
            .end_object();
        if ((wav_open_ && !wav_.finish()) || (xa_ && std::fclose(xa_.release()) != 0)) return fail("audio", error);
        const std::string manifest = json_.text() + "\n";
        if (!write_file(output_.stage("extract.json"), manifest.data(), manifest.size())) return fail("extract.json", error);
        return output_.commit(error);
    }

private:
    bool fail(const std::string& name, std::string& error) {
        error = (output_.destination() / name).string() + ": cannot write";
        return false;
    }

    const ExtractRequest& request_;
    StagedOutput output_;
    JsonWriter json_;
    std::map<uint32_t, uint32_t> seen_;
    File xa_;
    WavWriter wav_;
    bool wav_open_ = false;
};

}  // namespace

std::unique_ptr<UnitSink> make_raw_folder_sink(const ExtractRequest& request, const std::string& directory,
                                               std::string& error) {
    auto sink = std::make_unique<RawFolderSink>(request);
    if (!sink->begin(directory, error)) return nullptr;
    return sink;
}

bool play_stream(const ExtractRequest& request, const std::vector<UnitSink*>& sinks, ExtractSummary& summary,
                 std::string& error, const Progress& progress) {
    using Clock = std::chrono::steady_clock;
    const Plugin& plugin = *request.plugin;
    StreamHandle* stream = plugin.open(request.disc, &request.info);
    if (!stream) {
        error = request.image + ": " + plugin.stem + " cannot open the stream at sector " +
                std::to_string(request.info.start_sector);
        return false;
    }
    struct Closer {
        const Plugin& plugin;
        StreamHandle* stream;
        ~Closer() { plugin.close(stream); }
    } closer{plugin, stream};

    if (request.seek_ms && !plugin.seek(stream, *request.seek_ms)) {
        error = request.image + ": " + plugin.stem + " cannot seek to " + std::to_string(*request.seek_ms) + " ms";
        return false;
    }

    auto frame = std::make_unique<FrameBuffer>();
    std::vector<int16_t> pcm;
    // A stream cannot deliver more units than it has sectors, held audio aside.
    const uint64_t limit = uint64_t{request.info.sector_count} * 2 + 16;
    uint64_t units = 0;
    for (;;) {
        auto started = Clock::now();
        const int32_t delivered = plugin.read(stream, frame.get());
        summary.plugin_seconds += std::chrono::duration<double>(Clock::now() - started).count();
        if (!delivered) break;
        if (++units > limit) {
            error = request.image + ": " + plugin.stem + " keeps delivering data past the end of the stream";
            return false;
        }
        if (frame->payload_size > kFrameBufferCapacity) {
            error = request.image + ": " + plugin.stem + " reported " + std::to_string(frame->payload_size) +
                    " payload bytes, more than the frame buffer holds";
            return false;
        }
        const bool video = frame->frame_number != 0 || frame->width != 0 || frame->height != 0;
        std::span<const int16_t> decoded;
        if (video) {
            ++summary.frames;
        } else {
            ++summary.audio_units;
            if (plugin.decode_audio) {
                started = Clock::now();
                const uint32_t needed = plugin.decode_audio(frame.get(), nullptr, 0);
                const uint32_t room = std::max<uint32_t>(needed, (frame->payload_size / 1024 + 1) * 3584);
                pcm.resize(room / 2);
                const uint32_t written = plugin.decode_audio(frame.get(), pcm.data(), room);
                summary.plugin_seconds += std::chrono::duration<double>(Clock::now() - started).count();
                if (written > room) {
                    error = request.image + ": " + plugin.stem + " decoded past the buffer it was given";
                    return false;
                }
                decoded = std::span<const int16_t>(pcm.data(), written / 2);
                summary.audio_bytes += written;
            } else {
                summary.audio_bytes += frame->payload_size;
            }
        }
        const Unit unit{*frame, video, decoded};
        for (UnitSink* sink : sinks) {
            if (!sink->take(unit, summary, error)) return false;
        }
        if (progress) progress(summary);
    }
    for (UnitSink* sink : sinks) {
        if (!sink->finish(summary, error)) return false;
    }
    return true;
}

}  // namespace quorvex
