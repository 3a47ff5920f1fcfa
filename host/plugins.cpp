#include "plugins.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

#include "paths.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace quorvex {
namespace {

#if defined(_WIN32)
void* open_library(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryW(wide_path(path).c_str());
    if (!module) error = "cannot load (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}
bool is_loaded(const std::string& path) { return GetModuleHandleW(wide_path(path).c_str()) != nullptr; }
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
bool is_loaded(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library) dlclose(library);
    return library != nullptr;
}
void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
void close_library(void* library) { dlclose(library); }
#endif

template <class Fn>
bool bind(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(find_symbol(library, name));
    return fn != nullptr;
}

// Where one instance of a plug-in is loaded from: the file itself (slot 0) or a private copy.
struct Slot {
    std::string path;
    bool busy = false;
    bool spoiled = false;  // still loaded after its last use: never fresh again
#if !defined(_WIN32)
    int fd = -1;  // the copy's anonymous file
#endif
};

std::mutex g_slots_mutex;
std::map<std::string, std::vector<Slot>>& slots() {
    static auto* table = new std::map<std::string, std::vector<Slot>>;  // outlives every instance
    return *table;
}

// A private copy of the library: a distinct file, so the system loads it as a module of its own.
bool make_copy(const std::string& original, size_t number, Slot& slot, std::string& error) {
    std::ifstream in(native_path(original), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = "cannot read it to make a private copy";
        return false;
    }
#if defined(_WIN32)
    std::error_code ec;
    const fs::path folder = fs::temp_directory_path(ec) / ("quorvex-plugins-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(folder, ec);
    const fs::path copy = folder / (std::to_string(number) + "-" + fs::path(original).filename().string());
    std::ofstream out(copy, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        error = "cannot write a private copy in " + folder.string();
        return false;
    }
    slot.path = copy.string();
    static const int cleanup = std::atexit([] {
        std::error_code ignored;
        fs::remove_all(fs::temp_directory_path(ignored) / ("quorvex-plugins-" + std::to_string(GetCurrentProcessId())), ignored);
    });
    (void)cleanup;
#else
    (void)number;
    const int fd = memfd_create("quorvex-plugin", MFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot make a private copy: ") + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            error = std::string("cannot make a private copy: ") + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    slot.fd = fd;
    slot.path = "/proc/self/fd/" + std::to_string(fd);
#endif
    return true;
}

// Takes a slot of `path` that is free and not loaded, making a copy when every slot is in use.
bool take_slot(const std::string& path, size_t& index, std::string& load_path, std::string& error) {
    std::lock_guard lock(g_slots_mutex);
    auto& list = slots()[path];
    if (list.empty()) list.push_back(Slot{path});
    for (size_t i = 0; i < list.size(); ++i) {
        Slot& slot = list[i];
        if (slot.busy || slot.spoiled) continue;
        if (is_loaded(slot.path)) {
            slot.spoiled = true;
            continue;
        }
        slot.busy = true;
        index = i;
        load_path = slot.path;
        return true;
    }
    Slot slot;
    if (!make_copy(path, list.size(), slot, error)) return false;
    slot.busy = true;
    index = list.size();
    load_path = slot.path;
    list.push_back(std::move(slot));
    return true;
}

void give_back_slot(const std::string& path, size_t index) {
    std::lock_guard lock(g_slots_mutex);
    Slot& slot = slots()[path][index];
    slot.busy = false;
    if (is_loaded(slot.path)) slot.spoiled = true;
}

// Loads `path` to ask it who it is.
bool query_plugin(const std::string& path, PluginFile& file, std::string& error) {
    std::string reason;
    void* library = open_library(path, reason);
    if (!library) {
        error = path + ": not a loadable plug-in: " + reason;
        return false;
    }
    const char* missing = nullptr;
    for (int i = 0; i < psr::kRequiredEntryPoints; ++i) {
        if (!find_symbol(library, psr::kEntryPointNames[i])) {
            missing = psr::kEntryPointNames[i];
            break;
        }
    }
    if (missing) {
        error = path + ": not a plug-in: the entry point " + std::string(missing) + " is missing";
        close_library(library);
        return false;
    }
    PsrQueryPluginFn query = nullptr;
    bind(library, "PsrQueryPlugin", query);
    std::memset(&file.info, 0, sizeof file.info);
    query(&file.info);
    file.info.name[sizeof file.info.name - 1] = '\0';
    file.decodes_audio = find_symbol(library, "PsrDecodeAudio") != nullptr;
    close_library(library);
    if (file.info.interface_version != 220 && file.info.interface_version != 230) {
        error = path + ": unsupported plug-in interface version " + std::to_string(file.info.interface_version);
        return false;
    }
    file.path = path;
    file.stem = fs::path(native_path(path)).stem().string();
    return true;
}

}  // namespace

PluginInstance::~PluginInstance() {
    if (library_) close_library(library_);
    give_back_slot(file_->path, slot_);
}

std::unique_ptr<PluginInstance> load_fresh(const PluginFile& file, std::string& error) {
    size_t slot = 0;
    std::string load_path, reason;
    if (!take_slot(file.path, slot, load_path, reason)) {
        error = file.path + ": " + reason;
        return nullptr;
    }
    std::unique_ptr<PluginInstance> instance(new PluginInstance);
    instance->file_ = &file;
    instance->slot_ = slot;
    instance->library_ = open_library(load_path, reason);
    if (!instance->library_) {
        error = file.path + ": not a loadable plug-in: " + reason;
        return nullptr;
    }
    PluginInstance& p = *instance;
    const bool bound = bind(p.library_, "PsrQueryPlugin", p.query) && bind(p.library_, "PsrIsSupportCDBegin", p.scan_begin) &&
                       bind(p.library_, "PsrIsSupportCDSector", p.scan_sector) &&
                       bind(p.library_, "PsrIsSupportCDResult", p.scan_result) &&
                       bind(p.library_, "PsrIsSupportCDEnd", p.scan_end) &&
                       bind(p.library_, "PsrGetStrDataInfo", p.describe) && bind(p.library_, "PsrOpenCD", p.open) &&
                       bind(p.library_, "PsrRead", p.read) && bind(p.library_, "PsrSeek", p.seek) &&
                       bind(p.library_, "PsrClose", p.close);
    if (!bound) {
        error = file.path + ": not a plug-in any more (an entry point is missing)";
        return nullptr;
    }
    bind(p.library_, "PsrDecodeAudio", p.decode_audio);
    // A host queries every plug-in once after loading it.
    PluginInfo info{};
    p.query(&info);
    return instance;
}

bool find_plugins(const std::string& directory, PluginFolder& folder, std::string& error) {
    folder = PluginFolder{directory, {}, {}};
    std::error_code ec;
    fs::directory_iterator it(native_path(directory), ec);
    if (ec) {
        error = directory + ": cannot read the plug-in folder: " + ec.message();
        return false;
    }
    std::vector<std::string> files;
    for (const auto& entry : it) {
        const std::string ext = lower_ascii(entry.path().extension().string());
        if (ext == ".psr") files.push_back(utf8_path(entry.path()));
    }
    std::sort(files.begin(), files.end());
    for (const std::string& path : files) {
        PluginFile file;
        std::string problem;
        if (query_plugin(path, file, problem)) {
            folder.plugins.push_back(std::move(file));
        } else {
            folder.problems.push_back(problem);
        }
    }
    return true;
}

const PluginFile* find_plugin(const PluginFolder& folder, const std::string& name) {
    const std::string wanted = lower_ascii(name);
    for (const PluginFile& p : folder.plugins) {
        if (lower_ascii(p.stem) == wanted) return &p;
    }
    for (const PluginFile& p : folder.plugins) {
        if (lower_ascii(p.name()) == wanted) return &p;
    }
    return nullptr;
}

std::string default_plugin_directory() {
    // Beside the program as a build lays them out, else where an installation puts them.
    const fs::path prefix = program_directory().parent_path();
    for (const fs::path& folder : {prefix / "plugins", prefix / "lib" / "quorvex" / "plugins"}) {
        std::error_code ec;
        if (fs::is_directory(folder, ec)) return utf8_path(folder);
    }
    return utf8_path(prefix / "plugins");
}

}  // namespace quorvex
