// Output that appears complete or not at all: files are written into a staging folder inside the
// destination and moved into place only when the whole job has succeeded.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quorvex {

class StagedOutput {
public:
    StagedOutput() = default;
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;
    ~StagedOutput();

    // Creates `directory` when needed and a staging folder inside it.
    bool begin(const std::filesystem::path& directory, std::string& error);
    // Where to write `name` now; the file reaches the destination at commit().
    std::filesystem::path stage(const std::string& name);
    // Moves every staged file into the destination and removes the staging folder.
    bool commit(std::string& error);
    const std::filesystem::path& destination() const { return destination_; }

private:
    std::filesystem::path destination_;
    std::filesystem::path staging_;
    std::vector<std::string> names_;
    bool committed_ = false;
};

}  // namespace quorvex
