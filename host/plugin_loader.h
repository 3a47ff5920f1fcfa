// Loading .PSR plug-ins and binding their entry points by name.
#pragma once

#include <string>
#include <vector>

#include "../contract/psr_interface.h"

namespace quorvex {

struct Plugin {
    std::string path;
    std::string stem;  // the file name without ".PSR": "selvane"
    void* library = nullptr;
    PluginInfo info{};

    PsrQueryPluginFn query = nullptr;
    PsrIsSupportCDBeginFn scan_begin = nullptr;
    PsrIsSupportCDSectorFn scan_sector = nullptr;
    PsrIsSupportCDResultFn scan_result = nullptr;
    PsrIsSupportCDEndFn scan_end = nullptr;
    PsrGetStrDataInfoFn describe = nullptr;
    PsrOpenCDFn open = nullptr;
    PsrReadFn read = nullptr;
    PsrSeekFn seek = nullptr;
    PsrCloseFn close = nullptr;
    PsrDecodeAudioFn decode_audio = nullptr;  // archive plug-ins only

    Plugin() = default;
    Plugin(Plugin&& other) noexcept { *this = std::move(other); }
    Plugin& operator=(Plugin&& other) noexcept;
    Plugin(const Plugin&) = delete;
    ~Plugin();

    // The size of the StreamInfo this plug-in fills.
    uint32_t stream_info_size() const { return info.interface_version == 220 ? 40u : 44u; }
    std::string name() const;
};

// Loads one plug-in and queries it. On failure returns false with a message naming the file.
bool load_plugin(const std::string& path, Plugin& plugin, std::string& error);

// Every *.PSR file of `directory`, in name order.
std::vector<std::string> plugin_files(const std::string& directory, std::string& error);

// The default plug-in folder: ../plugins beside the running program.
std::string default_plugin_directory();

}  // namespace quorvex
