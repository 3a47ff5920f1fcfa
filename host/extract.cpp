#include "extract.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <map>
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

}  // namespace

bool extract_stream(const ExtractRequest& request, ExtractSummary& summary, std::string& error) {
    const Plugin& plugin = *request.plugin;
    StagedOutput output;
    if (!output.begin(request.output_directory, error)) return false;

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
    File xa;
    WavWriter wav;
    bool wav_open = false;
    std::map<uint32_t, uint32_t> used_numbers;

    JsonWriter json;
    json.begin_object().field("image", request.image).field("plugin", plugin.stem).key("stream").begin_object();
    write_stream_info(json, request.info, plugin.stream_info_size() == 44);
    json.end_object();
    if (request.seek_ms) json.field("seek_ms", *request.seek_ms);
    json.key("units").begin_array();

    // A stream cannot deliver more units than it has sectors, held audio aside.
    const uint64_t limit = uint64_t{request.info.sector_count} * 2 + 16;
    uint64_t units = 0;
    while (plugin.read(stream, frame.get())) {
        if (++units > limit) {
            error = request.image + ": " + plugin.stem + " keeps delivering data past the end of the stream";
            return false;
        }
        const uint32_t size = frame->payload_size;
        if (size > kFrameBufferCapacity) {
            error = request.image + ": " + plugin.stem + " reported " + std::to_string(size) +
                    " payload bytes, more than the frame buffer holds";
            return false;
        }
        const bool video = frame->frame_number != 0 || frame->width != 0 || frame->height != 0;
        json.begin_object();
        if (video) {
            const std::string name = frame_file_name(frame->frame_number, used_numbers);
            if (!write_file(output.stage(name), frame->payload, size)) {
                error = (output.destination() / name).string() + ": cannot write";
                return false;
            }
            json.field("file", name)
                .field("frame_number", frame->frame_number)
                .field("width", frame->width)
                .field("height", frame->height)
                .field("frame_rate", frame->frame_rate)
                .field("bytes", size);
            ++summary.frames;
        } else if (plugin.decode_audio) {
            if (!wav_open) {
                if (!wav.open(output.stage("audio.wav").string(), request.info.sample_rate, request.info.channels)) {
                    error = (output.destination() / "audio.wav").string() + ": cannot write";
                    return false;
                }
                wav_open = true;
            }
            const uint32_t needed = plugin.decode_audio(frame.get(), nullptr, 0);
            const uint32_t room = std::max<uint32_t>(needed, (size / 1024 + 1) * 3584);
            pcm.resize(room / 2);
            const uint32_t written = plugin.decode_audio(frame.get(), pcm.data(), room);
            if (written > room || !wav.write(pcm.data(), written)) {
                error = (output.destination() / "audio.wav").string() + ": cannot write";
                return false;
            }
            json.field("file", "audio.wav").field("bytes", size).field("pcm_bytes", written);
            ++summary.audio_units;
            summary.audio_bytes += written;
        } else {
            if (!xa) xa.reset(std::fopen(output.stage("audio.xa").string().c_str(), "wb"));
            if (!xa || std::fwrite(frame->payload, 1, size, xa.get()) != size) {
                error = (output.destination() / "audio.xa").string() + ": cannot write";
                return false;
            }
            json.field("file", "audio.xa").field("bytes", size);
            ++summary.audio_units;
            summary.audio_bytes += size;
        }
        json.end_object();
    }
    json.end_array()
        .field("frames", summary.frames)
        .field("audio_units", summary.audio_units)
        .field("audio_bytes", static_cast<int64_t>(summary.audio_bytes))
        .end_object();

    if ((wav_open && !wav.finish()) || (xa && std::fclose(xa.release()) != 0)) {
        error = request.output_directory + ": cannot finish the audio file";
        return false;
    }
    const std::string manifest = json.text() + "\n";
    if (!write_file(output.stage("extract.json"), manifest.data(), manifest.size())) {
        error = (output.destination() / "extract.json").string() + ": cannot write";
        return false;
    }
    return output.commit(error);
}

}  // namespace quorvex
