// Runs a program of the build and captures what it prints.
#pragma once

#include <string>

namespace testing_support {

struct RunResult {
    int status = -1;  // the exit status
    std::string output;  // stdout and stderr together
};

RunResult run_program(const std::string& command_line);

// Paths of the build under test.
std::string build_path(const std::string& relative);
std::string quorvex_command();

}  // namespace testing_support
