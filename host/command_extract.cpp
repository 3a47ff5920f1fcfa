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

int run_extract(const Options& options) {
    std::vector<OutputTarget> targets;
    std::string why;
    const bool piped = options.output == "-";
    if (piped) {
        const OutputFormat* format = output_format_named(options.format);
        if (!format || !format->streams) {
            complain("-o - writes to standard output: give --format mkv, flac or wav");
            return kExitUsage;
        }
        if (stdout_is_terminal()) {
            complain("-o - would write " + std::string(format->name) + " data to the terminal; send it to a file or a program (| mpv -)");
            return kExitUsage;
        }
    } else if (!options.format.empty()) {
        complain("--format names the container of -o -; a file's name says its own");
        return kExitUsage;
    }
    if (!options.output.empty()) {
        if (looks_like_unknown_file(options.output)) {
            complain(options.output + ": quorvex writes no " + extension_of(options.output) + " files (it writes " +
                     output_extensions_text() + ", or a folder of the units as delivered: end the name with /)");
            return kExitUsage;
        }
        const bool media = piped || output_format_of(options.output);
        if (media && !media_output_available(&why)) {
            complain(options.output + ": " + why);
            return kExitError;
        }
        targets.push_back({media ? OutputTarget::Kind::kMediaFile : OutputTarget::Kind::kUnitFolder, options.output});
    }
    if (!options.frames_directory.empty()) {
        if (!media_output_available(&why)) {
            complain(options.frames_directory + ": " + why);
            return kExitError;
        }
        targets.push_back({OutputTarget::Kind::kPictures, options.frames_directory});
    }

    PluginFolder folder;
    if (!load_plugin_folder(options, folder)) return kExitError;
    OpenDisc disc;
    std::string error;
    const std::string& image = options.images[0];
    if (!open_image(image, options.io_mode, disc, error)) {
        complain(error);
        return kExitError;
    }
    StreamContext context;
    if (const int status = choose_stream(options, folder, disc.handle, context); status != kExitOk) return status;
    const std::string who = context.name.empty() ? context.request.plugin->stem + "'s stream" : context.name;
    if (context.state == StreamState::kUnreadable) {
        complain(image + ": " + who + " cannot be read: " + context.note);
        return kExitError;
    }

    OutputOptions output_options;
    output_options.force = options.force;
    output_options.lossless = options.lossless;
    output_options.format = piped ? options.format : std::string();
    WrittenStream written;
    if (!write_stream(context, targets, output_options, written, error)) {
        if (!only_interrupted(error)) complain(error);  // an interruption is said once, as the run ends
        return kExitError;
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
    if (written.cut) {
        complain(image + ": the stream is cut: " + written.cut_note + "; what the disc holds was written");
        return kExitIncomplete;
    }
    return kExitOk;
}

}  // namespace quorvex
