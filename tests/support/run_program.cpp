#include "run_program.h"

#include <array>
#include <cstdio>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
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

#if !defined(_WIN32)
Started start_program(const std::string& command_line, const std::string& log) {
    Started started;
    started.pid = fork();
    if (started.pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        // exec replaces the shell, so the signal reaches the program itself.
        execl("/bin/sh", "sh", "-c", ("exec " + command_line).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return started;
}

void signal_program(const Started& program, int signal) { kill(program.pid, signal); }

bool pause_program(const Started& program) {
    if (kill(program.pid, SIGSTOP) != 0) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(program.pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) return false;
    return info.si_code == CLD_STOPPED;
}

void resume_program(const Started& program) { kill(program.pid, SIGCONT); }

int wait_program(const Started& program, long* peak_kib) {
    int status = 0;
    struct rusage usage {};
    wait4(program.pid, &status, 0, &usage);
    if (peak_kib) *peak_kib = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace testing_support
