#include "request_gatherer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quorvex::viewer {
namespace {

using Clock = std::chrono::steady_clock;

// As many connections as the gathering stage watches at once; more are closed on arrival.
constexpr size_t kMostWatched = 1000;

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The length of the head (its ending empty line included), or 0 while it has not ended.
size_t head_length(std::string_view bytes) {
    if (const size_t end = bytes.find("\r\n\r\n"); end != std::string_view::npos) return end + 4;
    if (const size_t end = bytes.find("\n\n"); end != std::string_view::npos) return end + 2;
    return 0;
}

// Calls `each(name, line)` for every header line of a head, the request line left out.
template <typename Each>
void for_each_header(std::string_view head, Each each) {
    size_t at = head.find('\n');
    while (at != std::string_view::npos && at + 1 < head.size()) {
        const size_t from = at + 1;
        at = head.find('\n', from);
        const std::string_view line = head.substr(from, (at == std::string_view::npos ? head.size() : at) - from);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) each(trimmed(line.substr(0, colon)), line, from);
    }
}

}  // namespace

std::string header_value(std::string_view head, std::string_view name) {
    std::string value;
    bool found = false;
    for_each_header(head, [&](std::string_view n, std::string_view line, size_t) {
        if (found || !same_name(n, name)) return;
        value = std::string(trimmed(line.substr(line.find(':') + 1)));
        found = true;
    });
    return value;
}

bool whole_request(std::string_view bytes) {
    const size_t head = head_length(bytes);
    if (head == 0) return bytes.size() >= kMostHead;
    const std::string_view h = bytes.substr(0, head);
    if (!header_value(h, "Expect").empty() || !header_value(h, "Transfer-Encoding").empty()) return true;
    const std::string length = header_value(h, "Content-Length");
    if (length.empty() || length.size() > 9 || length.find_first_not_of("0123456789") != std::string::npos) return true;
    const size_t body = std::stoul(length);
    return body > kMostGatheredBody || bytes.size() >= head + body;
}

void rename_range(std::string& bytes) {
    const size_t head = head_length(bytes);
    if (head == 0) return;
    std::vector<size_t> starts;
    for_each_header(std::string_view(bytes).substr(0, head), [&](std::string_view name, std::string_view, size_t from) {
        if (same_name(name, "Range")) starts.push_back(from);
    });
    for (auto at = starts.rbegin(); at != starts.rend(); ++at) bytes.insert(*at, "X-Quorvex-");
}

RequestGatherer::RequestGatherer(Deadlines deadlines, Ready ready) : deadlines_(deadlines), ready_(std::move(ready)) {
    if (::pipe(wake_fds_) == 0) {
        for (int fd : wake_fds_) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    thread_ = std::thread([this] { run(); });
}

RequestGatherer::~RequestGatherer() {
    stop();
    for (int fd : wake_fds_) {
        if (fd >= 0) ::close(fd);
    }
}

void RequestGatherer::add(int fd, std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_ && watching_.load() + added_.size() < kMostWatched) {
            added_.push_back({fd, std::move(bytes), Clock::now() + deadlines_.idle});
            wake();
            return;
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void RequestGatherer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
}

void RequestGatherer::wake() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake_fds_[1], &byte, 1);  // full: a wake is pending anyway
}

// Connections added since the last round; one whose kept bytes already hold a request goes on.
void RequestGatherer::take_added(std::vector<Watched>& watched) {
    std::vector<Watched> added;
    {
        std::lock_guard lock(mutex_);
        added.swap(added_);
    }
    for (Watched& w : added) {
        if (!w.bytes.empty() && whole_request(w.bytes)) {
            rename_range(w.bytes);
            ready_(w.fd, std::move(w.bytes));
        } else {
            if (!w.bytes.empty()) w.deadline = Clock::now() + deadlines_.request;
            watched.push_back(std::move(w));
        }
    }
}

// Reads what the connection has sent: false when it is closed or its request is whole (handed on).
bool RequestGatherer::read_from(Watched& w) {
    char buffer[16 << 10];
    const size_t room = kMostHead + kMostGatheredBody - w.bytes.size();
    const ssize_t n = ::recv(w.fd, buffer, std::min(sizeof buffer, room), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (n <= 0) {
        ::close(w.fd);
        return false;
    }
    if (w.bytes.empty()) w.deadline = Clock::now() + deadlines_.request;  // its request has begun
    w.bytes.append(buffer, static_cast<size_t>(n));
    if (!whole_request(w.bytes)) return true;
    rename_range(w.bytes);
    ready_(w.fd, std::move(w.bytes));
    return false;
}

void RequestGatherer::run() {
    std::vector<Watched> watched;
    std::vector<pollfd> polled;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        take_added(watched);
        watching_ = watched.size();
        auto next = Clock::now() + std::chrono::seconds(1);
        polled.assign(1, pollfd{wake_fds_[0], POLLIN, 0});
        for (const Watched& w : watched) {
            polled.push_back({w.fd, POLLIN, 0});
            next = std::min(next, w.deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        if (::poll(polled.data(), polled.size(), static_cast<int>(std::clamp<long long>(wait + 1, 0, 1000))) < 0 && errno != EINTR) break;
        if (polled[0].revents) {
            char drain[256];
            while (::read(wake_fds_[0], drain, sizeof drain) > 0) {
            }
        }
        const auto now = Clock::now();
        size_t kept = 0;
        for (size_t i = 0; i < watched.size(); ++i) {
            Watched& w = watched[i];
            bool keep = polled[i + 1].revents == 0 || read_from(w);
            if (keep && now >= w.deadline) {
                ::shutdown(w.fd, SHUT_RDWR);  // too slow: its time is up
                ::close(w.fd);
                keep = false;
            }
            if (keep && kept++ != i) watched[kept - 1] = std::move(w);
        }
        watched.resize(kept);
    }
    std::lock_guard lock(mutex_);
    for (std::vector<Watched>* list : {&watched, &added_}) {
        for (const Watched& w : *list) {
            ::shutdown(w.fd, SHUT_RDWR);
            ::close(w.fd);
        }
        list->clear();
    }
    watching_ = 0;
}

}  // namespace quorvex::viewer
