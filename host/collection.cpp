#include "collection.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "../discwell/discwell.h"
#include "json_out.h"
#include "paths.h"

namespace fs = std::filesystem;

namespace quorvex {

std::string image_title(const std::string& path) {
    const uint32_t needed = DwImageTitle(path.c_str(), nullptr, 0);
    if (needed == 0 || needed > 4096) return {};
    std::vector<char> title(needed);
    DwImageTitle(path.c_str(), title.data(), needed);
    return valid_utf8(title.data());
}

ImageProbe probe_image(const std::string& path) {
    ImageProbe probe;
    std::vector<char> buffer(4096);
    uint32_t needed = 0;
    const char* format = nullptr;
    probe.verdict = DwProbeImage(path.c_str(), buffer.data(), static_cast<uint32_t>(buffer.size()), &needed, &format, nullptr);
    if (needed > buffer.size()) {
        buffer.resize(needed);
        probe.verdict = DwProbeImage(path.c_str(), buffer.data(), static_cast<uint32_t>(buffer.size()), &needed, &format, nullptr);
    }
    for (const char* p = buffer.data(); p < buffer.data() + buffer.size() && *p; p += std::strlen(p) + 1) probe.parts.push_back(p);
    if (format) probe.format = format;
    return probe;
}

namespace {

// A path's identity for comparing parts with images: its absolute, normal form.
std::string identity(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(native_path(path), ec);
    if (ec) p = fs::absolute(native_path(path), ec).lexically_normal();
    return utf8_path(p);
}

uint64_t parts_size(const std::vector<std::string>& parts) {
    uint64_t total = 0;
    for (const std::string& part : parts) {
        std::error_code ec;
        const uint64_t n = fs::file_size(native_path(part), ec);
        if (!ec) total += n;
    }
    return total;
}

void walk_folder(const std::string& folder, std::vector<CollectionImage>& found, std::set<std::string>& parts,
                 std::vector<std::string>& not_images) {
    std::error_code ec;
    const fs::path root = native_path(folder);
    std::vector<CollectionImage> here;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code type_ec;
        if (!it->is_regular_file(type_ec)) continue;  // no pipes, devices or folders' links
        const std::string path = utf8_path(it->path());
        const ImageProbe probe = probe_image(path);
        if (probe.verdict == DW_PROBE_NOT_IMAGE) {
            not_images.push_back(path);
            continue;
        }
        for (const std::string& part : probe.parts) parts.insert(identity(part));
        CollectionImage image;
        image.path = path;
        image.format = probe.format;
        image.relative = utf8_path(it->path().lexically_relative(root));
        std::replace(image.relative.begin(), image.relative.end(), '\\', '/');
        image.size = it->file_size(type_ec);
        image.bytes = image.size + parts_size(probe.parts);
        here.push_back(std::move(image));
    }
    std::sort(here.begin(), here.end(), [](const CollectionImage& a, const CollectionImage& b) { return a.relative < b.relative; });
    found.insert(found.end(), here.begin(), here.end());
}

}  // namespace

bool find_images(const std::vector<std::string>& arguments, std::vector<CollectionImage>& images, std::string& error,
                 std::vector<std::string>* not_images) {
    std::vector<CollectionImage> found;
    std::set<std::string> parts, named;
    std::vector<std::string> others;
    for (const std::string& argument : arguments) {
        std::error_code ec;
        const fs::path path = native_path(argument);
        if (fs::is_directory(path, ec)) {
            walk_folder(argument, found, parts, others);
            continue;
        }
        if (!fs::exists(path, ec)) {
            error = argument + ": no such file or folder";
            return false;
        }
        CollectionImage image;
        image.path = argument;
        image.relative = utf8_path(path.filename());
        image.size = fs::is_regular_file(path, ec) ? fs::file_size(path, ec) : 0;
        const ImageProbe probe = probe_image(argument);
        image.format = probe.format;
        image.bytes = image.size + parts_size(probe.parts);
        named.insert(identity(argument));
        found.push_back(std::move(image));
    }
    if (not_images) {
        // A CloneCD set's .sub is no image of its own, but part of one.
        std::erase_if(others, [&](const std::string& f) { return parts.count(identity(f)) > 0; });
        std::sort(others.begin(), others.end());
        *not_images = std::move(others);
    }
    images.clear();
    std::set<std::string> taken;
    for (CollectionImage& image : found) {
        const std::string id = identity(image.path);
        // A file named on the command line is a disc even when another image names it as well.
        if (parts.count(id) && !named.count(id)) continue;
        if (!taken.insert(id).second) continue;  // named twice, or named and found
        images.push_back(std::move(image));
    }
    name_discs(images);
    return true;
}

uint64_t stable_hash(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

namespace {

// A name that, made into a folder under the output, would land elsewhere or be hidden.
bool unfit_folder_name(const std::string& name) {
    return name.empty() || name[0] == '.' || name.find_first_of("/\\") != std::string::npos;
}

}  // namespace

std::string not_images_line(const std::vector<std::string>& files) {
    if (files.empty()) return {};
    std::string line = files.size() == 1 ? "1 file is not a disc image: " : std::to_string(files.size()) + " files are not disc images: ";
    for (size_t i = 0; i < files.size() && i < 5; ++i) {
        line += (i ? ", " : "") + printable(files[i]);
        if (const ImageProbe probe = probe_image(files[i]); !probe.format.empty()) line += " (" + probe.format + ")";
    }
    if (files.size() > 5) line += " and " + std::to_string(files.size() - 5) + " more";
    return line;
}

// A title as a folder's name: what no file system takes (separators, a drive's colon, Windows'
// reserved marks, controls) made a dash, spaces and dots trimmed from its ends.
std::string folder_name_of(const std::string& title) {
    std::string name;
    for (const char c : title) name += static_cast<unsigned char>(c) < 0x20 || std::strchr("/\\:*?\"<>|", c) ? '-' : c;
    const size_t first = name.find_first_not_of(" ."), last = name.find_last_not_of(" .");
    return first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
}

// The name a disc is known by: the title its image holds (a PBP's), else its file's name (or,
// for a PBP named EBOOT as they all are, its folder's).
std::string disc_name_of(const CollectionImage& image) {
    if (std::string titled = folder_name_of(image_title(image.path)); !titled.empty()) return titled;
    const fs::path path = native_path(image.path);
    fs::path file = path.filename();
    if (lower_ascii(utf8_path(file)) == "eboot.pbp" && path.has_parent_path()) {
        const fs::path folder = fs::absolute(path).parent_path().filename();
        if (!folder.empty()) return utf8_path(folder);
    }
    // "game.bin.ecm" is the disc "game".
    if (lower_ascii(utf8_path(file.extension())) == ".ecm") file = file.stem();
    return utf8_path(file.stem());
}

void name_discs(std::vector<CollectionImage>& images) {
    std::map<std::string, int> used;
    for (CollectionImage& image : images) {
        std::string name = disc_name_of(image);
        if (unfit_folder_name(name)) {
            char hashed[16];
            std::snprintf(hashed, sizeof hashed, "disc-%08x", static_cast<unsigned>(stable_hash(image.relative) & 0xFFFFFFFFu));
            name = hashed;
        }
        std::string candidate = name;
        for (int n = 2; used.count(lower_ascii(candidate)); ++n) candidate = name + "-" + std::to_string(n);
        used[lower_ascii(candidate)] = 1;
        image.disc_name = candidate;
    }
}

bool lies_under(const fs::path& folder, const fs::path& path) {
    const fs::path relative = path.lexically_normal().lexically_relative(folder.lexically_normal());
    if (relative.empty() || relative == ".") return false;
    const std::string first = utf8_path(*relative.begin());
    return first != ".." && !relative.is_absolute();
}

namespace {

// Digits alone, at most nine of them.
std::optional<uint32_t> small_number(std::string_view text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(std::string(text)));
}

// A variable of the environment as a number; none when unset, `bad` when set but not a number.
std::optional<uint32_t> variable(const Environment& environment, const char* name, std::string& bad) {
    const char* value = environment(name);
    if (!value) return std::nullopt;
    auto number = small_number(value);
    if (!number && bad.empty()) bad = std::string(name) + "=" + value + " is not a number";
    return number;
}

// The share Slurm's job array gives this task: its index among the array's tasks, counted from 1.
bool slurm_shard(const Environment& environment, Shard& shard, std::string& error) {
    std::string bad;
    const auto id = variable(environment, "SLURM_ARRAY_TASK_ID", bad), count = variable(environment, "SLURM_ARRAY_TASK_COUNT", bad);
    const uint32_t first = variable(environment, "SLURM_ARRAY_TASK_MIN", bad).value_or(0);
    const uint32_t step = variable(environment, "SLURM_ARRAY_TASK_STEP", bad).value_or(1);
    if (!bad.empty()) return error = "--shard auto: " + bad, false;
    if (!id || !count) {
        error = "--shard auto: no Slurm job array found (SLURM_ARRAY_TASK_ID and SLURM_ARRAY_TASK_COUNT are not set)";
        if (environment("JOB_COMPLETION_INDEX")) error += "; under a Kubernetes Indexed Job give the count: --shard auto/N";
        return false;
    }
    if (step == 0 || *id < first || (*id - first) % step != 0 || (*id - first) / step >= *count) {
        return error = "--shard auto: task " + std::to_string(*id) + " is not one of the array's " + std::to_string(*count) + " tasks", false;
    }
    shard = {(*id - first) / step + 1, *count};
    return true;
}

// The share a Kubernetes Indexed Job gives this pod: its completion index, counted from 0.
bool kubernetes_shard(const Environment& environment, uint32_t count, Shard& shard, std::string& error) {
    std::string bad;
    const auto index = variable(environment, "JOB_COMPLETION_INDEX", bad);
    if (!bad.empty()) return error = "--shard auto/" + std::to_string(count) + ": " + bad, false;
    if (!index) {
        error = "--shard auto/" + std::to_string(count) + ": no Kubernetes Indexed Job found (JOB_COMPLETION_INDEX is not set)";
        if (environment("SLURM_ARRAY_TASK_ID")) error += "; under a Slurm job array give --shard auto";
        return false;
    }
    if (*index >= count) {
        return error = "--shard auto/" + std::to_string(count) + ": JOB_COMPLETION_INDEX " + std::to_string(*index) +
                       " is not below the count", false;
    }
    shard = {*index + 1, count};
    return true;
}

}  // namespace

bool parse_shard(const std::string& text, Shard& shard, std::string& error, const Environment& environment) {
    if (text == "auto") return slurm_shard(environment, shard, error);
    const size_t slash = text.find('/');
    const std::string_view left = std::string_view(text).substr(0, slash);
    const uint32_t n = slash == std::string::npos ? 0 : small_number(std::string_view(text).substr(slash + 1)).value_or(0);
    if (left == "auto" && n >= 1) return kubernetes_shard(environment, n, shard, error);
    const uint32_t index = small_number(left).value_or(0);
    if (index < 1 || index > n) {
        error = "--shard " + text + ": give I/N, the I-th of N shares, with 1 <= I <= N (or auto under a Slurm job array, "
                "auto/N under a Kubernetes Indexed Job)";
        return false;
    }
    shard = {index, n};
    return true;
}

bool in_shard(const CollectionImage& image, const Shard& shard) {
    // By the relative path and the size: the same on every machine that sees the same tree.
    return stable_hash(image.relative + "\n" + std::to_string(image.size)) % shard.count == shard.index - 1;
}

}  // namespace quorvex
