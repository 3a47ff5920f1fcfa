// The console's MDEC decoding against libavcodec's on every frame of every sample movie: both
// decode every frame; the console's pictures differ from libavcodec's by at most 4 levels and
// lie within 45 dB of them, and most frames differ (the two decoders round differently), so that
// a wrapper around libavcodec could not pass.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codecs/mdec_decoder.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;
using Json = nlohmann::json;

namespace {

// libavcodec's planes of one frame, cropped to the picture.
bool libavcodec_planes(const std::vector<uint8_t>& data, int width, int height, codecs::Picture& out) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MDEC);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = width;
    c->height = height;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = avcodec_open2(c, codec, nullptr) >= 0 && av_new_packet(packet, static_cast<int>(data.size())) >= 0;
    if (ok) {
        std::copy(data.begin(), data.end(), packet->data);
        ok = avcodec_send_packet(c, packet) >= 0 && avcodec_receive_frame(c, frame) >= 0;
    }
    if (ok) {
        out.width = static_cast<uint16_t>(width);
        out.height = static_cast<uint16_t>(height);
        auto plane = [&](int index, int w, int h, std::vector<uint8_t>& to) {
            to.resize(size_t(w) * h);
            for (int y = 0; y < h; ++y) std::copy_n(frame->data[index] + size_t(y) * frame->linesize[index], w, &to[size_t(y) * w]);
        };
        plane(0, width, height, out.y);
        plane(1, (width + 1) / 2, (height + 1) / 2, out.cb);
        plane(2, (width + 1) / 2, (height + 1) / 2, out.cr);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&c);
    return ok;
}

}  // namespace

TEST(ConsoleMdec, EverySampleMovieDecodesNearLibavcodecButNotAsIt) {
    TempDir dir("console-mdec");
    size_t frames = 0, differing = 0;
    int largest = 0;
    double error = 0, samples = 0;
    for (const char* disc : {"selvane", "grivet", "tamsel", "walcite", "corvane"}) {
        const std::string cue = build_path(std::string("samples/") + disc + ".cue");
        const RunResult scan = run_program(quorvex_command() + " scan --json " + cue);
        ASSERT_EQ(scan.status, 0) << scan.output;
        const Json listing = Json::parse(scan.output);
        for (const Json& stream : listing["discs"][0]["streams"]) {
            const std::string out = dir.file(std::string(disc) + "-" + std::to_string(stream["number"].get<int>()));
            const RunResult r = run_program(quorvex_command() + " extract " + cue + " --stream " +
                                            std::to_string(stream["number"].get<int>()) + " -o " + out + "/");
            ASSERT_EQ(r.status, 0) << r.output;
            const Json manifest = Json::parse(read_text(out + "/extract.json"));
            for (const Json& unit : manifest["units"]) {
                if (unit["type"] != "frame") continue;
                const auto data = read_bytes(out + "/" + unit["file"].get<std::string>());
                const int w = unit["width"], h = unit["height"];
                codecs::Picture ours, theirs;
                std::string why;
                ASSERT_TRUE(codecs::decode_mdec(data, uint32_t(w), uint32_t(h), ours, why)) << disc << ": " << why;
                ASSERT_TRUE(libavcodec_planes(data, w, h, theirs)) << disc;
                bool differs = false;
                for (auto [a, b] : {std::pair{&ours.y, &theirs.y}, std::pair{&ours.cb, &theirs.cb}, std::pair{&ours.cr, &theirs.cr}}) {
                    ASSERT_EQ(a->size(), b->size());
                    for (size_t i = 0; i < a->size(); ++i) {
                        const int d = std::abs(int((*a)[i]) - int((*b)[i]));
                        largest = std::max(largest, d);
                        differs |= d != 0;
                        error += double(d) * d;
                    }
                    samples += double(a->size());
                }
                ++frames;
                differing += differs;
            }
        }
    }
    ASSERT_GT(frames, 300u);
    const double psnr = 10 * std::log10(255.0 * 255.0 * samples / std::max(error, 1.0));
    RecordProperty("frames", std::to_string(frames));
    RecordProperty("psnr_db", std::to_string(psnr));
    RecordProperty("largest_difference", std::to_string(largest));
    EXPECT_LE(largest, 4);
    EXPECT_GE(psnr, 45.0);
    EXPECT_GT(differing * 2, frames) << differing << " of " << frames << " frames differ";
}
