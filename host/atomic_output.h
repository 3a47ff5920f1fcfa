// Outputs that appear whole or not at all.
//
// An output (a file, or a folder of files) is built in a hidden staging folder beside its place,
// ".quorvex-<id>.tmp", and put in place by one rename that cannot replace anything, so an error
// or an interruption leaves the place exactly as it was and of two runs writing the same output
// only one can win. Each staging folder belongs to a lock file, ".quorvex-<id>.lock", that its
// run holds (a file lock, not a process id: runs on several machines may share a folder). A later
// run removes staging whose lock nobody holds.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quorvex {

class AtomicOutput {
public:
    enum class Shape { kFile, kFolder };
    // Says whether an existing output at `place` may be replaced (it is quorvex's own), and if not,
    // why not.
    using MayReplace = std::function<bool(const std::filesystem::path& place, std::string& why)>;

    AtomicOutput() = default;
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    ~AtomicOutput();  // abandons an output that was not committed

    // Prepares the output `target` (UTF-8): creates missing parent folders, the lock and the
    // staging folder. An existing target is refused, except an empty folder for a folder output,
    // and, when `may_replace` is given and agrees, an earlier output of quorvex.
    bool begin(const std::string& target, Shape shape, const MayReplace& may_replace, std::string& error);
    // Where to write: the file, or the folder (which exists).
    const std::filesystem::path& work() const { return work_; }
    const std::string& target() const { return target_; }
    // Puts the output in place. Replacing an earlier output takes two renames and never leaves
    // a mix: the old one is moved aside first, and back if the new one cannot follow.
    bool commit(std::string& error);
    // Takes a committed output back out of its place, for a run whose later outputs failed.
    void undo_commit();
    // Removes everything this output staged or created.
    void abandon();

private:
    std::string target_;
    std::filesystem::path place_, parent_, staging_, work_, lock_, aside_;
    std::vector<std::filesystem::path> created_folders_;  // parents this output made, deepest last
    Shape shape_ = Shape::kFile;
    bool replace_ = false, committed_ = false, replaced_empty_folder_ = false;
    intptr_t lock_handle_ = -1;
};

// A run's hold on a folder it writes many outputs into (a disc's rip): another run finds it taken.
// The lock lives in ".quorvex-run.held" there, and is let go when the run ends, however it ends.
class FolderLock {
public:
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();
    // False with `error` set when another run holds the folder or the lock cannot be made.
    bool take(const std::filesystem::path& folder, std::string& error);

private:
    std::filesystem::path path_;
    intptr_t handle_ = -1;
};

// Removes the staging in `folder` that no live run holds, and puts back an earlier output that a
// dead run had moved aside without replacing it.
void sweep_abandoned_staging(const std::filesystem::path& folder);

// Renames `from` to `to` unless `to` exists; false with errno-style `why` otherwise.
bool rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to, std::string& why);

// Writes a whole small file (a manifest) beside `path` and renames it over `path`.
bool replace_file_contents(const std::filesystem::path& path, const std::string& contents, std::string& error);

// A random identifier for staging names: 16 hexadecimal digits.
std::string random_id();

}  // namespace quorvex
