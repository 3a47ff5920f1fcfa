#include "image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace discwell {

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
}  // namespace

std::unique_ptr<ImageFile> ImageFile::open(const std::string& path, bool map, std::string& error) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = last_error_text();
        return nullptr;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) {
        error = last_error_text();
        CloseHandle(h);
        return nullptr;
    }
    std::unique_ptr<ImageFile> file(new ImageFile);
    file->handle_ = reinterpret_cast<intptr_t>(h);
    file->size_ = static_cast<uint64_t>(size.QuadPart);
    // A 32-bit process cannot count on a contiguous view of a whole CD; map only where room is plenty.
    if (map && sizeof(void*) == 8 && file->size_ > 0) {
        HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (m) {
            const void* view = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
            if (view) {
                file->mapping_ = static_cast<const uint8_t*>(view);
                file->mapping_handle_ = reinterpret_cast<intptr_t>(m);
            } else {
                CloseHandle(m);
            }
        }
    }
    return file;
}

ImageFile::~ImageFile() {
    if (mapping_) UnmapViewOfFile(mapping_);
    if (mapping_handle_) CloseHandle(reinterpret_cast<HANDLE>(mapping_handle_));
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool ImageFile::read(uint64_t offset, size_t bytes, uint8_t* out) const {
    if (offset > size_ || bytes > size_ - offset) return false;
    if (mapping_) {
        std::memcpy(out, mapping_ + offset, bytes);
        return true;
    }
    while (bytes > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = bytes > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out, want, &got, &at) || got == 0) return false;
        out += got;
        offset += got;
        bytes -= got;
    }
    return true;
}

void ImageFile::release(uint64_t, uint64_t) const {}

#else

std::unique_ptr<ImageFile> ImageFile::open(const std::string& path, bool map, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a directory";
        ::close(fd);
        return nullptr;
    }
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

bool ImageFile::read(uint64_t offset, size_t bytes, uint8_t* out) const {
    if (offset > size_ || bytes > size_ - offset) return false;
    if (mapping_) {
        std::memcpy(out, mapping_ + offset, bytes);
        return true;
    }
    while (bytes > 0) {
        const ssize_t got = pread(static_cast<int>(handle_), out, bytes, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
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

#endif

}  // namespace discwell
