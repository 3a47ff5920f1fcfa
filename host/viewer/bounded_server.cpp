#include "bounded_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvex::viewer {
namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_close_after_response = false;

// A thread per connection, made when none is free, up to a limit; beyond it connections wait.
class ConnectionThreads : public httplib::TaskQueue {
public:
    explicit ConnectionThreads(size_t limit) : limit_(limit) {}
    ~ConnectionThreads() override = default;

    void enqueue(std::function<void()> fn) override {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(fn));
        if (jobs_.size() > idle_ && threads_.size() < limit_) {
            threads_.emplace_back([this] { run(); });
            ++idle_;
        }
        wake_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            --idle_;
            lock.unlock();
            job();
            lock.lock();
            ++idle_;
        }
    }

    const size_t limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

// A connection's socket as httplib reads and writes it, with each request's deadline and byte
// allowance.
class Connection : public httplib::Stream {
public:
    Connection(int fd, const Bounds& bounds) : fd_(fd), bounds_(bounds) {}

    void begin_request() {
        deadline_ = Clock::now() + bounds_.request_time;
        bytes_ = 0;
    }
    bool overrun() const { return overrun_; }

    // Waits up to `limit` for the next request, ending early when the server stops.
    bool wait_for_request(std::chrono::milliseconds limit, const std::atomic<bool>& stopping) const {
        const auto until = Clock::now() + limit;
        while (!stopping && Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready > 0) return (p.revents & POLLIN) != 0;
            if (ready < 0 && errno != EINTR) return false;
        }
        return false;
    }

    bool is_readable() const override { return poll_for(POLLIN, left()) > 0; }
    bool is_writable() const override { return poll_for(POLLOUT, 5000) > 0; }

    ssize_t read(char* ptr, size_t size) override {
        const int wait = left();
        if (wait <= 0 || poll_for(POLLIN, wait) <= 0) {
            overrun_ = true;  // too slow: the request's time is up
            return -1;
        }
        if (bytes_ >= bounds_.request_bytes) {
            overrun_ = true;  // too much: more than any request of this server may send
            return -1;
        }
        const ssize_t n = ::recv(fd_, ptr, std::min(size, bounds_.request_bytes - bytes_), 0);
        if (n > 0) bytes_ += static_cast<size_t>(n);
        return n;
    }

    ssize_t write(const char* ptr, size_t size) override { return ::send(fd_, ptr, size, MSG_NOSIGNAL); }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    int left() const {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        return ms > 0 ? static_cast<int>(ms) : 0;
    }
    int poll_for(short events, int ms) const {
        pollfd p{fd_, events, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, ms);
        } while (ready < 0 && errno == EINTR);
        return ready;
    }
    void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage a{};
        socklen_t n = sizeof a;
        char text[INET6_ADDRSTRLEN] = {};
        port = 0;
        if (get(fd_, reinterpret_cast<sockaddr*>(&a), &n) != 0) return;
        if (a.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            port = ntohs(v4->sin_port);
        } else if (a.ss_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            port = ntohs(v6->sin6_port);
        }
        ip = text;
    }

    const int fd_;
    const Bounds& bounds_;
    Clock::time_point deadline_{};
    size_t bytes_ = 0;
    bool overrun_ = false;
};

}  // namespace

BoundedServer::BoundedServer(const Bounds& bounds) : bounds_(bounds) {
    new_task_queue = [limit = bounds.max_connections] { return new ConnectionThreads(limit); };
    // SO_REUSEADDR alone: a port another server listens on stays its own.
    set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    set_payload_max_length(bounds.request_bytes);
    set_keep_alive_max_count(100);
}

int BoundedServer::bind(const std::string& address, int port, std::string& why) {
    const int bound = port == 0 ? bind_to_any_port(address) : bind_to_port(address, port) ? port : -1;
    if (bound > 0) return bound;
    // Why not: the port taken, or an address that is not this machine's.
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    int code = EADDRNOTAVAIL;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) == 0 && found) {
        const int probe = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
        int yes = 1;
        setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        code = probe >= 0 && ::bind(probe, found->ai_addr, found->ai_addrlen) != 0 ? errno : EADDRNOTAVAIL;
        if (probe >= 0) ::close(probe);
        freeaddrinfo(found);
    }
    why = code == EADDRINUSE || code == EACCES ? "port " + std::to_string(port) + " is in use"
                                              : address + ": cannot listen there (" + std::strerror(code) + ")";
    return -1;
}

void BoundedServer::close_after_response() { t_close_after_response = true; }

void BoundedServer::shut_down() {
    stopping_ = true;
    stop();
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
    Connection connection(sock, bounds_);
    while (connection.wait_for_request(bounds_.idle_time, stopping_)) {
        connection.begin_request();
        t_close_after_response = false;
        bool closed = false;
        const bool kept = process_request(connection, stopping_, closed, [](httplib::Request& req) { req.ranges.clear(); });
        if (!kept || closed || t_close_after_response || connection.overrun() || stopping_) break;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
}

}  // namespace quorvex::viewer
