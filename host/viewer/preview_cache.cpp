#include "preview_cache.h"

#include <vector>

namespace fs = std::filesystem;

namespace quorvex::viewer {

PreviewCache::PreviewCache(fs::path folder, uint64_t limit) : folder_(std::move(folder)), limit_(limit) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::replace, ec);
}

PreviewCache::~PreviewCache() {
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

PreviewCache::Pin PreviewCache::pin_locked(const std::string& name, Entry& entry) {
    ++entry.pins;
    entry.used = ++clock_;
    return Pin(static_cast<const void*>(this), [this, name](const void*) { unpin(name); });
}

PreviewCache::Pin PreviewCache::find(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(name);
    if (it == entries_.end() || it->second.dropped) return nullptr;
    return pin_locked(name, it->second);
}

PreviewCache::Pin PreviewCache::keep(const std::string& name, bool pin) {
    std::error_code ec;
    const uint64_t bytes = fs::file_size(path(name), ec);
    std::lock_guard lock(mutex_);
    auto [it, added] = entries_.try_emplace(name);
    if (!added) bytes_ -= it->second.bytes;
    it->second.bytes = ec ? 0 : bytes;
    it->second.dropped = false;
    it->second.used = ++clock_;
    bytes_ += it->second.bytes;
    Pin held = pin ? pin_locked(name, it->second) : nullptr;
    trim_locked();
    return held;
}

void PreviewCache::drop(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.lower_bound(prefix); it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
        auto next = std::next(it);
        it->second.dropped = true;
        if (it->second.pins == 0) remove_locked(it);
        it = next;
    }
}

void PreviewCache::unpin(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(name);
    if (it == entries_.end()) return;
    if (--it->second.pins == 0 && it->second.dropped) {
        remove_locked(it);
        return;
    }
    trim_locked();
}

void PreviewCache::trim_locked() {
    while (bytes_ > limit_) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.pins == 0 && (oldest == entries_.end() || it->second.used < oldest->second.used)) oldest = it;
        }
        if (oldest == entries_.end()) return;  // all being read: over the limit until they are done
        remove_locked(oldest);
    }
}

void PreviewCache::remove_locked(std::map<std::string, Entry>::iterator it) {
    std::error_code ec;
    fs::remove(path(it->first), ec);
    bytes_ -= it->second.bytes;
    entries_.erase(it);
}

}  // namespace quorvex::viewer
