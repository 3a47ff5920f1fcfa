// The two MDEC decoders side by side on the sample movies' pictures (selvane's, and grivet's of an
// odd height, in version 3 as most games have them): the console's, quorvex's own, against
// libavcodec's. Each iteration decodes every frame once into full-range planes;
// frames_per_second is the counter to compare.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codecs/mdec_decoder.h"
#include "discbuilder/str_movie.h"

namespace {

struct Frames {
    std::vector<std::vector<uint8_t>> data;
    uint16_t width = 0, height = 0;
};

Frames movie_frames(discbuilder::MoviePlan plan) {
    plan.frames = 60;
    plan.real_pictures = true;
    plan.mdec_version = 3;
    discbuilder::DiscImage image;
    discbuilder::Tone tone(37800, 440, 660);
    Frames f;
    f.data = discbuilder::write_str_movie(image, 0, plan, tone).frames;
    f.width = plan.picture_width ? plan.picture_width : plan.width;
    f.height = plan.picture_height ? plan.picture_height : plan.height;
    return f;
}

const Frames& frames(int movie) {
    static const Frames movies[2] = {movie_frames(discbuilder::selvane_movie()), movie_frames(discbuilder::grivet_movie())};
    return movies[movie];
}

void BM_ConsoleDecoder(benchmark::State& state) {
    const Frames& movie = frames(static_cast<int>(state.range(0)));
    codecs::Picture planes;
    std::string why;
    for (auto _ : state) {
        for (const auto& frame : movie.data) {
            if (!codecs::decode_mdec(frame, movie.width, movie.height, planes, why)) state.SkipWithError(why.c_str());
            benchmark::DoNotOptimize(planes.y.data());
        }
    }
    state.counters["frames_per_second"] =
        benchmark::Counter(double(state.iterations() * movie.data.size()), benchmark::Counter::kIsRate);
}

void BM_LibavcodecDecoder(benchmark::State& state) {
    const Frames& movie = frames(static_cast<int>(state.range(0)));
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MDEC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = movie.width;
    context->height = movie.height;
    context->thread_count = 1;
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) < 0) state.SkipWithError("no MDEC decoder");
    for (auto _ : state) {
        for (const auto& frame : movie.data) {
            av_new_packet(packet, static_cast<int>(frame.size()));
            std::copy(frame.begin(), frame.end(), packet->data);
            if (avcodec_send_packet(context, packet) < 0 || avcodec_receive_frame(context, picture) < 0) {
                state.SkipWithError("libavcodec cannot decode a frame");
            }
            benchmark::DoNotOptimize(picture->data[0]);
            av_packet_unref(packet);
        }
    }
    state.counters["frames_per_second"] =
        benchmark::Counter(double(state.iterations() * movie.data.size()), benchmark::Counter::kIsRate);
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&context);
}

BENCHMARK(BM_ConsoleDecoder)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibavcodecDecoder)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
