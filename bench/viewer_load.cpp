// Load on quorvex serve: N clients on loopback, each fetching a disc's stream list and a movie's
// thumbnail in turn for a while; requests a second, latency percentiles, and the server's peak
// memory (from /proc). The server is started by the caller.
//   viewer_load PORT TOKEN DISC_ID [CLIENTS=50] [SECONDS=30] [SERVER_PID] [STREAM=1]
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: viewer_load PORT TOKEN DISC_ID [CLIENTS] [SECONDS] [SERVER_PID] [STREAM]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string token = argv[2], disc = argv[3];
    const int clients = argc > 4 ? std::atoi(argv[4]) : 50;
    const int seconds = argc > 5 ? std::atoi(argv[5]) : 30;
    const std::string stream = argc > 7 ? argv[7] : "1";
    const std::string paths[] = {"/api/discs/" + disc + "/streams?token=" + token,
                                 "/api/discs/" + disc + "/streams/" + stream + "/thumb.png?token=" + token};
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<long> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            std::vector<double> mine;
            for (int i = c; Clock::now() < end; ++i) {
                const auto start = Clock::now();
                auto r = client.Get(paths[i % 2]);
                if (!r || r->status != 200) ++failures;
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            std::lock_guard lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (std::thread& t : threads) t.join();
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]; };
    std::printf("%d clients, %d s: %zu requests, %.0f a second, %ld failed; latency median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                clients, seconds, latencies.size(), static_cast<double>(latencies.size()) / seconds, failures.load(), at(0.5),
                at(0.99), at(1.0));
    if (argc > 6) {
        std::ifstream status(std::string("/proc/") + argv[6] + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM", 0) == 0 || line.rfind("VmRSS", 0) == 0) std::printf("server %s\n", line.c_str());
        }
    }
    return failures ? 1 : 0;
}
