// SHA-256 of what quorvex wrote, so that a later run can tell a finished output from a damaged one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace quorvex {

// The hexadecimal SHA-256 of a file, or of a folder's files in name order (each name, then its
// bytes); false with `error` set when one cannot be read. `bytes` is the total size. A build
// without a SHA-256 (a cross build for tests only) gives an empty digest.
bool sha256_of(const std::filesystem::path& path, std::string& digest, uint64_t& bytes, std::string& error);

}  // namespace quorvex
