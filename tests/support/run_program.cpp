#include "run_program.h"

#include <array>
#include <cstdio>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace testing_support {

RunResult run_program(const std::string& command_line) {
    RunResult result;
    const std::string full = command_line + " 2>&1";
#if defined(_WIN32)
    FILE* pipe = _popen(full.c_str(), "r");
#else
    FILE* pipe = popen(full.c_str(), "r");
#endif
    if (!pipe) return result;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), n);
#if defined(_WIN32)
    result.status = _pclose(pipe);
#else
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return result;
}

std::string build_path(const std::string& relative) { return std::string(QUORVEX_BUILD_DIR) + "/" + relative; }

std::string quorvex_command() { return build_path("bin/quorvex"); }

}  // namespace testing_support
