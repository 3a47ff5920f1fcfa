// quorvex: loads the .PSR plug-ins, scans PlayStation disc images for their streams, describes
// and extracts them.
#include <cerrno>
#include <cstdio>
#include <optional>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  quorvex plugins [--json]\n"
    "  quorvex scan IMAGE... [--json]\n"
    "  quorvex info IMAGE --plugin P --start LBA --count N [--json]\n"
    "  quorvex extract IMAGE --plugin P (--stream K | --start LBA --count N) [--seek MS]\n"
    "                  [-o DIR | -o FILE.mkv|.mp4|.avi|.wav|.flac] [--frames DIR] [--lossless]\n"
    "  quorvex rip IMAGE -o DIR [--lossless]\n"
    "options:\n"
    "  --plugins DIR   the plug-in folder (default: ../plugins beside quorvex)\n"
    "  --io mmap|read  how image files are read (default: mmap)\n"
    "IMAGE is a .cue sheet or a raw image of 2352-byte sectors.\n";

bool parse_number(const char* option, const char* text, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (!*text || *end || errno || parsed > 0xFFFFFFFFull || text[0] == '-') {
        std::fprintf(stderr, "quorvex: %s: '%s' is not a number from 0 to 4294967295\n", option, text);
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using quorvex::Options;
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    Options options;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        auto number = [&](std::optional<uint32_t>& slot) {
            uint32_t value = 0;
            if (!has_value || !parse_number(arg.c_str(), argv[++i], value)) return false;
            slot = value;
            return true;
        };
        static const char* const kTakesValue[] = {"--plugins", "--plugin", "-o",     "--output", "--io",
                                                  "--start",   "--count",  "--stream", "--seek",  "--frames"};
        for (const char* option : kTakesValue) {
            if (arg == option && !has_value) {
                std::fprintf(stderr, "quorvex: %s needs a value\n", option);
                return 2;
            }
        }
        bool ok = true;
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--lossless") {
            options.lossless = true;
        } else if (arg == "--frames" && has_value) {
            options.frames_directory = argv[++i];
        } else if (arg == "--plugins" && has_value) {
            options.plugin_directory = argv[++i];
        } else if (arg == "--plugin" && has_value) {
            options.plugin = argv[++i];
        } else if ((arg == "-o" || arg == "--output") && has_value) {
            options.output = argv[++i];
        } else if (arg == "--io" && has_value) {
            const std::string mode = argv[++i];
            if (mode == "mmap") {
                options.io_mode = 1;
            } else if (mode == "read") {
                options.io_mode = 2;
            } else {
                ok = false;
            }
        } else if (arg == "--start") {
            ok = number(options.start);
        } else if (arg == "--count") {
            ok = number(options.count);
        } else if (arg == "--stream") {
            ok = number(options.stream);
        } else if (arg == "--seek") {
            ok = number(options.seek_ms);
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "quorvex: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            options.images.push_back(arg);
        }
        if (!ok) {
            if (arg == "--io") std::fprintf(stderr, "quorvex: --io takes mmap or read\n");
            return 2;
        }
    }
    if (options.command == "plugins") return quorvex::run_plugins(options);
    if (options.command == "scan") return quorvex::run_scan(options);
    if (options.command == "info") return quorvex::run_info(options);
    if (options.command == "extract") return quorvex::run_extract(options);
    if (options.command == "rip") return quorvex::run_rip(options);
    std::fprintf(stderr, "quorvex: unknown command '%s'\n%s", options.command.c_str(), kUsage);
    return 2;
}
