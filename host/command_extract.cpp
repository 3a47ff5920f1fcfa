// quorvex extract: one stream to a folder of units, a media file (or standard output), and/or a
// folder of pictures.
#include <cstdio>

#include "commands.h"
#include "interrupt.h"
#include "media_output.h"
#include "output_formats.h"
#include "paths.h"
#include "stream_writer.h"
#include "terminal.h"
#include "words.h"

namespace quorvex {
namespace {

std::string seconds_text(const Rational& r) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", r.seconds());
    return text;
}

std::string frame_list(const std::vector<uint32_t>& frames) {
    std::string out;
    for (size_t i = 0; i < frames.size() && i < 20; ++i) out += (i ? ", " : "") + std::to_string(frames[i]);
    if (frames.size() > 20) out += ", ...";
    return out;
}

}  // namespace

Outcome run_extract(const ExtractRequest& request) {
    std::vector<OutputTarget> targets;
    std::string why;
    const bool piped = request.output == "-";
    if (piped) {
        const OutputFormat* format = output_format_named(request.format);
        if (!format || !format->streams) return usage_error("-o - writes to standard output: give --format mkv, flac or wav");
        if (stdout_is_terminal()) {
            return usage_error("-o - would write " + std::string(format->name) +
                               " data to the terminal; send it to a file or a program (| mpv -)");
        }
    } else if (!request.format.empty()) {
        return usage_error("--format names the container of -o -; a file's name says its own");
    }
    if (!request.output.empty()) {
        if (looks_like_unknown_file(request.output)) {
            return usage_error(request.output + ": quorvex writes no " + extension_of(request.output) + " files (it writes " +
                               output_extensions_text() + ", or a folder of the units as delivered: end the name with /)");
        }
        const OutputFormat* media = piped ? output_format_named(request.format) : output_format_of(request.output);
        if (media && !output_available(*media, &why)) return failure(request.output, "this build of quorvex " + why);
        targets.push_back({media ? media : &output_format("units"), request.output});
    }
    if (!request.frames_directory.empty()) {
        targets.push_back({&output_format("png"), request.frames_directory});
    }

    PluginFolder folder;
    NamedStream named;
    Error error;
    if (!load_plugin_folder(request.plugin_directory, folder, error) || !open_named_stream(request.stream, folder, named, error)) {
        return error;
    }
    StreamContext& context = named.context;
    const std::string& image = request.stream.image;
    const std::string who = context.name.empty() ? context.request.plugin->stem + "'s stream" : context.name;
    if (context.state == StreamState::kUnreadable) return failure(image, who + " cannot be read: " + context.note);

    OutputOptions output_options;
    output_options.force = request.force;
    output_options.lossless = request.lossless;
    output_options.decoding = request.decoding;
    WrittenStream written;
    if (!write_stream(context, targets, output_options, written, why)) {
        Error failed = failure("", why);
        if (written.interrupted()) failed.kind = Error::Kind::kInterrupted;  // said once, as the run ends
        return failed;
    }

    // What was written; on standard error when standard output carries the stream itself.
    std::FILE* report = piped ? stderr : stdout;
    const Timeline& t = written.timeline;
    for (size_t i = 0; i < targets.size(); ++i) {
        const OutputReport& r = written.reports[i];
        std::string what;
        if (r.frames_written) what = count_text(r.frames_written, "frame");
        if (r.audio_units_written) {
            what += (what.empty() ? "" : " and ") + count_text(r.audio_units_written, "audio unit");
        }
        std::string span;
        if (r.frames_written && !t.frames.empty()) span = seconds_text(t.pictures_end - t.frames.front().start) + " of pictures";
        if (r.audio_units_written) span += (span.empty() ? "" : ", ") + seconds_text(t.sound) + " of sound";
        std::fprintf(report, "%s: %s written to %s (%s)\n", printable(image).c_str(), what.empty() ? "nothing" : what.c_str(),
                     piped ? "standard output" : printable(targets[i].path).c_str(), span.c_str());
    }
    if (!written.undecodable_frames.empty()) {
        std::string first;
        for (const OutputReport& r : written.reports) {
            if (first.empty()) first = r.first_failure;
        }
        warn(image + ": " + std::to_string(written.undecodable_frames.size()) +
             " frames cannot be decoded and are left out of the pictures (frames " +
             frame_list(written.undecodable_frames) + "; " + first + ")");
    }
    if (written.cut()) {
        return Error{Error::Kind::kCut, image, {}, "the stream is cut: " + written.note + "; what the disc holds was written"};
    }
    return std::nullopt;
}

}  // namespace quorvex
