// Reading numbers back out of quorvex's JSON output, field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// Every number that follows "key": in the text, in order.
inline std::vector<int64_t> json_numbers(const std::string& text, const std::string& key) {
    std::vector<int64_t> out;
    const std::string pattern = "\"" + key + "\": ";
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        out.push_back(std::stoll(text.substr(at + pattern.size(), 24)));
    }
    return out;
}

}  // namespace testing_support
