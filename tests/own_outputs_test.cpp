// What quorvex writes with its own code, in every build: PNG pictures in the console's colours
// (read back by libavcodec's PNG decoder), XA sound decoded exactly as libavcodec's XA decoder
// decodes it (every sound sector of the sample discs), and WAV files whose tags players read.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "codecs/mdec_decoder.h"
#include "codecs/xa_adpcm.h"
#include "host/media_output.h"
#include "host/png_writer.h"
#include "host/wav_writer.h"
#include "support/media_probe.h"
#include "support/run_program.h"
#include "support/test_disc.h"

using namespace testing_support;
using Json = nlohmann::json;

namespace {

// libavcodec's decoder `id`, fed one packet at a time.
class Decoder {
public:
    Decoder(AVCodecID id, int channels = 0, int rate = 0) {
        const AVCodec* codec = avcodec_find_decoder(id);
        context_ = avcodec_alloc_context3(codec);
        if (channels) av_channel_layout_default(&context_->ch_layout, channels);
        context_->sample_rate = rate;
        open_ = avcodec_open2(context_, codec, nullptr) >= 0;
    }
    ~Decoder() { avcodec_free_context(&context_); }
    // The frames one packet gives, passed to `take`.
    template <class Take>
    bool decode(const uint8_t* data, size_t size, Take take) {
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        bool ok = open_ && av_new_packet(packet, static_cast<int>(size)) >= 0;
        if (ok) {
            std::copy_n(data, size, packet->data);
            ok = avcodec_send_packet(context_, packet) >= 0;
            while (ok && avcodec_receive_frame(context_, frame) >= 0) take(frame);
        }
        av_frame_free(&frame);
        av_packet_free(&packet);
        return ok;
    }

private:
    AVCodecContext* context_ = nullptr;
    bool open_ = false;
};

std::vector<uint8_t> png_pixels(const std::vector<uint8_t>& file, int& width, int& height) {
    std::vector<uint8_t> rgb;
    Decoder png(AV_CODEC_ID_PNG);
    png.decode(file.data(), file.size(), [&](AVFrame* f) {
        if (f->format != AV_PIX_FMT_RGB24) return;
        width = f->width;
        height = f->height;
        for (int y = 0; y < f->height; ++y) rgb.insert(rgb.end(), f->data[0] + size_t(y) * f->linesize[0], f->data[0] + size_t(y) * f->linesize[0] + size_t(f->width) * 3);
    });
    return rgb;
}

double rgb_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double error = 0;
    for (size_t i = 0; i < a.size(); ++i) error += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return error == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / error);
}

}  // namespace

TEST(OwnOutputs, PicturesAreTheConsolesColoursWhicheverWayTheyAreMade) {
    // Edges a filter choice and stored blocks must keep: one-pixel pictures, odd widths, rows of
    // extremes, more than one stored block.
    for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {17, 5}, {320, 240}}) {
        std::vector<uint8_t> rgb(size_t(w) * h * 3);
        for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i % 7 == 0 ? 255 : (i * 37) ^ (i >> 3));
        for (int level : {6, 0}) {  // deflated, and stored as a build without zlib stores it
            int width = 0, height = 0;
            EXPECT_EQ(png_pixels(quorvex::encode_png(rgb, uint32_t(w), uint32_t(h), level), width, height), rgb) << w << "x" << h;
            EXPECT_EQ(width, w);
            EXPECT_EQ(height, h);
        }
    }

    TempDir dir("own-pictures");
    const std::string cue = build_path("samples/selvane.cue");
    const RunResult r = run_program(quorvex_command() + " extract " + cue + " --plugin selvane --stream 0 -o " +
                                    dir.file("units/") + " --frames " + dir.file("console"));
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(run_program(quorvex_command() + " extract " + cue + " --plugin selvane --stream 0 --chroma bicubic --frames " +
                          dir.file("smooth")).status, 0);
    const Json manifest = Json::parse(read_text(dir.file("units/extract.json")));
    const Json pictures = Json::parse(read_text(dir.file("console/frames.json")));
    size_t k = 0;
    for (const Json& unit : manifest["units"]) {
        if (unit["type"] != "frame") continue;
        ASSERT_LT(k, pictures["pictures"].size());
        const std::string name = pictures["pictures"][k++]["file"];
        codecs::Picture planes;
        std::string why;
        ASSERT_TRUE(codecs::decode_mdec(read_bytes(dir.file("units/" + unit["file"].get<std::string>())), 320, 240, planes, why));
        int width = 0, height = 0;
        const auto console = png_pixels(read_bytes(dir.file("console/" + name)), width, height);
        ASSERT_EQ(console, codecs::console_rgb(planes)) << name;
        const auto smooth = png_pixels(read_bytes(dir.file("smooth/" + name)), width, height);
        ASSERT_EQ(smooth.size(), console.size());
        EXPECT_NE(smooth, console) << name;
        EXPECT_GT(rgb_psnr(smooth, console), 30.0) << name;
    }
    EXPECT_EQ(k, pictures["pictures"].size());
    EXPECT_GT(k, 30u);

    // A song has no pictures to write: said so, and no folder is left.
    const RunResult song = run_program(quorvex_command() + " extract " + build_path("samples/ostrand.cue") + " --stream 1 --frames " +
                                       dir.file("song"));
    EXPECT_EQ(song.status, 1);
    EXPECT_NE(song.output.find("the stream holds no pictures (it is sound alone)"), std::string::npos) << song.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("song")));
}

TEST(OwnOutputs, XaSoundDecodesAsLibavcodecDecodesIt) {
    TempDir dir("own-xa");
    size_t sectors = 0;
    for (const char* disc : {"ostrand", "drumvale", "velocet", "selvane", "tamsel"}) {
        const std::string cue = build_path(std::string("samples/") + disc + ".cue");
        const Json listing = Json::parse(run_program(quorvex_command() + " scan --json " + cue).output);
        for (const Json& stream : listing["discs"][0]["streams"]) {
            if (!stream["audio"].get<bool>()) continue;
            const std::string out = dir.file(std::string(disc) + "-" + std::to_string(stream["number"].get<int>()) + "/");
            ASSERT_EQ(run_program(quorvex_command() + " extract " + cue + " --stream " + std::to_string(stream["number"].get<int>()) +
                                  " -o " + out).status, 0);
            const auto xa = read_bytes(out + "audio.xa");
            const int channels = stream["channels"], rate = stream["sample_rate"];
            Decoder theirs(AV_CODEC_ID_ADPCM_XA, channels, rate);
            codecs::XaHistory history[2];
            int16_t ours[codecs::kXaSamplesPerSector];
            for (size_t at = 0; at + codecs::kXaSectorAudioBytes <= xa.size(); at += codecs::kXaSectorAudioBytes, ++sectors) {
                codecs::decode_xa_sector(&xa[at], channels == 2, history, ours);
                std::vector<int16_t> expected;
                ASSERT_TRUE(theirs.decode(&xa[at], codecs::kXaSectorAudioBytes, [&](AVFrame* f) {
                    for (int i = 0; i < f->nb_samples; ++i) {
                        for (int c = 0; c < channels; ++c) expected.push_back(reinterpret_cast<const int16_t*>(f->extended_data[c])[i]);
                    }
                }));
                ASSERT_EQ(std::vector<int16_t>(ours, ours + codecs::kXaSamplesPerSector), expected)
                    << disc << " stream " << stream["number"] << ", sector " << at / codecs::kXaSectorAudioBytes;
            }
        }
    }
    EXPECT_GT(sectors, 500u);
}

TEST(OwnOutputs, WavFilesCarryTheirTagsAndQuorvexKnowsItsOwn) {
    TempDir dir("own-wav");
    {
        quorvex::WavWriter wav;
        ASSERT_TRUE(wav.open(dir.file("tagged.wav"), 18900, 1,
                             {{"ICMT", "quorvex: ostrand stream"}, {"INAM", "MUSIC0.XA-ch0-1"}, {"IPRD", ""}, {"IPRT", "3"}}));
        const int16_t samples[3] = {1, -2, 3};
        ASSERT_TRUE(wav.write(samples, sizeof samples));
        ASSERT_TRUE(wav.finish());
    }
    const ProbedMedia probed = probe_media(dir.file("tagged.wav"));
    EXPECT_EQ(probed.samples, (std::vector<int16_t>{1, -2, 3}));
    EXPECT_EQ(probed.sample_rate, 18900);
    EXPECT_EQ(probed.tags.at("comment"), "quorvex: ostrand stream");
    EXPECT_EQ(probed.tags.at("title"), "MUSIC0.XA-ch0-1");
    EXPECT_EQ(probed.tags.at("track"), "3");
    EXPECT_EQ(probed.tags.count("album"), 0u);
    std::string why;
    EXPECT_TRUE(quorvex::wav_is_quorvex_output(dir.file("tagged.wav"), why));

    // FFmpeg's WAV files of quorvex are known as its own as well; a stranger's, a cut file and
    // a lying chunk size are not.
    ASSERT_EQ(run_program(quorvex_command() + " extract " + build_path("samples/ostrand.cue") + " --plugin ostrand --stream 0 -o " +
                          dir.file("song.wav")).status, 0);
    EXPECT_TRUE(quorvex::wav_is_quorvex_output(dir.file("song.wav"), why));
    auto bytes = read_bytes(dir.file("tagged.wav"));
    write_bytes(dir.file("cut.wav"), {bytes.begin(), bytes.begin() + 40});
    EXPECT_FALSE(quorvex::wav_is_quorvex_output(dir.file("cut.wav"), why));
    bytes[16] = 0xFF, bytes[17] = 0xFF, bytes[18] = 0xFF, bytes[19] = 0xFF;  // the fmt chunk's size
    write_bytes(dir.file("lying.wav"), bytes);
    EXPECT_FALSE(quorvex::wav_is_quorvex_output(dir.file("lying.wav"), why));
    {
        quorvex::WavWriter wav;
        ASSERT_TRUE(wav.open(dir.file("stranger.wav"), 44100, 2, {{"ICMT", "made elsewhere"}}));
        ASSERT_TRUE(wav.finish());
    }
    EXPECT_FALSE(quorvex::wav_is_quorvex_output(dir.file("stranger.wav"), why));
    EXPECT_EQ(why, "was not written by quorvex");
}
