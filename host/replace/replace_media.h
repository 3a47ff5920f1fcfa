// What replacing a stream needs from FFmpeg's libraries, in quorvex's media module: new pictures
// and sound read from the files people make them in, subtitles burnt into pictures (libass), and
// MDEC frames decoded as quorvex decodes them everywhere else, for measuring what was written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../../codecs/mdec.h"

namespace quorvex {

struct RgbPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // width x height x 3
};

// What --fit made of a source: pictures no frame shows, and frames showing the picture before them.
struct FitCounts {
    size_t left_out = 0;
    size_t repeated = 0;
};

// Pictures handed out one at a time, in the order of the times they were asked for. A frame the
// source holds no picture for (a folder holding some of the frames) comes back empty (width 0).
class PictureStream {
public:
    virtual ~PictureStream() = default;
    virtual bool next(RgbPicture& picture, std::string& error) = 0;
    // With --fit, once every frame has had its picture; reads the rest of a video to count it.
    virtual FitCounts fit_counts(std::string& error) = 0;
};

// Subtitles drawn onto pictures shown at a time.
class SubtitleBurner {
public:
    virtual ~SubtitleBurner() = default;
    virtual bool burn(RgbPicture& picture, double seconds, std::string& error) = 0;
};

class ReplaceMedia {
public:
    virtual ~ReplaceMedia() = default;
    // The pictures of a video file, or of a folder of pictures named by frame number, scaled to
    // `width` x `height`, one per frame: `seconds` are the frames' times, `frame_numbers` their
    // numbers as the stream's plug-in gives them. Without `fit` a video must hold exactly as many
    // pictures as there are frames (an error names both counts), taken in order, and a folder
    // pictures of any of the frames, each named by its number as --frames names them (an error
    // names the pictures no frame has); with it, each frame takes the picture shown at its time,
    // or the folder's pictures in order spread over the frames.
    virtual std::unique_ptr<PictureStream> open_pictures(const std::string& source, int width, int height,
                                                         const std::vector<double>& seconds,
                                                         const std::vector<uint32_t>& frame_numbers, bool fit,
                                                         std::string& error) = 0;
    // The subtitles of an .srt or .ass file (its styles honoured) for pictures of this size.
    virtual std::unique_ptr<SubtitleBurner> open_subtitles(const std::string& path, int width, int height,
                                                           std::string& error) = 0;
    // A sound file's samples, interleaved 16-bit, at `rate` Hz in `channels` channels: its first
    // `needed` samples (all channels), decoding no further; `given_seconds` how long the file lasts.
    // A file that cannot be decoded to where it is needed (a damaged one) is an error.
    virtual bool read_sound(const std::string& path, int rate, int channels, size_t needed, std::vector<int16_t>& samples,
                            double& given_seconds, std::string& error) = 0;
    // An MDEC frame as quorvex's pictures show it; the decoder is not shared between threads.
    virtual bool decode_frame(const std::vector<uint8_t>& mdec, int width, int height, RgbPicture& picture,
                              std::string& error) = 0;
};

// The media module's, or null with `error` saying why there is none. Each thread uses its own.
std::unique_ptr<ReplaceMedia> make_replace_media(std::string& error);

// The peak signal-to-noise ratio of `b` against `a`, in dB over the RGB channels (99 when equal).
double psnr(const RgbPicture& a, const RgbPicture& b);

}  // namespace quorvex
