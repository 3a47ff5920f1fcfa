// Copying bytes out of a mapped image file. A file that shrinks while it is mapped (a copy still
// in progress, a network share) makes the pages past its new end fault; the copy then fails
// instead of bringing the process down.
#pragma once

#include <cstddef>

namespace discwell {

// Copies `bytes` from `mapped` to `out`; false when the mapped pages cannot be read.
bool mapped_copy(void* out, const void* mapped, size_t bytes);

}  // namespace discwell
