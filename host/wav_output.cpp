// A stream's sound as a WAV file, decoded by quorvex's own code: XA ADPCM sector by sector (the
// history carried across sectors, as the console's decoder carries it), or the PCM an archive
// plug-in decoded. The build without FFmpeg writes its WAV files so; they hold the samples
// libavcodec's XA decoder gives.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "codecs/xa_adpcm.h"
#include "contract/raw_sector.h"
#include "media_output.h"
#include "wav_writer.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

class WavSink : public UnitSink {
public:
    WavSink(const StreamContext& context, std::string path, const OutputOptions& options)
        : context_(context), path_(std::move(path)), options_(options) {}

    bool begin(std::string& error) {
        if (path_ == "-") {
            error = "-o -: this build writes WAV files, not a WAV stream down a pipe";
            return false;
        }
        const StreamDelivery& delivery = *context_.delivery;
        const StreamInfo& info = context_.request.info;
        if (!delivery.has_audio()) {
            error = path_ + ": the stream has no sound for a sound file";
            return false;
        }
        format_ = delivery.sector_formats.empty()
                      ? XaFormat{static_cast<uint8_t>(info.channels), info.sample_rate}
                      : delivery.sector_formats.front();
        if (format_.channels < 1 || format_.channels > 2 || format_.sample_rate == 0) {
            error = path_ + ": the stream's sound has no usable format (" + std::to_string(format_.channels) + " channels at " +
                    std::to_string(format_.sample_rate) + " Hz)";
            return false;
        }
        for (size_t i = 0; i < delivery.sector_formats.size(); ++i) {
            const XaFormat& f = delivery.sector_formats[i];
            if (f == format_) continue;
            error = path_ + ": the stream's sound changes from " + describe(format_) + " to " + describe(f) + " at its sound sector " +
                    std::to_string(i) + "; this build writes WAV files of sound in one format only";
            return false;
        }
        if (!output_.begin(path_, AtomicOutput::Shape::kFile, replaceable(options_, wav_is_quorvex_output), error)) return false;
        const MediaTags tags = media_tags(context_);
        errno = 0;
        if (!wav_.open(output_.work(), format_.sample_rate, format_.channels,
                       {{"ICMT", tags.comment}, {"INAM", tags.title}, {"IPRD", tags.album}, {"IPRT", tags.track}})) {
            error = write_error();
            return false;
        }
        return true;
    }

    bool take(const Unit& unit, const FrameTime*, std::string& error) override {
        if (unit.video) return true;
        ++report_.audio_units_written;
        bool ok = true;
        if (context_.request.plugin->decodes_audio) {
            ok = wav_.write(unit.pcm.data(), unit.pcm.size_bytes());
        } else {
            const size_t sectors = std::min<size_t>(unit.sectors.size(), unit.frame.payload_size / psr::kXaAudioBytes);
            for (size_t s = 0; s < sectors && ok; ++s) {
                codecs::decode_xa_sector(unit.frame.payload + s * psr::kXaAudioBytes, format_.channels == 2, history_, pcm_);
                ok = wav_.write(pcm_, sizeof pcm_);
            }
        }
        if (!ok) error = write_error();
        return ok;
    }

    bool finish(std::string& error) override {
        errno = 0;
        if (!wav_.finish()) {
            error = write_error();
            return false;
        }
        return true;
    }

    bool commit(std::string& error) override { return output_.commit(error); }
    void undo_commit() override { output_.undo_commit(); }
    const OutputReport& report() const override { return report_; }
    std::string where() const override { return path_; }

private:
    static std::string describe(const XaFormat& f) {
        return std::string(f.channels == 2 ? "stereo" : "mono") + " at " + std::to_string(f.sample_rate) + " Hz";
    }
    std::string write_error() const { return path_ + ": cannot write: " + (errno ? std::strerror(errno) : "write error"); }

    const StreamContext& context_;
    std::string path_;
    OutputOptions options_;
    AtomicOutput output_;
    OutputReport report_;
    WavWriter wav_;
    XaFormat format_;
    codecs::XaHistory history_[2];
    int16_t pcm_[codecs::kXaSamplesPerSector];
};

uint32_t le32(const char* p) {
    return uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16 | uint32_t(uint8_t(p[3])) << 24;
}

}  // namespace

std::unique_ptr<UnitSink> make_wav_sink(const StreamContext& context, const std::string& path, const OutputOptions& options,
                                        std::string& error) {
    auto sink = std::make_unique<WavSink>(context, path, options);
    if (!sink->begin(error)) return nullptr;
    return sink;
}

// The chunks before the samples are read, at most 64 KiB of them: a LIST INFO chunk whose ICMT
// starts with quorvex's mark.
bool wav_is_quorvex_output(const fs::path& path, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes(65536);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const char* head = bytes.data();
    const uint64_t size = static_cast<uint64_t>(in.gcount());
    bool ours = false;
    if (size >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
        for (uint64_t at = 12; at + 8 <= size && !ours;) {
            const uint64_t length = le32(head + at + 4), end = at + 8 + length;
            if (std::memcmp(head + at, "LIST", 4) == 0 && length >= 4 && end <= size && std::memcmp(head + at + 8, "INFO", 4) == 0) {
                for (uint64_t tag = at + 12; tag + 8 <= end;) {
                    const uint64_t text = le32(head + tag + 4);
                    if (text > end - tag - 8) break;
                    if (std::memcmp(head + tag, "ICMT", 4) == 0) {
                        ours = std::string_view(head + tag + 8, static_cast<size_t>(text)).starts_with(kQuorvexCommentPrefix);
                    }
                    tag += 8 + text + (text & 1);
                }
            }
            if (std::memcmp(head + at, "data", 4) == 0) break;
            at = end + (length & 1);
        }
    }
    if (!ours) why = "was not written by quorvex";
    return ours;
}

}  // namespace quorvex
