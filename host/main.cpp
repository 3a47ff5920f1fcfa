// quorvex: loads the .PSR plug-ins, scans PlayStation disc images for their streams, describes
// and extracts them.
#include <cmath>
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "interrupt.h"
#include "replace/replace_request.h"
#if defined(QUORVEX_HAVE_VIEWER)
#include "viewer/viewer.h"
#endif

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

constexpr char kVersion[] = QUORVEX_VERSION;

// The command line as UTF-8: on Windows from the wide command line, so that any file name works.
std::vector<std::string> arguments(int argc, char** argv) {
#if defined(_WIN32)
    (void)argc;
    (void)argv;
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(static_cast<size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), bytes, nullptr, nullptr);
        out.push_back(s);
    }
    LocalFree(wide);
    return out;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

// Numbers from 0 to 4294967295, nothing else ("-1" is not one).
CLI::Option* number(CLI::App* app, const std::string& name, std::optional<uint32_t>& slot, const std::string& help) {
    return app
        ->add_option_function<std::string>(
            name,
            [&slot, name](const std::string& text) {
                char* end = nullptr;
                errno = 0;
                const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
                if (text.empty() || *end || errno || v > 0xFFFFFFFFull || text[0] == '-' || text[0] == '+') {
                    throw CLI::ValidationError(name, "'" + text + "' is not a number from 0 to 4294967295");
                }
                slot = static_cast<uint32_t>(v);
            },
            help)
        ->type_name("N");
}

// How far apart two words are: the letters to change, add or take away.
size_t distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The filters a listing or a rip takes.
void add_filters(CLI::App* command, quorvex::Options& o, const char* plugin_help) {
    command->add_option("--plugin", o.plugin, plugin_help);
    command->add_option("--kind", o.kind, "only video or only audio streams")->check(CLI::IsMember({"video", "audio"}));
    command->add_option("--min-length", o.min_length, "only streams at least this long")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 1e6));
}

// How a stream is named: --stream NAME|NUMBER, or --plugin P with --stream K or --start/--count.
void add_stream_choice(CLI::App* command, quorvex::Options& o) {
    command->add_option("--stream", o.stream,
                        "the stream's name or number, as scan lists it (with --plugin: the plug-in's own index)")
        ->type_name("NAME|NUMBER");
    command->add_option("--plugin", o.plugin, "a plug-in, by file name or display name (with --stream K or --start)");
    CLI::Option* start = number(command, "--start", o.start, "first sector (LBA) of a range (with --plugin)");
    CLI::Option* count = number(command, "--count", o.count, "number of sectors of the range");
    start->needs(count);
    count->needs(start);
}

// How frames become pictures: --decoder and --chroma.
void add_decoding(CLI::App* command, quorvex::Options& o) {
    command->add_option_function<std::string>(
                "--decoder", [&o](const std::string& v) { o.decoding.libavcodec = v == "libavcodec"; },
                "console (default: as the console decodes MDEC) or libavcodec (FFmpeg's decoder, for comparison)")
        ->check(CLI::IsMember({"console", "libavcodec"}));
    command->add_option("--chroma", o.decoding.chroma,
                        "how RGB pictures bring the chroma to full size: console (default, each sample over 2x2 pixels), "
                        "bilinear or bicubic")
        ->check(CLI::IsMember({"console", "bilinear", "bicubic"}));
}

// What --stream, --plugin, --start and --count say together, or a command-line error.
void check_stream_choice(const quorvex::Options& o) {
    if (o.count && *o.count == 0) throw CLI::ValidationError("--count must be at least 1");
    if (o.plugin.empty()) {
        if (o.start) throw CLI::ValidationError("--start and --count name a range of a plug-in: give --plugin");
        if (o.stream.empty()) throw CLI::ValidationError("name the stream: --stream NAME|NUMBER, or --plugin P with --stream K or --start and --count");
        return;
    }
    if (!o.stream.empty() && o.start) throw CLI::ValidationError("--stream and --start name a stream two ways: give one");
    if (o.stream.empty() && !o.start) throw CLI::ValidationError("with --plugin, give --stream K (its own index) or --start and --count");
    if (!o.stream.empty() && (o.stream.size() > 9 || o.stream.find_first_not_of("0123456789") != std::string::npos)) {
        throw CLI::ValidationError("with --plugin, --stream is the plug-in's own index, a number ('" + o.stream + "' is not)");
    }
}

// Everything the command line sets: the options all commands share, and those of replace and serve.
struct CommandLine {
    quorvex::Options o;
    std::string io = "read";
    quorvex::ReplaceRequest replace;
#if defined(QUORVEX_HAVE_VIEWER)
    quorvex::viewer::ServeOptions serve;
    uint32_t cache_mib = 512;
#endif
};

// ---- Each command: its options, what it checks once they are parsed, and how it runs ----

void plugins_options(CLI::App* c, CommandLine& l) { c->add_flag("--json", l.o.json, "as JSON"); }
quorvex::Outcome plugins_run(CommandLine& l) { return quorvex::run_plugins(l.o); }

void scan_options(CLI::App* c, CommandLine& l) {
    c->add_option("images", l.o.images, "disc images, and folders to look for them in")->required()->type_name("IMAGE_OR_DIR...");
    c->add_flag("--json", l.o.json, "as JSON");
    c->add_flag("--all", l.o.all, "every plug-in's own list (by default a stream several plug-ins find is shown once)");
    add_filters(c, l.o, "only this plug-in's streams, by its own split");
}
quorvex::Outcome scan_run(CommandLine& l) { return quorvex::run_scan(l.o); }

void info_options(CLI::App* c, CommandLine& l) {
    c->add_option("image", l.o.images, "a disc image")->required()->expected(1)->type_name("IMAGE");
    add_stream_choice(c, l.o);
    c->add_flag("--json", l.o.json, "as JSON");
}
void stream_check(const CommandLine& l) { check_stream_choice(l.o); }
quorvex::Outcome info_run(CommandLine& l) { return quorvex::run_info(quorvex::InfoRequest{l.o.plugin_directory, stream_choice(l.o), l.o.json}); }

void extract_options(CLI::App* c, CommandLine& l) {
    quorvex::Options& o = l.o;
    c->add_option("image", o.images, "a disc image")->required()->expected(1)->type_name("IMAGE");
    add_stream_choice(c, o);
    number(c, "--seek", o.seek_ms, "start this many milliseconds into the stream")->type_name("MS");
    c->add_option("-o,--output", o.output, "FILE.mkv|.mp4|.avi|.wav|.flac, DIR/ for the units as delivered, or - for standard output");
    c->add_option("--format", o.format, "the container written to standard output (-o -)")->check(CLI::IsMember({"mkv", "flac", "wav"}));
    c->add_option("--frames", o.frames_directory, "every frame as a PNG picture into DIR")->type_name("DIR");
    c->add_flag("--lossless", o.lossless, "FFV1 video (H.264 at quantiser 0 in .mp4)");
    c->add_flag("--force", o.force, "replace an earlier output of quorvex (never another file)");
    add_decoding(c, o);
}
void extract_check(const CommandLine& l) {
    check_stream_choice(l.o);
    if (l.o.output.empty() && l.o.frames_directory.empty()) throw CLI::ValidationError("extract needs -o or --frames");
}
quorvex::Outcome extract_run(CommandLine& l) {
    const quorvex::Options& o = l.o;
    return quorvex::run_extract(quorvex::ExtractRequest{o.plugin_directory, stream_choice(o), o.output, o.format, o.frames_directory,
                                                        o.lossless, o.force, o.decoding});
}

void replace_options(CLI::App* c, CommandLine& l) {
    quorvex::ReplaceRequest& r = l.replace;
    c->add_option("image", l.o.images, "a disc image")->required()->expected(1)->type_name("IMAGE");
    add_stream_choice(c, l.o);
    c->add_option("--video", r.video, "new pictures: a video file, or a folder of pictures named by frame number")->type_name("FILE|DIR");
    c->add_option("--subtitles", r.subtitles, "an .srt or .ass file burnt into the pictures")->type_name("FILE");
    c->add_option("--sound", r.sound, "new sound: any sound file FFmpeg reads")->type_name("FILE");
    c->add_option("-o,--output", r.output, "the new image: NEW.cue (with its .bin) or NEW.chd")->type_name("FILE");
    c->add_option("--patch", r.patch, "also (or instead) a patch of the input's BIN: FILE.xdelta or FILE.ppf")->type_name("FILE");
    c->add_flag("--fit", r.fit, "take the pictures at the stream's frame times when their count differs");
    c->add_option("--min-psnr", r.min_psnr, "the least PSNR a frame may come out at (default 25 dB)")->type_name("DB")->check(CLI::Range(0.0, 99.0));
    c->add_flag("--allow-coarse", r.allow_coarse, "write frames below --min-psnr too");
    c->add_option("--size-limit", r.size_limit,
                  "each new frame's most bytes: room (its sectors, the default), original (the frame it replaces) or BYTES")
        ->type_name("room|original|BYTES");
    number(c, "-j,--jobs", l.o.jobs, "threads encoding pictures (default: one per core)");
    c->add_option("--plan", r.plan, "several streams' changes in one run, from a JSON plan")->type_name("FILE.json");
}
void replace_check(const CommandLine& l) {
    const quorvex::ReplaceRequest& r = l.replace;
    if (!r.plan.empty()) {
        if (!l.o.stream.empty() || !l.o.plugin.empty() || l.o.start || l.o.count || !r.video.empty() || !r.subtitles.empty() ||
            !r.sound.empty() || r.fit || r.size_limit != "room") {
            throw CLI::ValidationError("--plan names the streams and their changes: give --stream, --video, --subtitles, --sound, "
                                       "--fit and --size-limit in the plan instead");
        }
    } else {
        check_stream_choice(l.o);
    }
    if (r.plan.empty() && r.video.empty() && r.subtitles.empty() && r.sound.empty()) throw CLI::ValidationError("replace needs --video, --subtitles, --sound or --plan");
    if (r.output.empty() && r.patch.empty()) throw CLI::ValidationError("replace needs -o NEW.cue|NEW.chd or --patch");
    if (!std::isfinite(r.min_psnr)) throw CLI::ValidationError("--min-psnr: a number of dB from 0 to 99");
}
quorvex::Outcome replace_run(CommandLine& l) {
    l.replace.plugin_directory = l.o.plugin_directory;
    l.replace.stream = stream_choice(l.o);
    l.replace.jobs = l.o.jobs;
    return quorvex::run_replace(l.replace);
}

void rip_options(CLI::App* c, CommandLine& l) {
    quorvex::Options& o = l.o;
    c->add_option("images", o.images, "disc images, and folders to look for them in")->required()->type_name("IMAGE_OR_DIR...");
    c->add_option("-o,--output", o.output, "the folder the discs' folders go into")->required()->type_name("DIR");
    c->add_flag("--lossless", o.lossless, "FFV1 video");
    c->add_option("--format", o.format, "movies in mkv (H.264 and FLAC, the default) or mp4 (H.264 and AAC); sound alone stays FLAC")
        ->check(CLI::IsMember({"mkv", "mp4"}))
        ->type_name("mkv|mp4");
    add_decoding(c, o);
    number(c, "-j,--jobs", o.jobs, "streams ripped at once (default: one per core; at most 256)");
    add_filters(c, o, "only this plug-in's streams, by its own split");
    c->add_flag("--dry-run", o.dry_run, "list what would be written, write nothing");
    c->add_option("--shard", o.shard,
                  "only the I-th of N disjoint shares of the images (from 1); auto: the share of a Slurm job array's task; "
                  "auto/N: of N, the index of a Kubernetes Indexed Job's pod")
        ->type_name("I/N|auto|auto/N");
}
void rip_check(const CommandLine& l) {
    if (l.o.jobs && *l.o.jobs > quorvex::kMaxJobs) {
        throw CLI::ValidationError("-j " + std::to_string(*l.o.jobs) + ": at most " + std::to_string(quorvex::kMaxJobs) +
                                   " streams are ripped at once");
    }
}
quorvex::Outcome rip_run(CommandLine& l) { return quorvex::run_rip(l.o); }

void index_options(CLI::App* c, CommandLine& l) {
    c->add_option("folders", l.o.images, "folders that rip wrote into (-o DIR of each shard)")->required()->type_name("DIR...");
    c->add_option("-o,--output", l.o.output, "where collection.json goes (default: the first folder)")->type_name("FILE");
}
quorvex::Outcome index_run(CommandLine& l) { return quorvex::run_index(l.o); }

#if defined(QUORVEX_HAVE_VIEWER)
void serve_options(CLI::App* c, CommandLine& l) {
    quorvex::viewer::ServeOptions& s = l.serve;
    c->add_option("folders", l.o.images, "folders of disc images (default: this one)")->type_name("DIR...");
    c->add_option("--port", s.port, "the port (default 8077; 0 picks a free one)")->check(CLI::Range(0, 65535));
    c->add_option("--listen", s.listen, "the address to listen on (default 127.0.0.1)")->type_name("ADDR");
    c->add_option("--token", s.token, "the access token (default: a new random one)");
    c->add_option("--allow-host", s.allow_hosts, "another name this server answers to")->type_name("NAME");
    c->add_option("-o,--out", s.out, "where rips go (default ./quorvex-rips)")->type_name("DIR");
    c->add_option("--cache-size", l.cache_mib, "MiB of previews kept (default 512)")->type_name("MIB")->check(CLI::Range(1, 1 << 20));
}
quorvex::Outcome serve_run(CommandLine& l) {
    l.serve.cache_bytes = uint64_t{l.cache_mib} << 20;
    return quorvex::viewer::run_serve(l.o, l.serve);
}
#endif

void no_check(const CommandLine&) {}

struct Command {
    const char* name;
    const char* help;
    void (*options)(CLI::App*, CommandLine&);
    void (*check)(const CommandLine&);  // throws CLI::ValidationError
    quorvex::Outcome (*run)(CommandLine&);  // main alone says the outcome and gives its status
};

// The commands, in the order --help lists them.
constexpr Command kCommands[] = {
    {"plugins", "one line per plug-in: file, name, versions, interface", plugins_options, no_check, plugins_run},
    {"scan", "the streams on each image, and on every image in the folders given", scan_options, no_check, scan_run},
    {"info", "one stream: by its name or number, a plug-in's index, or a sector range", info_options, stream_check, info_run},
    {"extract", "one stream to a media file, pictures, or a folder of units", extract_options, extract_check, extract_run},
    {"replace",
     "new pictures, subtitles or sound written into a stream's own sectors, as a new image (the input is never written)",
     replace_options, replace_check, replace_run},
    {"rip", "every stream of every disc given or found in the folders given, each once, each disc into DIR/<disc name>/",
     rip_options, rip_check, rip_run},
    {"index", "one collection.json of every disc and stream in rip folders", index_options, no_check, index_run},
#if defined(QUORVEX_HAVE_VIEWER)
    {"serve", "a local web viewer of the discs under DIR...: browse, watch, listen, rip", serve_options, no_check, serve_run},
#endif
};

void add_global_options(CLI::App& app, CommandLine& l) {
    app.set_help_all_flag("--help-all", "every command's options");
    app.set_version_flag("--version", std::string("quorvex ") + kVersion);
    app.require_subcommand(1);
    app.allow_windows_style_options(false);  // "/path" is a file, not an option
    app.fallthrough();
    app.add_option("--plugins", l.o.plugin_directory, "the plug-in folder (default: ../plugins beside quorvex, then ../lib/quorvex/plugins)")
        ->type_name("DIR");
    app.add_option("--io", l.io, "how image files are read: read (default) or mmap")->check(CLI::IsMember({"mmap", "read"}));
    app.add_option("--progress", l.o.progress, "how long work shows how far it has got: auto (a line on a terminal), json or none")
        ->check(CLI::IsMember({"auto", "json", "none"}));
}

// A command line that does not parse: the closest command to a misspelt one, or CLI11's reason.
int usage_error(const CLI::App& app, const std::vector<std::string>& args, const CLI::ParseError& e) {
    std::string suggestion;
    if (app.get_subcommands().empty() && args.size() > 1 && args[1].rfind("-", 0) != 0) {
        size_t best = 3;
        for (const CLI::App* command : app.get_subcommands({})) {
            const size_t d = distance(args[1], command->get_name());
            if (d < best) {
                best = d;
                suggestion = command->get_name();
            }
        }
    }
    if (!suggestion.empty()) {
        std::fprintf(stderr, "quorvex: there is no command '%s'; did you mean '%s'?\n", args[1].c_str(), suggestion.c_str());
    } else {
        std::fprintf(stderr, "quorvex: %s\n(quorvex --help lists the commands; quorvex COMMAND --help their options)\n", e.what());
    }
    return quorvex::kExitUsage;
}

// The end of every run: an interruption said once, and standard output checked to have arrived.
int end_of_run(int status) {
    using namespace quorvex;
    if (interrupted()) {
        complain(interruption() + "; nothing half-written was left behind");
        std::fflush(stdout);
        end_as_interrupted();
    }
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        complain(std::string("cannot write to standard output: ") + (errno ? std::strerror(errno) : "write error"));
        return kExitError;
    }
    return status;
}

}  // namespace

static int run_command_line(int argc, char** argv) {
    CommandLine line;
    CLI::App app{"quorvex: finds, describes and extracts the movie and music streams of PlayStation disc images.\n"
                 "IMAGE is a disc image: a .cue sheet, a CHD, an ECM, PBP or CloneCD file, or raw sectors (2352 or 2448 bytes each).",
                 "quorvex"};
    add_global_options(app, line);
    std::vector<std::pair<const Command*, CLI::App*>> commands;
    for (const Command& command : kCommands) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        command.options(sub, line);
        commands.push_back({&command, sub});
    }
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);  // names are printed as UTF-8
#endif
    const std::vector<std::string> args = arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& a : args) pointers.push_back(a.c_str());
    const Command* chosen = nullptr;
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
        for (const auto& [command, sub] : commands) {
            if (sub->parsed()) chosen = command;
        }
        if (chosen) chosen->check(line);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return quorvex::kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return quorvex::kExitOk;
    } catch (const CLI::CallForVersion&) {
        std::printf("quorvex %s\n", kVersion);
        return quorvex::kExitOk;
    } catch (const CLI::ParseError& e) {
        return usage_error(app, args, e);
    }
    line.o.io_mode = line.io == "read" ? DW_IO_READ : DW_IO_MMAP;
    quorvex::install_interrupt_handlers();
    return end_of_run(chosen ? quorvex::finish(chosen->run(line)) : quorvex::kExitError);
}

// Under AddressSanitizer the leak check runs as main returns rather than after the libraries'
// finalisers: GnuTLS (beside FFmpeg) takes thread-local storage in its own finaliser, which
// LeakSanitizer's late scan does not survive.
int main(int argc, char** argv) {
    const int status = run_command_line(argc, argv);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    return status;
}
