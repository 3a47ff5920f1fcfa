#include "mapped_copy.h"

#include <cstring>

#if !defined(_WIN32)
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <mutex>
#endif

namespace discwell {

#if defined(_WIN32)

// Images are never mapped on Windows (they are read with ReadFile), so there is nothing to guard.
bool mapped_copy(void* out, const void* mapped, size_t bytes) {
    std::memcpy(out, mapped, bytes);
    return true;
}

#else

namespace {

// The copy in progress on this thread, if any. The handler runs on the faulting thread, so a
// fault in one thread's copy never disturbs another's.
thread_local sigjmp_buf* t_active = nullptr;
struct sigaction g_previous {};

void on_bus_error(int signal, siginfo_t* info, void* context) {
    if (sigjmp_buf* active = t_active) {
        t_active = nullptr;
        siglongjmp(*active, 1);
    }
    // Not a fault of ours: whatever was there before handles it, or the default ends the process.
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) return g_previous.sa_sigaction(signal, info, context);
    } else if (g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != SIG_DFL && g_previous.sa_handler) {
        return g_previous.sa_handler(signal);
    }
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

void install_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    // SA_NODEFER: leaving the handler by siglongjmp must not leave SIGBUS blocked, and the jump
    // does not restore a signal mask (that would cost a system call on every copy).
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

bool mapped_copy(void* out, const void* mapped, size_t bytes) {
    static std::once_flag installed;
    std::call_once(installed, install_handler);
    sigjmp_buf here;
    if (sigsetjmp(here, 0) != 0) return false;
    t_active = &here;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(out, mapped, bytes);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_active = nullptr;
    return true;
}

#endif

}  // namespace discwell
