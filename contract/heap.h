// Plug-in memory comes from malloc, realloc and free only. Test builds can make the Nth allocation
// fail to prove that every failure path leaves things as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace psr::heap {

#if defined(PSR_HEAP_FAULT_INJECTION)
// Allocations still to succeed before one fails; negative: none fails.
inline int64_t allocations_before_failure = -1;
inline bool next_allocation_fails() {
    if (allocations_before_failure < 0) return false;
    return allocations_before_failure-- == 0;
}
#else
constexpr bool next_allocation_fails() { return false; }
#endif

inline void* allocate(size_t bytes) { return next_allocation_fails() ? nullptr : std::malloc(bytes); }
inline void* reallocate(void* block, size_t bytes) {
    return next_allocation_fails() ? nullptr : std::realloc(block, bytes);
}
inline void release(void* block) { std::free(block); }

// A value-initialised T in fresh memory, or null.
template <class T>
T* create() {
    void* block = allocate(sizeof(T));
    return block ? ::new (block) T{} : nullptr;
}
template <class T>
void destroy(T* object) {
    release(object);
}

}  // namespace psr::heap
