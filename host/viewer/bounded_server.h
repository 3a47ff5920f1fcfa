// An HTTP server whose every request is bounded: its headers and body must arrive within a few
// seconds and a mebibyte, and a kept-alive connection waits a few seconds for its next request.
// Connections are accepted into a deep backlog and watched by one gathering thread until their
// request is in; only then does a thread answer it (more are made as requests come, up to a
// limit), so that slow or idle clients, however many, never keep others waiting. A request a
// route refuses can close its connection at once, leaving its body unread. Ranges are left to
// the routes, which find a Range header as X-Quorvex-Range.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace quorvex::viewer {

struct Bounds {
    std::chrono::milliseconds request_time{5000};    // the request line, headers and body
    std::chrono::milliseconds idle_time{5000};       // waiting for a kept-alive connection's next request
    size_t request_bytes = (size_t{1} << 20) + (size_t{64} << 10);  // a body of 1 MiB and its headers
    size_t max_connections = 128;                    // requests answered at once; more wait their turn
};

class BoundedServer : public httplib::Server {
public:
    explicit BoundedServer(const Bounds& bounds);
    ~BoundedServer() override;

    // Binds to `address`:`port` (0: a free port) without sharing the port with another server.
    // The port, or -1 with `why` set ("port 8077 is in use").
    int bind(const std::string& address, int port, std::string& why);

    // Called by a route: the connection closes once this response is written.
    static void close_after_response();

    // Stops listening; connections end as soon as the requests in progress are answered.
    void shut_down();
    bool stopping() const { return stopping_; }

private:
    static constexpr int kBacklog = 1024;
    struct Stages;

    bool process_and_close_socket(socket_t sock) override;
    // Answers the request whose bytes were gathered, then gives a kept-alive connection back.
    void answer(int fd, std::string request);

    Bounds bounds_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Stages> stages_;
};

}  // namespace quorvex::viewer
