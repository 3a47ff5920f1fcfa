// Media people can play. Video files (.mkv, .mp4, .avi) and FLAC go through FFmpeg's libraries,
// in a module of their own loaded the first time one is needed. Pictures (--frames PNGs) and WAV
// sound every build writes: a build without FFmpeg (the Windows one) with quorvex's own decoders,
// and says which outputs it has when asked for another.
#pragma once

#include <memory>
#include <string>

#include "frame_pictures.h"
#include "media_module.h"
#include "output_formats.h"
#include "outputs.h"

namespace quorvex {

// Whether this build has FFmpeg's media module; when not, `why` says how to get it.
bool media_output_available(std::string* why = nullptr);
// Whether this build writes `format`; when not, `why` says which outputs it does write.
bool output_available(const OutputFormat& format, std::string* why = nullptr);

std::unique_ptr<UnitSink> make_media_file_sink(const StreamContext& context, const std::string& path,
                                               const OutputOptions& options, std::string& error);
// Every frame as frame_NNNNNN.png, with frames.json naming each picture and its time.
std::unique_ptr<UnitSink> make_picture_sink(const StreamContext& context, const std::string& directory,
                                            const OutputOptions& options, std::string& error);
// A stream's sound as a 16-bit PCM WAV file, decoded by quorvex's own decoders.
std::unique_ptr<UnitSink> make_wav_sink(const StreamContext& context, const std::string& path,
                                        const OutputOptions& options, std::string& error);
// Whether a WAV file carries quorvex's comment.
bool wav_is_quorvex_output(const std::filesystem::path& path, std::string& why);
// libavcodec's MDEC decoder, or smoothed chroma, from the media module.
std::unique_ptr<FramePictures> make_module_frame_pictures(const PictureDecoding& how, std::string& error);

}  // namespace quorvex
