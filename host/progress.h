// Work that shows how far it has got. On a terminal, one line on standard error, redrawn at most
// ten times a second and cleared before anything else is printed; with --progress json, one JSON
// object a line on standard error for each step, for scripts and front ends; otherwise nothing.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "json_out.h"

namespace quorvex {

enum class ProgressMode { kNone, kTerminal, kJson };

// "auto" (a terminal line when standard error is a terminal), "json" or "none".
ProgressMode progress_mode(const std::string& option);

class Progress {
public:
    explicit Progress(ProgressMode mode);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    ProgressMode mode() const { return mode_; }
    // Redraws the terminal line with `text` (not more often than ten times a second unless
    // `now`); nothing in the other modes.
    void line(const std::string& text, bool now = false);
    // Writes a JSON step; nothing in the other modes.
    void step(Json event);
    // Takes the terminal line away, so that other output starts on a clean line.
    void clear();
    // Seconds since the work began.
    double elapsed() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

private:
    using Clock = std::chrono::steady_clock;
    const ProgressMode mode_;
    const Clock::time_point started_;
    Clock::time_point drawn_{};
    bool shown_ = false;
    std::mutex mutex_;
};

// Takes away the terminal line of the progress shown now, if any: messages call it first.
void clear_progress_line();

// "1:05" for 65 seconds, "1:01:05" past an hour.
std::string clock_text(double seconds);

}  // namespace quorvex
