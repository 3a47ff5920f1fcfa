// Discs for tests: built in memory with the disc builder and opened in the sector library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discbuilder/disc_image.h"
#include "discwell/discwell.h"

namespace testing_support {

// An open in-memory disc, closed when it goes out of scope.
class MemoryDisc {
public:
    explicit MemoryDisc(discbuilder::DiscImage& image, std::vector<DwTrack> tracks = {}) {
        const auto bytes = image.bytes();
        DwOpenMemory(bytes.data(), image.sector_count(), tracks.empty() ? nullptr : tracks.data(),
                     static_cast<int32_t>(tracks.size()), &handle_);
    }
    explicit MemoryDisc(const std::vector<uint8_t>& raw) {
        DwOpenMemory(raw.data(), static_cast<uint32_t>(raw.size() / 2352), nullptr, 0, &handle_);
    }
    ~MemoryDisc() { DwClose(handle_); }
    MemoryDisc(const MemoryDisc&) = delete;
    MemoryDisc& operator=(const MemoryDisc&) = delete;

    uint32_t handle() const { return handle_; }
    DwStats stats() const {
        DwStats s{};
        DwGetStats(handle_, &s);
        return s;
    }
    void fail(DwFaults faults) const { DwSetFaults(handle_, &faults); }

private:
    uint32_t handle_ = 0;
};

// A scratch folder under the test's working directory, removed afterwards.
class TempDir {
public:
    explicit TempDir(const std::string& name);
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_text(const std::string& path, const std::string& text);
void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_bytes(const std::string& path);
std::string read_text(const std::string& path);

}  // namespace testing_support
