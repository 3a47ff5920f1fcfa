// The reading stage of the viewer's server. One thread watches every connection that has not yet
// sent a whole request, however many there are, and hands a connection to the threads that
// answer requests only once its request is in: a client that trickles its headers, or keeps a
// connection open between requests, holds a file descriptor and a few kilobytes, never a thread
// others need. A connection that does not send its request within the deadline is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvex::viewer {

// The most a request's head may hold, and the largest body gathered with it: a larger body (and
// a chunked one, or one the client waits to be asked for) is handed on with the head, for the
// server to refuse or to read under its own bounds.
inline constexpr size_t kMostHead = 64 << 10;
inline constexpr size_t kMostGatheredBody = 64 << 10;

// Whether `bytes` hold a whole request as this stage sees it: a head (ended by an empty line),
// with its body when that is small and of declared length; or a head too long to end.
bool whole_request(std::string_view bytes);

// The value of the head's first header named `name` (in any case), trimmed; empty when absent.
std::string header_value(std::string_view head, std::string_view name);

// Renames the head's Range headers X-Quorvex-Range: httplib answers a range it cannot parse
// with 416 before any route sees it, where HTTP has a server ignore a unit it does not know. The
// routes read the header under this name and judge it themselves.
void rename_range(std::string& bytes);

class RequestGatherer {
public:
    struct Deadlines {
        std::chrono::milliseconds request;  // from a request's first byte to its last
        std::chrono::milliseconds idle;     // for the first byte of a connection's next request
    };
    // `ready` is called, on the gathering thread, with a connection and what it has sent.
    using Ready = std::function<void(int fd, std::string bytes)>;
    RequestGatherer(Deadlines deadlines, Ready ready);
    ~RequestGatherer();
    RequestGatherer(const RequestGatherer&) = delete;
    RequestGatherer& operator=(const RequestGatherer&) = delete;

    // Watches `fd` until it holds a whole request; `bytes`, what was read of its next request
    // already. Once stopped, or when it watches as many connections as it may, the connection is
    // closed at once.
    void add(int fd, std::string bytes);
    // Closes every connection watched and ends the thread.
    void stop();

private:
    struct Watched {
        int fd;
        std::string bytes;
        std::chrono::steady_clock::time_point deadline;
    };
    void run();
    void take_added(std::vector<Watched>& watched);
    bool read_from(Watched& w);
    void wake();

    const Deadlines deadlines_;
    const Ready ready_;
    int wake_fds_[2] = {-1, -1};
    std::mutex mutex_;
    std::vector<Watched> added_;
    bool stopping_ = false;
    std::atomic<size_t> watching_{0};
    std::thread thread_;
};

}  // namespace quorvex::viewer
