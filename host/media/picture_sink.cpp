// Every frame of a stream as a PNG picture, frame_NNNNNN.png by frame number, with frames.json
// naming each picture, its time on the stream's timeline, and the frames that cannot be decoded.
#include <cstdio>
#include <map>

#include "../paths.h"
#include "mdec_decoder.h"
#include "media_sinks.h"

namespace fs = std::filesystem;

namespace quorvex {
namespace {

constexpr char kManifest[] = "frames.json";

class PictureSink : public UnitSink {
public:
    PictureSink(const StreamContext& context, const OutputOptions& options)
        : context_(context), options_(options), manifest_(stream_manifest(context)) {
        manifest_["pictures"] = Json::array();
        report_.decodes_pictures = true;
    }

    bool begin(const std::string& directory, std::string& error) {
        AtomicOutput::MayReplace may_replace;
        if (options_.force) {
            may_replace = [](const fs::path& place, std::string& why) { return folder_is_quorvex_output(place, kManifest, why); };
        }
        return output_.begin(directory, AtomicOutput::Kind::kFolder, may_replace, error);
    }

    bool take(const Unit& unit, const FrameTime* time, std::string& error) override {
        if (!unit.video) return true;
        std::string why;
        AVFrame* picture = decoder_.decode(unit.frame, why);
        if (!picture) {
            report_.undecodable_frames.push_back(unit.frame.frame_number);
            if (report_.first_failure.empty()) {
                report_.first_failure = "frame " + std::to_string(unit.frame.frame_number) + ": " + why;
            }
            return true;
        }
        av::Packet packet;
        if (!encode_png(picture, packet, error)) return false;
        const uint32_t copy = ++seen_[unit.frame.frame_number];
        char name[48];
        if (copy == 1) {
            std::snprintf(name, sizeof name, "frame_%06u.png", unit.frame.frame_number);
        } else {
            std::snprintf(name, sizeof name, "frame_%06u_%u.png", unit.frame.frame_number, copy);
        }
        errno = 0;
        std::FILE* f = open_file(output_.work() / name, "wb");
        bool ok = f && std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), f) == static_cast<size_t>(packet->size);
        if (f && std::fclose(f) != 0) ok = false;
        if (!ok) {
            error = output_.target() + "/" + name + ": cannot write: " + (errno ? std::strerror(errno) : "write error");
            return false;
        }
        Json entry;
        entry["file"] = name;
        entry["frame_number"] = unit.frame.frame_number;
        if (time) entry["time_seconds"] = time->start.seconds();
        manifest_["pictures"].push_back(std::move(entry));
        ++report_.frames_written;
        return true;
    }

    bool finish(std::string& error) override {
        if (report_.frames_written == 0) {
            error = output_.target() + ": none of the stream's " + std::to_string(report_.undecodable_frames.size()) +
                    " frames can be decoded (" + report_.first_failure + ")";
            return false;
        }
        manifest_["undecodable_frames"] = report_.undecodable_frames;
        const std::string text = dump(manifest_);
        errno = 0;
        std::FILE* f = open_file(output_.work() / kManifest, "wb");
        const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if ((f && std::fclose(f) != 0) || !ok) {
            error = output_.target() + "/" + kManifest + ": cannot write: " + (errno ? std::strerror(errno) : "write error");
            return false;
        }
        return true;
    }

    bool commit(std::string& error) override { return output_.commit(error); }
    void undo_commit() override { output_.undo_commit(); }
    const OutputReport& report() const override { return report_; }
    std::string where() const override { return output_.target(); }

private:
    bool encode_png(AVFrame* picture, av::Packet& packet, std::string& error) {
        if (!png_ || png_->width != picture->width || png_->height != picture->height) {
            const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
            png_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
            if (!png_) {
                error = "libavcodec has no PNG encoder";
                return false;
            }
            png_->width = picture->width;
            png_->height = picture->height;
            png_->pix_fmt = AV_PIX_FMT_RGB24;
            png_->time_base = AVRational{1, 25};
            if (avcodec_open2(png_.get(), codec, nullptr) < 0) {
                error = "cannot open the PNG encoder";
                return false;
            }
            rgb_.reset(av_frame_alloc());
            rgb_->format = AV_PIX_FMT_RGB24;
            rgb_->width = picture->width;
            rgb_->height = picture->height;
            if (av_frame_get_buffer(rgb_.get(), 0) < 0) {
                error = "out of memory";
                return false;
            }
        }
        sws_.reset(sws_getCachedContext(sws_.release(), picture->width, picture->height,
                                        static_cast<AVPixelFormat>(picture->format), picture->width, picture->height,
                                        AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!sws_ || av_frame_make_writable(rgb_.get()) < 0) {
            error = "cannot convert the pictures";
            return false;
        }
        sws_scale(sws_.get(), picture->data, picture->linesize, 0, picture->height, rgb_->data, rgb_->linesize);
        packet.reset(av_packet_alloc());
        if (avcodec_send_frame(png_.get(), rgb_.get()) < 0 || avcodec_receive_packet(png_.get(), packet.get()) < 0) {
            error = "cannot encode a PNG picture";
            return false;
        }
        return true;
    }

    const StreamContext& context_;
    OutputOptions options_;
    AtomicOutput output_;
    Json manifest_;
    OutputReport report_;
    MdecDecoder decoder_;
    av::Codec png_;
    av::Frame rgb_;
    av::Sws sws_;
    std::map<uint32_t, uint32_t> seen_;
};

}  // namespace

UnitSink* new_picture_sink(const StreamContext& context, const std::string& directory, const OutputOptions& options,
                           std::string& error) {
    auto sink = std::make_unique<PictureSink>(context, options);
    return sink->begin(directory, error) ? sink.release() : nullptr;
}

}  // namespace quorvex
