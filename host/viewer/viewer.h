// quorvex serve: a local web viewer to browse the discs under some folders, watch and listen to
// their streams, and rip what one picks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../commands.h"

namespace quorvex::viewer {

struct ServeOptions {
    std::string listen = "127.0.0.1";
    uint32_t port = 8077;  // 0: a free one, printed
    std::string token;     // empty: a new random one
    std::vector<std::string> allow_hosts;
    std::string out = "quorvex-rips";
    uint64_t cache_bytes = 512ull << 20;
};

Outcome run_serve(const Options& options, const ServeOptions& serve);

}  // namespace quorvex::viewer
