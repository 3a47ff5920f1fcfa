// Counts in plain words: "1 disc", "2 discs".
#pragma once

#include <cstddef>
#include <string>

namespace quorvex {

inline std::string count_text(size_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

}  // namespace quorvex
