#include "plugin_loader.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;

namespace quorvex {
namespace {

#if defined(_WIN32)
void* open_library(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) error = "cannot load (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}
void* find_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void close_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* open_library(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        error = why ? why : "cannot load";
        // dlerror names the file itself; keep only the reason.
        const std::string prefix = path + ": ";
        if (error.compare(0, prefix.size(), prefix) == 0) error.erase(0, prefix.size());
    }
    return library;
}
void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
void close_library(void* library) { dlclose(library); }
#endif

template <class Fn>
bool bind(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(find_symbol(library, name));
    return fn != nullptr;
}

}  // namespace

Plugin& Plugin::operator=(Plugin&& o) noexcept {
    if (this != &o) {
        if (library) close_library(library);
        path = std::move(o.path);
        stem = std::move(o.stem);
        library = std::exchange(o.library, nullptr);
        info = o.info;
        query = o.query;
        scan_begin = o.scan_begin;
        scan_sector = o.scan_sector;
        scan_result = o.scan_result;
        scan_end = o.scan_end;
        describe = o.describe;
        open = o.open;
        read = o.read;
        seek = o.seek;
        close = o.close;
        decode_audio = o.decode_audio;
    }
    return *this;
}

Plugin::~Plugin() {
    if (library) close_library(library);
}

std::string Plugin::name() const { return std::string(info.name, strnlen(info.name, sizeof info.name)); }

bool load_plugin(const std::string& path, Plugin& plugin, std::string& error) {
    std::string reason;
    void* library = open_library(path, reason);
    if (!library) {
        error = path + ": not a loadable plug-in: " + reason;
        return false;
    }
    plugin.library = library;
    plugin.path = path;
    plugin.stem = fs::path(path).stem().string();
    const char* missing = nullptr;
    auto require = [&](const char* name, auto& fn) {
        if (!bind(library, name, fn) && !missing) missing = name;
    };
    require("PsrQueryPlugin", plugin.query);
    require("PsrIsSupportCDBegin", plugin.scan_begin);
    require("PsrIsSupportCDSector", plugin.scan_sector);
    require("PsrIsSupportCDResult", plugin.scan_result);
    require("PsrIsSupportCDEnd", plugin.scan_end);
    require("PsrGetStrDataInfo", plugin.describe);
    require("PsrOpenCD", plugin.open);
    require("PsrRead", plugin.read);
    require("PsrSeek", plugin.seek);
    require("PsrClose", plugin.close);
    bind(library, "PsrDecodeAudio", plugin.decode_audio);
    if (missing) {
        error = path + ": not a plug-in: the entry point " + std::string(missing) + " is missing";
        return false;
    }
    std::memset(&plugin.info, 0, sizeof plugin.info);
    plugin.query(&plugin.info);
    plugin.info.name[sizeof plugin.info.name - 1] = '\0';
    if (plugin.info.interface_version != 220 && plugin.info.interface_version != 230) {
        error = path + ": unsupported plug-in interface version " + std::to_string(plugin.info.interface_version);
        return false;
    }
    return true;
}

std::vector<std::string> plugin_files(const std::string& directory, std::string& error) {
    std::vector<std::string> files;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec) {
        error = directory + ": cannot read the plug-in folder: " + ec.message();
        return files;
    }
    for (const auto& entry : it) {
        if (entry.path().extension() == ".PSR" || entry.path().extension() == ".psr") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string default_plugin_directory() {
#if defined(_WIN32)
    char buffer[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    const fs::path self(buffer);
#else
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
#endif
    return (self.parent_path().parent_path() / "plugins").string();
}

}  // namespace quorvex
