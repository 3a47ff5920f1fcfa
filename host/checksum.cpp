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

// The system's SHA-256: OpenSSL's libcrypto, or Windows' own BCrypt.
class Sha256 {
public:
#if defined(_WIN32)
    Sha256() {
        BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0);
    }
    ~Sha256() {
        if (hash_) BCryptDestroyHash(hash_);
        if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
    }
    void add(const void* data, size_t n) {
        BCryptHashData(hash_, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(n), 0);
    }
    std::string hex() {
        unsigned char digest[32];
        BCryptFinishHash(hash_, digest, sizeof digest, 0);
        return to_hex(digest, sizeof digest);
    }

private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
#elif defined(QUORVEX_HAVE_LIBCRYPTO)
    Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(context_); }
    void add(const void* data, size_t n) { EVP_DigestUpdate(context_, data, n); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(context_, digest, &n);
        return to_hex(digest, n);
    }

private:
    EVP_MD_CTX* context_;
#else
    void add(const void*, size_t) {}
    std::string hex() { return {}; }
#endif
    static std::string to_hex(const unsigned char* d, size_t n) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            out += kHex[d[i] >> 4];
            out += kHex[d[i] & 15];
        }
        return out;
    }
};

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
