#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace quorvex {
namespace {

std::atomic<int> g_signal{0};

#if defined(_WIN32)
BOOL WINAPI on_console_event(DWORD) {
    int expected = 0;
    g_signal.compare_exchange_strong(expected, SIGINT);
    return TRUE;
}
#else
void on_signal(int signal) {
    int expected = 0;
    g_signal.compare_exchange_strong(expected, signal);
}
#endif

}  // namespace

void install_interrupt_handlers() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE}) sigaction(s, &action, nullptr);
#endif
}

bool interrupted() { return g_signal.load(std::memory_order_relaxed) != 0; }

std::string interruption() {
    switch (g_signal.load()) {
        case SIGINT: return "interrupted by SIGINT";
        case SIGTERM: return "interrupted by SIGTERM";
#if !defined(_WIN32)
        case SIGHUP: return "interrupted by SIGHUP";
        case SIGXFSZ: return "stopped by SIGXFSZ: a file grew past the size limit";
        case SIGPIPE: return "stopped by SIGPIPE: the program reading quorvex's output went away";
#endif
        default: return "interrupted";
    }
}


void end_as_interrupted() {
    const int s = g_signal.load();
#if !defined(_WIN32)
    // SIGXFSZ would dump core: an exit status says enough.
    if (s != 0 && s != SIGXFSZ) {
        std::signal(s, SIG_DFL);
        std::raise(s);
    }
#endif
    std::exit(s == SIGINT ? 130 : 1);
}

}  // namespace quorvex
