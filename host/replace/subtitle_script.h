// Subtitles as replace burns them: an .srt or .ass/.ssa file read, checked and turned into one
// Advanced SubStation script for libass. Every line's times are checked (none may end before it
// starts or start before 0; lines that fall outside the stream are named), the text is taken as
// UTF-8 (UTF-16 with its byte-order mark, or Windows-1252 when it is not UTF-8, with a warning),
// and every size a style or an override tag gives (font size, scale, spacing, outline, shadow,
// blur, margins) is clamped to the picture, so that no line can ask for more than a picture's
// worth of drawing.
#pragma once

#include <string>
#include <vector>

namespace quorvex {

struct SubtitleScript {
    std::string ass;                    // the script libass is given
    size_t lines = 0;                   // lines shown within the stream
    std::vector<std::string> warnings;  // what was assumed or clamped, and lines outside the stream
};

// Reads `path` for pictures shown from 0 to `stream_seconds`. False with `error` naming the file,
// the line and the problem when it cannot be burnt as asked, or when no line falls within the
// stream.
bool read_subtitles(const std::string& path, double stream_seconds, SubtitleScript& script, std::string& error);

}  // namespace quorvex
