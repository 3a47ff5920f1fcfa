// quorvex's commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plugin_loader.h"

namespace quorvex {

struct Options {
    std::string command;
    std::vector<std::string> images;
    std::string plugin_directory;
    std::string plugin;
    std::optional<uint32_t> start, count, stream, seek_ms;
    std::string output;
    std::string frames_directory;
    bool json = false;
    bool lossless = false;
    int32_t io_mode = 0;
};

// What the commands share.
void complain(const std::string& message);
// Loads every plug-in of the folder; false (with each problem reported) when any fails.
bool load_all(const Options& options, std::vector<Plugin>& plugins);
struct OpenDisc {
    uint32_t handle = 0;
    ~OpenDisc();
};
bool open_image(const std::string& path, int32_t io_mode, OpenDisc& disc);

int run_plugins(const Options& options);
int run_scan(const Options& options);
int run_info(const Options& options);
int run_extract(const Options& options);
int run_rip(const Options& options);

}  // namespace quorvex
