// The plug-ins of a folder and fresh instances of them.
//
// Some plug-ins keep state in their module from load to unload (walcite's sampled channel,
// corvane's volume marker, drumvale's channel rotation, the archive decoders' history), so the
// same stream would come out differently depending on what the process did before. Every job (the
// scan of one disc, one pass through one stream) therefore gets an instance of its own, loaded
// for it and unloaded afterwards. Jobs that run at the same time on several threads get private
// copies of the library, since a system loads one file only once.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../contract/psr_interface.h"

namespace quorvex {

// A plug-in file found in the folder, queried once.
struct PluginFile {
    std::string path;
    std::string stem;  // the file name without ".PSR": "selvane"
    PluginInfo info{};
    bool decodes_audio = false;

    // The display name it reports.
    std::string name() const { return std::string(info.name, strnlen(info.name, sizeof info.name)); }
    // The size of the StreamInfo this plug-in fills.
    uint32_t stream_info_size() const { return info.interface_version == 220 ? 40u : 44u; }
    // Whether its StreamInfo records carry payload_bytes (interface 230 on).
    bool carries_payload_bytes() const { return stream_info_size() >= 44; }
};

// A loaded instance with its entry points, fresh for one job; unloaded when destroyed.
class PluginInstance {
public:
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    const PluginFile& file() const { return *file_; }

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

private:
    friend std::unique_ptr<PluginInstance> load_fresh(const PluginFile& file, std::string& error);
    PluginInstance() = default;
    const PluginFile* file_ = nullptr;
    void* library_ = nullptr;
    size_t slot_ = 0;
};

// A fresh instance of `file`, or null with `error` set.
std::unique_ptr<PluginInstance> load_fresh(const PluginFile& file, std::string& error);

struct PluginFolder {
    std::string directory;
    std::vector<PluginFile> plugins;  // in file-name order
    std::vector<std::string> problems;  // files that are not usable plug-ins, each with its reason
};

// Every *.PSR file of `directory`, each loaded once to be queried. False with `error` set when the
// folder cannot be read; files that are not plug-ins are listed in `problems` and left out.
bool find_plugins(const std::string& directory, PluginFolder& folder, std::string& error);

// The plug-in named by its file name without ".PSR" or by its display name, in any case.
const PluginFile* find_plugin(const PluginFolder& folder, const std::string& name);

// The default plug-in folder: ../plugins beside the running program.
std::string default_plugin_directory();

}  // namespace quorvex
