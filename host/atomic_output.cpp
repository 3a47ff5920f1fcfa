#include "atomic_output.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "paths.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace quorvex {
namespace {

constexpr char kPrefix[] = ".quorvex-";

std::string staging_name(const std::string& id, const char* suffix) { return kPrefix + id + suffix; }

#if defined(_WIN32)

std::string system_error(DWORD code = GetLastError()) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text, nullptr);
    std::string out(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

// Created and held open without sharing: nobody else can open it while its run lives.
intptr_t create_lock(const fs::path& path, const std::string& contents, std::string& why) {
    // Deleted by the system when its run ends, however it ends.
    HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        why = system_error();
        return -1;
    }
    DWORD written = 0;
    WriteFile(h, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    return reinterpret_cast<intptr_t>(h);
}

// Opens a lock whose run is gone; -1 while a live run holds it.
intptr_t try_take_lock(const fs::path& path, std::string& contents) {
    HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    char buffer[4096];
    DWORD got = 0;
    ReadFile(h, buffer, sizeof buffer, &got, nullptr);
    contents.assign(buffer, got);
    return reinterpret_cast<intptr_t>(h);
}

void release_lock(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

bool rename_exclusive(const fs::path& from, const fs::path& to, std::string& why) {
    if (MoveFileExW(from.wstring().c_str(), to.wstring().c_str(), 0)) return true;
    const DWORD code = GetLastError();
    why = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS ? "File exists" : system_error(code);
    return false;
}

#else

std::string system_error(int code = errno) { return std::strerror(code); }

intptr_t lock_fd(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? fd : -1;
}

// The lock is taken on an unnamed file and then given its name, so no other run ever sees it
// unlocked; where unnamed files are not supported it is created under its name and locked at once.
intptr_t create_lock(const fs::path& path, const std::string& contents, std::string& why) {
    int fd = ::open(path.parent_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    const bool unnamed = fd >= 0;
    if (!unnamed) fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = system_error();
        return -1;
    }
    if (lock_fd(fd) < 0 || ::write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {
        why = system_error();
        ::close(fd);
        if (!unnamed) ::unlink(path.c_str());
        return -1;
    }
    if (unnamed) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            why = system_error();
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

intptr_t try_take_lock(const fs::path& path, std::string& contents) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    if (lock_fd(fd) < 0) {
        ::close(fd);
        return -1;
    }
    char buffer[4096];
    const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
    contents.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    return fd;
}

void release_lock(intptr_t handle) { ::close(static_cast<int>(handle)); }

bool rename_exclusive(const fs::path& from, const fs::path& to, std::string& why) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        why = system_error();
        return false;
    }
    // A file system without RENAME_NOREPLACE: a hard link (files) or a folder made first
    // (folders) fails where the name is taken, and then a plain rename finishes the move.
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) {
        why = system_error();
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(to.c_str(), 0755) != 0 || ::rename(from.c_str(), to.c_str()) != 0) {
            why = system_error();
            return false;
        }
        return true;
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
        why = system_error();
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

#endif

void remove_quietly(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

}  // namespace

// One seed per process and a counter: names differ across processes and never repeat within one,
// from any thread, without per-thread state (a thread_local in a module loaded at run time trips
// LeakSanitizer's scan of dynamic TLS at exit).
std::string random_id() {
    static std::atomic<uint64_t> next{[] {
        std::random_device device;
        return (uint64_t{device()} << 32) ^ device();
    }()};
    uint64_t z = next.fetch_add(0x9e3779b97f4a7c15u, std::memory_order_relaxed);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;  // splitmix64's finaliser
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    z ^= z >> 31;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(z));
    return text;
}

bool rename_no_replace(const fs::path& from, const fs::path& to, std::string& why) { return rename_exclusive(from, to, why); }

AtomicOutput::~AtomicOutput() {
    if (!committed_) abandon();
}

bool AtomicOutput::begin(const std::string& target, Shape shape, const MayReplace& may_replace, std::string& error) {
    target_ = target;
    shape_ = shape;
    place_ = native_path(target);
    if (!place_.has_filename()) place_ = place_.parent_path();  // "out/" names the folder out
    parent_ = place_.has_parent_path() ? place_.parent_path() : fs::path(".");

    // Missing parent folders are made, and removed again if the output never arrives.
    std::error_code ec;
    std::vector<fs::path> missing;
    for (fs::path p = parent_; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!fs::create_directory(*it, ec) && !fs::is_directory(*it)) {
            error = utf8_path(*it) + ": cannot create the folder: " + ec.message();
            abandon();
            return false;
        }
        created_folders_.push_back(*it);
    }
    if (!fs::is_directory(parent_, ec)) {
        error = utf8_path(parent_) + ": not a folder";
        abandon();
        return false;
    }
    sweep_abandoned_staging(parent_);

    const auto status = fs::symlink_status(place_, ec);
    if (fs::exists(status)) {
        const bool empty_folder = shape == Shape::kFolder && fs::is_directory(status) && fs::is_empty(place_, ec);
        if (!empty_folder) {
            std::string why;
            if (!may_replace) {
                error = target + ": already exists; quorvex does not overwrite it (use --force to replace an earlier output of quorvex)";
                abandon();
                return false;
            }
            if (!may_replace(place_, why)) {
                error = target + ": already exists and " + why + "; quorvex leaves it alone";
                abandon();
                return false;
            }
            replace_ = true;
        }
    }

    const std::string id = random_id();
    lock_ = parent_ / staging_name(id, ".lock");
    std::string why;
    lock_handle_ = create_lock(lock_, utf8_path(place_.filename()), why);
    if (lock_handle_ < 0) {
        error = utf8_path(parent_) + ": cannot write here: " + why;
        abandon();
        return false;
    }
    staging_ = parent_ / staging_name(id, ".tmp");
    aside_ = parent_ / staging_name(id, ".old");
    work_ = staging_ / place_.filename();
    if (!fs::create_directory(staging_, ec) || (shape == Shape::kFolder && !fs::create_directory(work_, ec))) {
        error = utf8_path(parent_) + ": cannot write here: " + ec.message();
        abandon();
        return false;
    }
    return true;
}

bool AtomicOutput::commit(std::string& error) {
    std::string why;
    std::error_code ec;
    bool placed = false;
    if (replace_ && shape_ == Shape::kFile) {
        // One rename replaces an earlier file whole.
        fs::rename(work_, place_, ec);
        placed = !ec;
        if (ec) why = ec.message();
    } else if (replace_) {
        if (!rename_exclusive(place_, aside_, why)) {
            error = target_ + ": cannot move the earlier output aside: " + why;
            return false;
        }
        placed = rename_exclusive(work_, place_, why);
        if (!placed) {
            std::string ignored;
            rename_exclusive(aside_, place_, ignored);
        }
    } else {
        if (shape_ == Shape::kFolder && fs::is_directory(place_, ec) && fs::is_empty(place_, ec)) {
            fs::remove(place_, ec);  // an empty folder waiting for the output
            replaced_empty_folder_ = !ec;
        }
        placed = rename_exclusive(work_, place_, why);
        if (!placed && replaced_empty_folder_) fs::create_directory(place_, ec);
    }
    if (!placed) {
        error = why == std::strerror(EEXIST) || why == "File exists"
                    ? target_ + ": appeared while quorvex was writing it (another run?); this run's output was not put in place"
                    : target_ + ": cannot put the output in place: " + why;
        return false;
    }
    committed_ = true;
    remove_quietly(aside_);
    remove_quietly(staging_);
    if (lock_handle_ >= 0) {
        fs::remove(lock_, ec);
        release_lock(lock_handle_);
        lock_handle_ = -1;
    }
    return true;
}

void AtomicOutput::undo_commit() {
    if (!committed_ || replace_) return;  // a replaced output cannot come back; never undone
    remove_quietly(place_);
    if (replaced_empty_folder_) {
        std::error_code ec;
        fs::create_directory(place_, ec);
    }
    committed_ = false;
    abandon();
}

void AtomicOutput::abandon() {
    if (!staging_.empty()) remove_quietly(staging_);
    if (lock_handle_ >= 0) {
        std::error_code ec;
        fs::remove(lock_, ec);
        release_lock(lock_handle_);
        lock_handle_ = -1;
    }
    for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it) {
        std::error_code ec;
        fs::remove(*it, ec);  // only while empty
    }
    created_folders_.clear();
    staging_.clear();
}

void sweep_abandoned_staging(const fs::path& folder) {
    std::error_code ec;
    std::vector<fs::path> locks, others;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kPrefix, 0) != 0) continue;
        const std::string ext = it->path().extension().string();
        (ext == ".lock" ? locks : others).push_back(it->path());
    }
    for (const fs::path& lock : locks) {
        std::string target;
        const intptr_t handle = try_take_lock(lock, target);
        if (handle < 0) continue;  // a live run holds it
        const std::string stem = lock.stem().string();
        const fs::path aside = folder / (stem + ".old");
        if (fs::exists(aside, ec)) {
            // A run died between moving an earlier output aside and putting its own in place.
            const fs::path place = folder / native_path(target);
            std::string ignored;
            if (target.empty() || target.find('/') != std::string::npos || !rename_exclusive(aside, place, ignored)) {
                remove_quietly(aside);
            }
        }
        remove_quietly(folder / (stem + ".tmp"));
        fs::remove(lock, ec);
        release_lock(handle);
    }
    const auto now = fs::file_time_type::clock::now();
    for (const fs::path& other : others) {
        // Staging without its lock is nobody's: its run made the lock first and removes it last.
        if (other.extension() == ".tmp" && !fs::exists(folder / (other.stem().string() + ".lock"), ec)) {
            remove_quietly(other);
        }
        // A manifest being rewritten takes a moment; one left for ten minutes was abandoned.
        if (other.extension() == ".new" && now - fs::last_write_time(other, ec) > std::chrono::minutes(10) && !ec) {
            remove_quietly(other);
        }
    }
}

FolderLock::~FolderLock() {
    if (handle_ < 0) return;
    std::error_code ec;
#if !defined(_WIN32)
    fs::remove(path_, ec);  // removed while still held, so no run can take a lock on it meanwhile
#endif
    release_lock(handle_);
}

bool FolderLock::take(const fs::path& folder, std::string& error) {
    path_ = folder / ".quorvex-run.held";
    for (int attempt = 0; attempt < 8; ++attempt) {
#if defined(_WIN32)
        HANDLE h = CreateFileW(path_.wstring().c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<intptr_t>(h);
            return true;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            error = utf8_path(folder) + ": cannot write here: " + system_error();
            return false;
        }
#else
        const int fd = ::open(path_.c_str(), O_CREAT | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            error = utf8_path(folder) + ": cannot write here: " + system_error();
            return false;
        }
        if (lock_fd(fd) >= 0) {
            // The name must still be this file: a run that just let go removes it first.
            struct stat held {}, named {};
            if (fstat(fd, &held) == 0 && ::stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
                held.st_dev == named.st_dev) {
                handle_ = fd;
                return true;
            }
            ::close(fd);
            continue;
        }
        const int code = errno;
        ::close(fd);
        if (code != EAGAIN && code != EACCES) {
            error = utf8_path(folder) + ": cannot lock: " + system_error(code);
            return false;
        }
#endif
        break;
    }
    error = utf8_path(folder) + ": another quorvex run is writing here now; wait for it to finish or choose another folder";
    return false;
}

bool replace_file_contents(const fs::path& path, const std::string& contents, std::string& error) {
    const fs::path temporary = path.parent_path() / (std::string(kPrefix) + random_id() + ".new");
    {
        std::ofstream out(temporary, std::ios::binary);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        if (!out) {
            error = utf8_path(path) + ": cannot write: " + system_error();
            out.close();
            remove_quietly(temporary);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = utf8_path(path) + ": cannot write: " + ec.message();
        remove_quietly(temporary);
        return false;
    }
    return true;
}

}  // namespace quorvex
