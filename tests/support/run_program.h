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

namespace testing_support {

#if !defined(_WIN32)
// A program started in the background (through /bin/sh), its output going to `log`.
struct Started {
    int pid = -1;
};
Started start_program(const std::string& command_line, const std::string& log);
// Sends `signal` to it.
void signal_program(const Started& program, int signal);
// Waits for it: its exit status, or 128 + the signal that ended it; `peak_kib`, when given, the
// most memory it held at once (its peak resident set, in KiB).
int wait_program(const Started& program, long* peak_kib = nullptr);
// Stops the program and returns once it has stopped: true, or false if it ended first (it is left
// for wait_program to reap).
bool pause_program(const Started& program);
void resume_program(const Started& program);
#endif

}  // namespace testing_support
