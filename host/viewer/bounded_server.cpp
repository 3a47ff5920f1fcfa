#include "bounded_server.h"

#include "request_gatherer.h"

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

// A connection's socket as httplib reads and writes it: first the bytes the gathering stage read,
// then the socket, with the request's deadline and byte allowance.
class Connection : public httplib::Stream {
public:
    Connection(int fd, const Bounds& bounds, std::string gathered) : fd_(fd), bounds_(bounds), gathered_(std::move(gathered)) {}

    void begin_request() {
        deadline_ = Clock::now() + bounds_.request_time;
        bytes_ = 0;
    }
    bool overrun() const { return overrun_; }

    // What was read of the next request (a client may send it before this one is answered).
    std::string unread() const { return gathered_.substr(taken_); }

    bool is_readable() const override { return taken_ < gathered_.size() || poll_for(POLLIN, left()) > 0; }
    bool is_writable() const override { return poll_for(POLLOUT, 5000) > 0; }

    ssize_t read(char* ptr, size_t size) override {
        if (taken_ < gathered_.size()) {
            const size_t n = std::min(size, gathered_.size() - taken_);
            std::memcpy(ptr, gathered_.data() + taken_, n);
            taken_ += n;
            return static_cast<ssize_t>(n);
        }
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
    std::string gathered_;
    size_t taken_ = 0;
};

}  // namespace

// The two stages behind the accepting thread: gathering requests, and answering them.
struct BoundedServer::Stages {
    Stages(BoundedServer& server, const Bounds& bounds)
        : answering(bounds.max_connections),
          gathering({bounds.request_time, bounds.idle_time},
                    [&server, this](int fd, std::string bytes) { answering.enqueue([&server, fd, b = std::move(bytes)]() mutable {
                                                                    server.answer(fd, std::move(b));
                                                                }); }) {}
    void stop() {
        gathering.stop();
        if (!stopped) answering.shutdown();
        stopped = true;
    }
    ConnectionThreads answering;
    RequestGatherer gathering;
    bool stopped = false;
};

BoundedServer::BoundedServer(const Bounds& bounds) : bounds_(bounds), stages_(std::make_unique<Stages>(*this, bounds)) {
    // Accepting is all the accepting thread's queue does: a connection goes to the gathering stage.
    new_task_queue = [] { return new ConnectionThreads(4); };
    // SO_REUSEADDR alone: a port another server listens on stays its own.
    set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    set_payload_max_length(bounds.request_bytes);
}

BoundedServer::~BoundedServer() { stages_->stop(); }

int BoundedServer::bind(const std::string& address, int port, std::string& why) {
    const int bound = port == 0 ? bind_to_any_port(address) : bind_to_port(address, port) ? port : -1;
    if (bound > 0) {
        // httplib listens with a backlog of 5, which a burst of connections (a page's thumbnails
        // in several tabs) overflows: room for a crowd.
        ::listen(svr_sock_, kBacklog);
        return bound;
    }
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
    stages_->stop();
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
    stages_->gathering.add(sock, {});
    return true;
}

void BoundedServer::answer(int fd, std::string request) {
    Connection connection(fd, bounds_, std::move(request));
    connection.begin_request();
    t_close_after_response = false;
    bool closed = false;
    const bool kept = process_request(connection, stopping_, closed, [](httplib::Request& req) { req.ranges.clear(); });
    if (!kept || closed || t_close_after_response || connection.overrun() || stopping_) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return;
    }
    stages_->gathering.add(fd, connection.unread());  // kept alive: back to wait for its next request
}

}  // namespace quorvex::viewer
