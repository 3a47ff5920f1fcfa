// Why an image cannot be opened: the kind of failure (DwError) and a line that names the file.
#pragma once

#include <string>
#include <utility>

#include "discwell.h"

namespace discwell {

struct Problem {
    DwError code = DW_OK;
    std::string text;
};

// Says `text`, of kind `code`, in `problem`: false, for `return fail(...)`.
inline bool fail(Problem& problem, DwError code, std::string text) {
    problem = {code, std::move(text)};
    return false;
}

}  // namespace discwell
