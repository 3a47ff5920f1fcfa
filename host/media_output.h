// Media people can play, through FFmpeg's libraries: MDEC frames and XA audio decoded by
// libavcodec into a video file (.mkv, .mp4, .avi) or an audio file (.wav, .flac), and frames as
// PNG pictures. It lives in a module of its own, loaded the first time it is needed; a build
// without FFmpeg has none of it and says so.
#pragma once

#include <memory>
#include <string>

#include "outputs.h"

namespace quorvex {

// Whether this build can write media files; when not, `why` says how to get them.
bool media_output_available(std::string* why = nullptr);

std::unique_ptr<UnitSink> make_media_file_sink(const StreamContext& context, const std::string& path,
                                               const OutputOptions& options, std::string& error);
// Every frame as frame_NNNNNN.png, with frames.json naming each picture and its time.
std::unique_ptr<UnitSink> make_picture_sink(const StreamContext& context, const std::string& directory,
                                            const OutputOptions& options, std::string& error);

// Whether an existing media file was written by quorvex (it carries quorvex's comment).
bool media_file_is_quorvex_output(const std::filesystem::path& path, std::string& why);

}  // namespace quorvex
