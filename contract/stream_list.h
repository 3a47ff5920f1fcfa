// The growable stream list of every scanner: an array from malloc with room for 10 entries that
// grows by 10 through realloc. A failed growth leaves the list as it was; removal keeps the order.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "heap.h"

namespace psr {

inline constexpr int32_t kListInitialCapacity = 10;
inline constexpr int32_t kListGrowth = 10;

// Lives inside a malloc'ed ScanContext, so it is a plain aggregate: call init() and release().
template <class T>
struct StreamList {
    static_assert(std::is_trivially_copyable_v<T>);

    T* items;
    int32_t capacity;
    int32_t count;

    bool init() {
        items = static_cast<T*>(heap::allocate(sizeof(T) * kListInitialCapacity));
        capacity = items ? kListInitialCapacity : 0;
        count = 0;
        return items != nullptr;
    }
    void release() {
        heap::release(items);
        items = nullptr;
        capacity = count = 0;
    }

    // Room for one more entry, growing by 10 when full; false (and unchanged) when growth fails.
    bool make_room() {
        if (count < capacity) return true;
        void* grown = heap::reallocate(items, sizeof(T) * static_cast<size_t>(capacity + kListGrowth));
        if (!grown) return false;
        items = static_cast<T*>(grown);
        capacity += kListGrowth;
        return true;
    }
    // Appends `entry`; false when the list could not grow.
    bool append(const T& entry) {
        if (!make_room()) return false;
        items[count++] = entry;
        return true;
    }
    void remove(int32_t index) {
        std::memmove(items + index, items + index + 1, sizeof(T) * static_cast<size_t>(count - index - 1));
        --count;
    }
    void pop_back() { --count; }

    bool contains(int32_t index) const { return index >= 0 && index < count; }
    T& operator[](int32_t index) { return items[index]; }
    const T& operator[](int32_t index) const { return items[index]; }
    T& back() { return items[count - 1]; }
    T* begin() { return items; }
    T* end() { return items + count; }
};

}  // namespace psr
