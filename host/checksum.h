// SHA-256 of what quorvex wrote, so that a later run can tell a finished output from a damaged one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace quorvex {

// The system's SHA-256 (OpenSSL's libcrypto, or Windows' BCrypt), fed piece by piece. A build
// without one (a cross build for tests only) gives an empty digest.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void add(const void* data, size_t n);
    // The digest in hexadecimal; the object is spent.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The hexadecimal SHA-256 of a file, or of a folder's files in name order (each name, then its
// bytes); false with `error` set when one cannot be read. `bytes` is the total size. A build
// without a SHA-256 (a cross build for tests only) gives an empty digest.
bool sha256_of(const std::filesystem::path& path, std::string& digest, uint64_t& bytes, std::string& error);

}  // namespace quorvex
