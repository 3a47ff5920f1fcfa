#include "staged_output.h"

#include <chrono>

namespace fs = std::filesystem;

namespace quorvex {

StagedOutput::~StagedOutput() {
    if (!staging_.empty() && !committed_) {
        std::error_code ec;
        fs::remove_all(staging_, ec);
    }
}

bool StagedOutput::begin(const fs::path& directory, std::string& error) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec || !fs::is_directory(directory)) {
        error = directory.string() + ": cannot create the output folder" + (ec ? ": " + ec.message() : "");
        return false;
    }
    destination_ = directory;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    staging_ = directory / (".quorvex-partial-" + std::to_string(stamp));
    if (!fs::create_directory(staging_, ec)) {
        error = staging_.string() + ": cannot create: " + ec.message();
        staging_.clear();
        return false;
    }
    return true;
}

fs::path StagedOutput::stage(const std::string& name) {
    names_.push_back(name);
    return staging_ / name;
}

bool StagedOutput::commit(std::string& error) {
    std::error_code ec;
    for (const std::string& name : names_) {
        if (!fs::exists(staging_ / name)) continue;
        fs::rename(staging_ / name, destination_ / name, ec);
        if (ec) {
            error = (destination_ / name).string() + ": cannot write: " + ec.message();
            return false;
        }
    }
    fs::remove_all(staging_, ec);
    committed_ = true;
    return true;
}

}  // namespace quorvex
