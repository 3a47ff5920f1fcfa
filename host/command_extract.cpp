// quorvex extract: one stream to a folder of units, a media file, and/or a folder of pictures.
#include <cstdio>

#include "commands.h"
#include "media_output.h"
#include "media_paths.h"
#include "stream_writer.h"
#include "terminal.h"

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
    if (!options.output.empty()) {
        if (looks_like_unknown_file(options.output)) {
            complain(options.output + ": quorvex writes no " + extension_of(options.output) +
                     " files (it writes .mkv, .mp4, .avi, .wav and .flac, or a folder of the units as delivered: "
                     "end the name with /)");
            return kExitUsage;
        }
        if (is_media_file(options.output) && !media_output_available(&why)) {
            complain(options.output + ": " + why);
            return kExitError;
        }
        targets.push_back({is_media_file(options.output) ? OutputTarget::Kind::kMediaFile : OutputTarget::Kind::kUnitFolder,
                         options.output});
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
    const PluginFile* plugin = named_plugin(options, folder);
    if (!plugin) return kExitError;
    OpenDisc disc;
    std::string error;
    const std::string& image = options.images[0];
    if (!open_image(image, options.io_mode, disc, error)) {
        complain(error);
        return kExitError;
    }
    StreamContext context;
    if (const int status = choose_stream(options, *plugin, disc.handle, context); status != kExitOk) return status;
    if (context.state == StreamState::kUnreadable) {
        complain(image + ": " + plugin->stem + "'s stream cannot be read: " + context.note);
        return kExitError;
    }

    OutputOptions output_options;
    output_options.force = options.force;
    output_options.lossless = options.lossless;
    WrittenStream written;
    if (!write_stream(context, targets, output_options, written, error)) {
        complain(error);
        return kExitError;
    }

    const Timeline& t = written.timeline;
    for (size_t i = 0; i < targets.size(); ++i) {
        const OutputReport& r = written.reports[i];
        std::string what;
        if (r.frames_written) what = std::to_string(r.frames_written) + " frames";
        if (r.audio_units_written) {
            what += (what.empty() ? "" : " and ") + std::to_string(r.audio_units_written) + " audio units";
        }
        std::string span;
        if (r.frames_written && !t.frames.empty()) span = seconds_text(t.pictures_end - t.frames.front().start) + " of pictures";
        if (r.audio_units_written) span += (span.empty() ? "" : ", ") + seconds_text(t.sound) + " of sound";
        std::printf("%s: %s written to %s (%s)\n", image.c_str(), what.empty() ? "nothing" : what.c_str(),
                    targets[i].path.c_str(), span.c_str());
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
