// A collection of discs: the images named on the command line and those found in the folders
// named there, recognised by their content; each with the folder name its rip goes into; and the
// disjoint shares (shards) that several machines rip one each.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quorvex {

struct CollectionImage {
    std::string path;       // as found (UTF-8)
    std::string relative;   // under the folder given ("USA/game.cue"), or the file name when named alone
    uint64_t size = 0;      // bytes of the file named or found (a CUE sheet's own size)
    uint64_t bytes = 0;     // bytes of the whole image: the file and the files it consists of
    std::string disc_name;  // the folder its rip goes into: the file name without extension, unique
    std::string format;     // the image's format as discwell names it ("CHD"), empty for no image
};

// What a file is to discwell (DwProbeImage): its verdict, the other files the image consists of,
// and the name of its format.
struct ImageProbe {
    int32_t verdict = 0;  // DW_PROBE_NOT_IMAGE
    std::vector<std::string> parts;
    std::string format;
};
ImageProbe probe_image(const std::string& path);
// The title an image holds for people (a PBP's), valid UTF-8; empty when it holds none.
std::string image_title(const std::string& path);

// The images among `arguments`: a file named is taken as it is (opening it says what is wrong);
// a folder is walked for every file discwell recognises as an image, leaving out the files another
// image consists of (the BIN a CUE sheet beside it names, a CloneCD set's .img and .sub). The
// files found in folders that are no images go to `not_images` when given. False with `error` set
// for an argument that is neither a file nor a folder.
bool find_images(const std::vector<std::string>& arguments, std::vector<CollectionImage>& images, std::string& error,
                 std::vector<std::string>* not_images = nullptr);

// One line naming the files a search of folders found that are no images ("3 files are not disc
// images: a.txt, b.jpg, c.pdf"); empty for none.
std::string not_images_line(const std::vector<std::string>& files);

// Gives each image its disc name: the file name without its extension, and for a name already
// taken (compared without regard to case) "-2", "-3"... in the order of the images. A name that
// would not make a folder of its own under the output (empty, "." or "..", hidden, holding a
// separator) becomes "disc-" and eight hex digits of a hash of the image's relative path.
void name_discs(std::vector<CollectionImage>& images);

// Whether `path` names something inside `folder` (not the folder itself), judged on the names
// alone: the last guard before anything is written under an output folder.
bool lies_under(const std::filesystem::path& folder, const std::filesystem::path& path);

// A hash of a text that every machine computes alike (FNV-1a), for names and shares.
uint64_t stable_hash(const std::string& text);

struct Shard {
    uint32_t index = 1, count = 1;  // the index-th of count shares, from 1
};
// Where a share's number comes from when the batch system that started the process gives it.
using Environment = std::function<const char*(const char*)>;

// "I/N" with 1 <= I <= N; "auto", both from a Slurm job array (SLURM_ARRAY_TASK_ID, _MIN, _COUNT
// and _STEP); "auto/N", N given and the index from a Kubernetes Indexed Job
// (JOB_COMPLETION_INDEX, counted from 0).
bool parse_shard(const std::string& text, Shard& shard, std::string& error, const Environment& environment = std::getenv);
// Whether an image falls in `shard`: by its relative path and its size, the same on every machine.
bool in_shard(const CollectionImage& image, const Shard& shard);

}  // namespace quorvex
