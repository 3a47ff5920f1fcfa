#include "image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mapped_copy.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace discwell {

namespace {
const char kEndedEarly[] = "the file ended early (it shrank while being read)";
const char kNotRegular[] = "not a regular file";
}  // namespace

#if defined(_WIN32)

namespace {

std::string last_error_text() {
    const DWORD code = GetLastError();
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                   sizeof text, nullptr);
    std::string out(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}

// Paths travel as UTF-8 and reach the system as UTF-16, so names outside the ANSI code page open.
std::wstring wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

HANDLE open_regular(const std::string& path, std::string& error) {
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "is a directory";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = last_error_text();
        return INVALID_HANDLE_VALUE;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        error = kNotRegular;
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

}  // namespace

// Images are read with ReadFile, never mapped: a mapped view of a file on a failing disc or a
// network share raises an exception on a bad page, where a read returns an error.
std::unique_ptr<ImageFile> ImageFile::open(const std::string& path, bool, std::string& error) {
    HANDLE h = open_regular(path, error);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) {
        error = last_error_text();
        CloseHandle(h);
        return nullptr;
    }
    std::unique_ptr<ImageFile> file(new ImageFile);
    file->handle_ = reinterpret_cast<intptr_t>(h);
    file->size_ = static_cast<uint64_t>(size.QuadPart);
    return file;
}

ImageFile::~ImageFile() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool ImageFile::read(uint64_t offset, size_t bytes, uint8_t* out, std::string* why) const {
    if (offset > size_ || bytes > size_ - offset) {
        if (why) *why = kEndedEarly;
        return false;
    }
    while (bytes > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = bytes > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out, want, &got, &at)) {
            if (why) *why = last_error_text();
            return false;
        }
        if (got == 0) {
            if (why) *why = kEndedEarly;
            return false;
        }
        out += got;
        offset += got;
        bytes -= got;
    }
    return true;
}

void ImageFile::release(uint64_t, uint64_t) const {}

DwError read_small_file(const std::string& path, size_t limit, std::string& text, std::string& error) {
    HANDLE h = open_regular(path, error);
    if (h == INVALID_HANDLE_VALUE) return DW_ERROR_CANNOT_OPEN;
    LARGE_INTEGER size;
    DwError result = DW_OK;
    if (!GetFileSizeEx(h, &size)) {
        error = last_error_text();
        result = DW_ERROR_READ;
    } else if (static_cast<uint64_t>(size.QuadPart) > limit) {
        error = "too large (" + std::to_string(size.QuadPart) + " bytes; at most " + std::to_string(limit) + ")";
        result = DW_ERROR_TOO_LARGE;
    } else {
        text.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        if (!text.empty() && !(ReadFile(h, text.data(), static_cast<DWORD>(text.size()), &got, nullptr) && got == text.size())) {
            error = last_error_text();
            result = DW_ERROR_READ;
        }
    }
    CloseHandle(h);
    return result;
}

#else

namespace {

// Opens without blocking (a FIFO would wait for a writer) and accepts regular files only.
int open_regular(const std::string& path, struct stat& st, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? "is a directory" : kNotRegular;
        ::close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

std::unique_ptr<ImageFile> ImageFile::open(const std::string& path, bool map, std::string& error) {
    struct stat st {};
    const int fd = open_regular(path, st, error);
    if (fd < 0) return nullptr;
    std::unique_ptr<ImageFile> file(new ImageFile);
    file->handle_ = fd;
    file->size_ = static_cast<uint64_t>(st.st_size);
    if (map && file->size_ > 0 && file->size_ <= SIZE_MAX / 2) {
        void* view = mmap(nullptr, static_cast<size_t>(file->size_), PROT_READ, MAP_PRIVATE, fd, 0);
        if (view != MAP_FAILED) {
            madvise(view, static_cast<size_t>(file->size_), MADV_SEQUENTIAL);
            file->mapping_ = static_cast<const uint8_t*>(view);
        }
    } else {
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return file;
}

ImageFile::~ImageFile() {
    if (mapping_) munmap(const_cast<uint8_t*>(mapping_), static_cast<size_t>(size_));
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool ImageFile::read(uint64_t offset, size_t bytes, uint8_t* out, std::string* why) const {
    if (offset > size_ || bytes > size_ - offset) {
        if (why) *why = kEndedEarly;
        return false;
    }
    if (mapping_) {
        if (mapped_copy(out, mapping_ + offset, bytes)) return true;
        if (why) *why = kEndedEarly;
        return false;
    }
    while (bytes > 0) {
        const ssize_t got = pread(static_cast<int>(handle_), out, bytes, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (why) *why = got < 0 ? std::strerror(errno) : kEndedEarly;
            return false;
        }
        out += got;
        offset += static_cast<uint64_t>(got);
        bytes -= static_cast<size_t>(got);
    }
    return true;
}

void ImageFile::release(uint64_t offset, uint64_t bytes) const {
    if (!mapping_ || offset >= size_) return;
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t first = (offset + page - 1) / page * page;
    const uint64_t end = std::min(offset + bytes, size_) / page * page;
    if (end > first) madvise(const_cast<uint8_t*>(mapping_) + first, static_cast<size_t>(end - first), MADV_DONTNEED);
}

DwError read_small_file(const std::string& path, size_t limit, std::string& text, std::string& error) {
    struct stat st {};
    const int fd = open_regular(path, st, error);
    if (fd < 0) return DW_ERROR_CANNOT_OPEN;
    if (static_cast<uint64_t>(st.st_size) > limit) {
        error = "too large (" + std::to_string(st.st_size) + " bytes; at most " + std::to_string(limit) + ")";
        ::close(fd);
        return DW_ERROR_TOO_LARGE;
    }
    // Never more than the limit, even if the file grows meanwhile.
    text.assign(limit + 1, '\0');
    size_t have = 0;
    while (have < text.size()) {
        const ssize_t got = ::read(fd, text.data() + have, text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return DW_ERROR_READ;
        }
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    ::close(fd);
    if (have > limit) {
        error = "too large (more than " + std::to_string(limit) + " bytes)";
        return DW_ERROR_TOO_LARGE;
    }
    text.resize(have);
    return DW_OK;
}

#endif

}  // namespace discwell
