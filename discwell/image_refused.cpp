// Archives and compressed images discwell does not read, known by their magic numbers so that
// the message says what the file is. An archive may hold anything and is no disc; a compressed
// image of an unknown kind is a disc that cannot be read.
#include "image_formats.h"

namespace discwell {
namespace {

enum class Refusal { kNotImage, kUnreadableImage };

struct Refused {
    std::string_view magic;
    const char* what;
    Refusal refusal;
};
constexpr Refused kRefused[] = {
    {"PK\x03\x04", "a ZIP archive", Refusal::kNotImage},
    {"7z\xBC\xAF\x27\x1C", "a 7-Zip archive", Refusal::kNotImage},
    {"Rar!", "a RAR archive", Refusal::kNotImage},
    {"\x1F\x8B", "a gzip file", Refusal::kNotImage},
    {std::string_view("\xFD" "7zXZ\0", 6), "an xz file", Refusal::kNotImage},
    {"CISO", "a compressed image of an unknown kind", Refusal::kUnreadableImage},
    {"ZISO", "a compressed image of an unknown kind", Refusal::kUnreadableImage},
    {"DAX", "a compressed image of an unknown kind", Refusal::kUnreadableImage},
};

const Refused* refused(const ImageHead& head) {
    for (const Refused& r : kRefused) {
        if (head.starts_with(r.magic)) return &r;
    }
    return nullptr;
}

bool probe(const ImageHead& head) { return refused(head) != nullptr; }

bool open(const ImageHead& head, bool, Disc&, Problem& problem) {
    const Refused& r = *refused(head);
    const std::string said = r.refusal == Refusal::kNotImage ? " is not a disc image: it is " : " is ";
    return fail(problem, DW_ERROR_UNSUPPORTED, head.path + said + r.what + "; quorvex reads BIN/CUE, CHD, ECM, PBP and CloneCD images");
}

ImageProbe files(const ImageHead& head) {
    const Refused& r = *refused(head);
    ImageProbe probe{r.refusal == Refusal::kUnreadableImage ? DW_PROBE_UNREADABLE : DW_PROBE_NOT_IMAGE, {}, nullptr};
    probe.what = r.what;
    return probe;
}

}  // namespace

extern const ImageFormat kRefusedFormat;
const ImageFormat kRefusedFormat{DW_FORMAT_REFUSED, "compressed image", probe, open, files};

}  // namespace discwell
