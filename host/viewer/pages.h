// The viewer's page, its style and its script: files of their own in host/viewer/page/, built into
// the binary and served from this table.
#pragma once

#include <cstddef>

namespace quorvex::viewer {

struct PageFile {
    const char* path;  // as the browser asks for it: "/", "/app.js"
    const char* type;  // its content type
    const char* text;
};
extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace quorvex::viewer
