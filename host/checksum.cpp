#include "checksum.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "paths.h"

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#elif defined(QUORVEX_HAVE_LIBCRYPTO)
#include <openssl/evp.h>
#endif

namespace fs = std::filesystem;

namespace quorvex {
namespace {

[[maybe_unused]] std::string to_hex(const unsigned char* d, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += kHex[d[i] >> 4];
        out += kHex[d[i] & 15];
    }
    return out;
}

}  // namespace

#if defined(_WIN32)
struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};
Sha256::Sha256() : state_(std::make_unique<State>()) {
    BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0);
}
Sha256::~Sha256() {
    if (state_->hash) BCryptDestroyHash(state_->hash);
    if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}
void Sha256::add(const void* data, size_t n) {
    BCryptHashData(state_->hash, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(n), 0);
}
std::string Sha256::hex() {
    unsigned char digest[32];
    BCryptFinishHash(state_->hash, digest, sizeof digest, 0);
    return to_hex(digest, sizeof digest);
}
#elif defined(QUORVEX_HAVE_LIBCRYPTO)
struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
};
Sha256::Sha256() : state_(std::make_unique<State>()) { EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr); }
Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }
void Sha256::add(const void* data, size_t n) { EVP_DigestUpdate(state_->context, data, n); }
std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(state_->context, digest, &n);
    return to_hex(digest, n);
}
#else
struct Sha256::State {};
Sha256::Sha256() = default;
Sha256::~Sha256() = default;
void Sha256::add(const void*, size_t) {}
std::string Sha256::hex() { return {}; }
#endif

namespace {

bool add_file(Sha256& sha, const fs::path& path, uint64_t& bytes, std::string& error) {
    std::FILE* f = open_file(path, "rb");
    if (!f) {
        error = utf8_path(path) + ": cannot read";
        return false;
    }
    std::vector<char> buffer(1 << 20);
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        sha.add(buffer.data(), n);
        bytes += n;
    }
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) error = utf8_path(path) + ": cannot read";
    return ok;
}

}  // namespace

bool sha256_of(const fs::path& path, std::string& digest, uint64_t& bytes, std::string& error) {
    Sha256 sha;
    bytes = 0;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(path, ec)) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            const std::string name = utf8_path(file.filename());
            sha.add(name.data(), name.size() + 1);
            if (!add_file(sha, file, bytes, error)) return false;
        }
    } else if (!add_file(sha, path, bytes, error)) {
        return false;
    }
    digest = sha.hex();
    return true;
}

}  // namespace quorvex
