// quorvex's commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvex {

struct Options {
    std::string command;
    std::vector<std::string> images;
    std::string plugin_directory;
    std::string plugin;
    std::optional<uint32_t> start, count, stream, seek_ms;
    std::string output;
    bool json = false;
    int32_t io_mode = 0;
};

int run_plugins(const Options& options);
int run_scan(const Options& options);
int run_info(const Options& options);
int run_extract(const Options& options);

}  // namespace quorvex
