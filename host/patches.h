// Patches against a disc image's BIN, in the two forms people trade them: VCDIFF (RFC 3284, what
// xdelta3 applies) and PPF 3.0 (the PlayStation patch file). Both are made from the original and
// the changed bytes, which have the same length: write-back never moves a sector.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvex {

// A VCDIFF delta that turns `before` into `after` (the same size): windows of at most 4 MiB, each
// copying from the same place of the source what is unchanged and adding what changed.
std::vector<uint8_t> vcdiff_patch(std::span<const uint8_t> before, std::span<const uint8_t> after);

// A PPF 3.0 patch of a BIN image: no block check, no undo data; `description` is cut to its 50
// bytes and padded with spaces.
std::vector<uint8_t> ppf3_patch(std::span<const uint8_t> before, std::span<const uint8_t> after,
                                const std::string& description);

}  // namespace quorvex
