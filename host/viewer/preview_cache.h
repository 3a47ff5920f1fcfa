// The viewer's previews (a stream's MP4 or FLAC, its thumbnail and filmstrip pictures), kept in a
// private folder under a size limit, least recently used out first. A preview being served is
// pinned: it stays until its last reader is done, beyond the limit if it must, and the limit holds
// again for what nobody reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quorvex::viewer {

class PreviewCache {
public:
    // Makes `folder`, readable by its owner alone; it goes with the cache.
    PreviewCache(std::filesystem::path folder, uint64_t limit);
    ~PreviewCache();
    PreviewCache(const PreviewCache&) = delete;
    PreviewCache& operator=(const PreviewCache&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path path(const std::string& name) const { return folder_ / name; }

    // A hold on a kept preview: while it lives the file stays.
    using Pin = std::shared_ptr<const void>;
    // The kept preview `name`, pinned; null when none is kept.
    Pin find(const std::string& name);
    // Takes in the file `name`, just made in the folder; pinned when `pin`.
    Pin keep(const std::string& name, bool pin);
    // Drops the previews whose names begin with `prefix` (their disc changed): at once, or when
    // their last reader is done.
    void drop(const std::string& prefix);

private:
    struct Entry {
        uint64_t bytes = 0;
        uint32_t pins = 0;
        uint64_t used = 0;
        bool dropped = false;
    };
    Pin pin_locked(const std::string& name, Entry& entry);
    void unpin(const std::string& name);
    void trim_locked();
    void remove_locked(std::map<std::string, Entry>::iterator it);

    const std::filesystem::path folder_;
    const uint64_t limit_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    uint64_t bytes_ = 0, clock_ = 0;
};

}  // namespace quorvex::viewer
