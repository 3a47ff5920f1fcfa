// FFmpeg's half of quorvex, lib/libquorvex_media.so: its doors, found by name when first needed.
// A build without FFmpeg has no module and says how to get one.
#pragma once

#include <string>

#include "frame_pictures.h"
#include "outputs.h"

namespace quorvex {

class ReplaceMedia;

struct MediaModule {
    UnitSink* (*media_file_sink)(const StreamContext&, const std::string&, const OutputOptions&, std::string&) = nullptr;
    FramePictures* (*frame_pictures)(const PictureDecoding&) = nullptr;
    ReplaceMedia* (*replace_media)() = nullptr;
};

// The module, loaded once; null with `why` saying why there is none.
const MediaModule* media_module(std::string* why);

// The comment quorvex writes into every media file, by which --force knows its own files.
inline constexpr char kQuorvexCommentPrefix[] = "quorvex: ";

// What a media file of a stream says of itself in its tags.
struct MediaTags {
    std::string comment;  // quorvex's mark, the plug-in and the image's name
    std::string title, album, track;
};
MediaTags media_tags(const StreamContext& context);

}  // namespace quorvex
