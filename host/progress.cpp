#include "progress.h"

#include <algorithm>

#include "terminal.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif

namespace quorvex {
namespace {

// The width of the terminal standard error shows on, in columns (80 when it cannot be told).
size_t stderr_columns() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return size_t(info.srWindow.Right - info.srWindow.Left + 1);
#else
    winsize size{};
    if (ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return 80;
}

std::mutex g_active_mutex;
Progress* g_active = nullptr;  // the terminal line shown now
}  // namespace

Progress::Progress(ProgressMode mode) : mode_(mode), started_(Clock::now()) {
    if (mode_ != ProgressMode::kTerminal) return;
    std::lock_guard lock(g_active_mutex);
    g_active = this;
}

Progress::~Progress() {
    clear();
    std::lock_guard lock(g_active_mutex);
    if (g_active == this) g_active = nullptr;
}

void clear_progress_line() {
    std::lock_guard lock(g_active_mutex);
    if (g_active) g_active->clear();
}

ProgressMode progress_mode(const std::string& option) {
    if (option == "json") return ProgressMode::kJson;
    if (option == "none") return ProgressMode::kNone;
    return stderr_is_terminal() ? ProgressMode::kTerminal : ProgressMode::kNone;
}

void Progress::line(const std::string& text, bool now) {
    if (mode_ != ProgressMode::kTerminal) return;
    std::lock_guard lock(mutex_);
    const auto t = Clock::now();
    if (!now && shown_ && t - drawn_ < std::chrono::milliseconds(100)) return;
    drawn_ = t;
    // At most one terminal line wide, cut from the right: lines begin with what they count.
    const size_t width = std::max<size_t>(stderr_columns(), 20) - 1;
    const std::string shown = text.size() > width ? text.substr(0, width - 3) + "..." : text;
    std::fprintf(stderr, "\r%s\x1b[K", shown.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Progress::step(Json event) {
    if (mode_ != ProgressMode::kJson) return;
    std::lock_guard lock(mutex_);
    event["elapsed_seconds"] = elapsed();
    std::fprintf(stderr, "%s\n", event.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    std::fflush(stderr);
}

void Progress::clear() {
    if (mode_ != ProgressMode::kTerminal) return;
    std::lock_guard lock(mutex_);
    if (!shown_) return;
    std::fprintf(stderr, "\r\x1b[K");
    std::fflush(stderr);
    shown_ = false;
}

std::string clock_text(double seconds) {
    const long s = seconds > 0 ? static_cast<long>(seconds + 0.5) : 0;
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

}  // namespace quorvex
