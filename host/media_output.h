// Media people can play, through FFmpeg's libraries: MDEC frames and XA audio decoded by
// libavcodec into a video file (.mkv, .mp4, .avi) or an audio file (.wav, .flac), and frames as
// PNG pictures. A build without FFmpeg has none of it and says so.
#pragma once

#include <memory>
#include <string>

#include "extract.h"

namespace quorvex {

bool media_output_supported();
// A path whose extension names a media file this build writes.
bool is_media_path(const std::string& path);

struct MediaOptions {
    bool lossless = false;  // FFV1 (H.264 at quantiser 0 in .mp4) instead of H.264
};

// `counts_skips`: this sink tallies the frames it cannot decode (one sink of an extraction does).
std::unique_ptr<UnitSink> make_media_file_sink(const ExtractRequest& request, const std::string& path,
                                               const MediaOptions& options, bool counts_skips, std::string& error);
std::unique_ptr<UnitSink> make_picture_sink(const ExtractRequest& request, const std::string& directory,
                                            bool counts_skips, std::string& error);

}  // namespace quorvex
