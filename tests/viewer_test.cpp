// quorvex serve over HTTP, as a script and as a hostile page would use it: the API answers its own
// address with its token only, refuses what it must with one line, serves ranges a player asks
// for, rips what quorvex rip writes, and survives every bad request and a disc that goes away.
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/run_program.h"
#include "support/test_disc.h"
#include "support/waiting.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

std::string sample(const std::string& name) { return build_path("samples/" + name); }

void shelve(const std::string& disc, const std::string& folder) {
    fs::create_directories(folder);
    fs::copy_file(sample(disc + ".bin"), folder + "/" + disc + ".bin");
    write_text(folder + "/" + disc + ".cue", "FILE \"" + disc + ".bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The port a server names in its log once it listens (0 if it never does).
int announced_port(const std::string& log, const std::string& after) {
    const std::string before = "http://127.0.0.1:";
    int port = 0;
    wait_until([&] {
        const std::string text = slurp(log);
        const size_t at = text.find(before);
        if (at != std::string::npos && text.find(after, at) != std::string::npos) port = std::atoi(text.c_str() + at + before.size());
        return port > 0;
    });
    return port;
}

// A server on a free port, stopped with SIGTERM at the end; its previews under `out`.cache.
class Server {
public:
    Server(const std::string& shelf, const std::string& out, const std::string& more = "") : log_(out + ".log") {
        fs::create_directories(out + ".cache");
        program_ = start_program("env TMPDIR=" + out + ".cache " + quorvex_command() + " serve " + shelf +
                                     " --port 0 --token secret --out " + out + " " + more,
                                 log_);
        port = announced_port(log_, "/?token=secret");
    }
    ~Server() {
        signal_program(program_, SIGTERM);
        wait_program(program_);
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(120, 0);
        return c;
    }
    // The server's resident memory, in KiB.
    long rss_kib() const {
        std::ifstream status("/proc/" + std::to_string(program_.pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        }
        return -1;
    }
    std::string log() const { return slurp(log_); }
    int port = 0;

private:
    std::string log_;
    Started program_;
};

// A client speaking raw HTTP over its own socket, as a careless or hostile one would.
class RawClient {
public:
    explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()); }
    // What arrives within `ms`, until the server closes the connection.
    std::string receive(int ms) {
        return receive_until(ms, [](const std::string&) { return false; });
    }
    bool closed() const { return closed_; }
    // What arrives until the end of an answer's head (or `ms` pass, or the server closes).
    std::string receive_head(int ms) {
        return receive_until(ms, [](const std::string& got) { return got.find("\r\n\r\n") != std::string::npos; });
    }
    // Whether the server has closed the connection or answered on it, asked without waiting.
    bool cut_now() {
        char byte;
        const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    template <class Enough>
    std::string receive_until(int ms, Enough enough) {
        std::string got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!enough(got) && std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    int fd_;
    bool connected_ = false, closed_ = false;
};

bool cache_holds_a_file(const std::string& cache) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(cache, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) return true;
    }
    return false;
}

std::string id_of(httplib::Client& c, const std::string& name) {
    auto r = c.Get("/api/discs");
    for (const Json& d : Json::parse(r->body)) {
        if (d["name"] == name) return d["id"];
    }
    return {};
}

}  // namespace

TEST(Viewer, AnswersItsOwnAddressWithItsTokenOnly) {
    TempDir dir("viewer-safety");
    shelve("walcite", dir.file("shelf"));
    shelve("ostrand", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << slurp(dir.file("out.log"));
    auto c = server.client();
    const std::string id = id_of(c, "walcite");
    ASSERT_FALSE(id.empty());
    const std::string streams = "/api/discs/" + id + "/streams";

    // The bare list needs no token; everything that costs work does.
    EXPECT_EQ(c.Get("/api/discs")->status, 200);
    for (const std::string& path : {streams, streams + "/1/thumb.png", streams + "/1/media", std::string("/api/jobs")}) {
        EXPECT_EQ(c.Get(path)->status, 401) << path;
        EXPECT_EQ(c.Get(path + "?token=wrong")->status, 401) << path;
    }
    EXPECT_EQ(c.Post("/api/discs/" + id + "/scan", "", "text/plain")->status, 401);
    const httplib::Headers with_token{{"X-Quorvex-Token", "secret"}};
    EXPECT_EQ(c.Get(streams, with_token)->status, 200);

    // Another name for this address (DNS rebinding) is refused whatever it carries.
    for (const std::string& host : {"evil.example:" + std::to_string(server.port), std::string("127.0.0.1:1")}) {
        auto r = c.Get("/api/discs?token=secret", {{"Host", host}});
        EXPECT_EQ(r->status, 403) << host;
    }
    // A request must name one server: none, or two (the right one first), is a bad request.
    const std::string own = "Host: 127.0.0.1:" + std::to_string(server.port) + "\r\n";
    for (const std::string& hosts : {std::string(), own + "Host: evil.example\r\n", "Host: evil.example\r\n" + own}) {
        RawClient raw(server.port);
        raw.send("GET /api/discs?token=secret HTTP/1.1\r\n" + hosts + "\r\n");
        EXPECT_EQ(raw.receive(3000).substr(0, 12), "HTTP/1.1 400") << hosts;
    }

    // Bad requests: 4xx with one line, and the server goes on.
    const auto status = [&](const std::string& path) { return c.Get(path + (path.find('?') == std::string::npos ? "?" : "&") + "token=secret")->status; };
    EXPECT_EQ(status("/api/discs/../../etc/passwd"), 404);
    EXPECT_EQ(status("/api/discs/%2e%2e%2f%2e%2e%2fetc/streams"), 404);
    EXPECT_EQ(status("/api/discs/0123456789ab/streams"), 404);
    EXPECT_EQ(status(streams + "/99/media"), 404);
    EXPECT_EQ(status(streams + "/99999999999/media"), 404);
    EXPECT_EQ(status("/api/jobs/rip-77"), 404);
    EXPECT_EQ(status("/api/discs/" + id + "/scan"), 405);  // a scan is started by POST only
    EXPECT_EQ(c.Post("/api/jobs?token=secret", "{", "application/json")->status, 400);
    EXPECT_EQ(c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": [-1]})", "application/json")->status, 400);
    EXPECT_EQ(c.Post("/api/jobs?token=secret", R"({"disc": "nothing", "streams": [0]})", "application/json")->status, 404);
    EXPECT_EQ(c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": [1], "format": "avi"})", "application/json")->status, 400);
    auto malformed = c.Get("/api/discs/nosuchdisc/streams?token=secret");
    EXPECT_EQ(malformed->status, 404);
    EXPECT_NE(malformed->body.find("There is no disc with the id \"nosuchdisc\" on this shelf"), std::string::npos) << malformed->body;
    auto bad = c.Get("/nothing/here?token=secret");
    EXPECT_EQ(bad->status, 404);
    EXPECT_EQ(std::count(bad->body.begin(), bad->body.end(), '\n'), 1);

    // A player's range request.
    auto whole = c.Get(streams + "/1/media", with_token);
    ASSERT_EQ(whole->status, 200) << whole->body;
    EXPECT_EQ(whole->get_header_value("Content-Type"), "video/mp4");
    auto part = c.Get(streams + "/1/media", {{"X-Quorvex-Token", "secret"}, {"Range", "bytes=100-199"}});
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, whole->body.substr(100, 100));
    auto thumb = c.Get(streams + "/1/thumb.png", with_token);
    EXPECT_EQ(thumb->status, 200);
    EXPECT_EQ(thumb->body.substr(1, 3), "PNG");

    // A disc removed while served: its requests fail, the rest go on.
    fs::remove(dir.file("shelf/ostrand.bin"));
    fs::remove(dir.file("shelf/ostrand.cue"));
    EXPECT_EQ(status("/api/discs/" + id_of(c, "ostrand") + "/streams"), 410);
    EXPECT_EQ(c.Get("/api/discs")->status, 200);
}

// A disc whose scan fails says so on the shelf, and why, until its image changes.
TEST(Viewer, TheShelfRemembersAScanThatFailed) {
    TempDir dir("viewer-failed-scan");
    fs::create_directories(dir.file("shelf"));
    write_text(dir.file("shelf/bad.cue"), "FILE \"bad.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
    write_text(dir.file("shelf/bad.bin"), std::string(3000, 'x'));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    auto c = server.client();
    const std::string id = id_of(c, "bad");
    auto started = c.Post("/api/discs/" + id + "/scan?token=secret", "", "text/plain");
    ASSERT_EQ(started->status, 202) << started->body;
    const std::string job = Json::parse(started->body)["id"];
    wait_until([&] { return Json::parse(c.Get("/api/jobs/" + job + "?token=secret")->body)["state"] == "failed"; });
    const Json discs = Json::parse(c.Get("/api/discs")->body);
    ASSERT_EQ(discs.size(), 1u);
    EXPECT_EQ(discs[0]["scanned"], false);
    EXPECT_NE(discs[0].value("scan_failed", "").find("is not a disc image"), std::string::npos) << discs.dump();
}

TEST(Viewer, RipsThroughTheApiWhatQuorvexRipWrites) {
    TempDir dir("viewer-rip");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0);
    auto c = server.client();
    const std::string id = id_of(c, "walcite");
    auto started = c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": [1, 4]})", "application/json");
    ASSERT_EQ(started->status, 202) << started->body;
    const std::string job = Json::parse(started->body)["id"];
    Json state;
    wait_until([&] {
        state = Json::parse(c.Get("/api/jobs/" + job + "?token=secret")->body);
        return state["state"] != "queued" && state["state"] != "running";
    });
    ASSERT_EQ(state["state"], "done") << state.dump();
    EXPECT_EQ(state["done"], 2);
    // The stream it had in hand last, counted in frames as the command line counts them.
    ASSERT_TRUE(state.contains("in_hand")) << state.dump();
    EXPECT_EQ(state["in_hand"]["unit"], "frames");
    EXPECT_EQ(state["in_hand"]["done"], state["in_hand"]["total"]);

    const RunResult rip = run_program(quorvex_command() + " rip " + dir.file("shelf") + " -o " + dir.file("cli"));
    ASSERT_EQ(rip.status, 0) << rip.output;
    for (const Json& file : state["files"]) {
        const std::string name = file;
        EXPECT_EQ(slurp(dir.file("out/" + name)), slurp(dir.file("cli/" + name))) << name;
    }

    // In MP4, as rip --format mp4 writes it: the job says so, and names its files so.
    auto mp4 = c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": [1], "format": "mp4"})", "application/json");
    ASSERT_EQ(mp4->status, 202) << mp4->body;
    const Json asked = Json::parse(mp4->body);
    EXPECT_EQ(asked["format"], "mp4");
    EXPECT_EQ(asked["files"][0], "walcite/OPENING.STR-ch0.mp4");
}

// A ripped file is served from the output folder only: a disc folder there that is a link
// (planted in a shared folder) serves nothing.
TEST(Viewer, DownloadsNeverLeaveTheOutputFolderAndCarryTheDiscsName) {
    TempDir dir("viewer-links");
    shelve("walcite", dir.file("shelf"));
    ASSERT_EQ(run_program(quorvex_command() + " rip " + dir.file("shelf") + " -o " + dir.file("elsewhere")).status, 0);
    fs::create_directories(dir.file("out"));
    fs::create_directory_symlink(dir.file("elsewhere/walcite"), dir.file("out/walcite"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    auto c = server.client();
    const std::string file = "/api/discs/" + id_of(c, "walcite") + "/files/1?token=secret";
    EXPECT_EQ(c.Get(file)->status, 404);
    // The same rip moved in: served.
    fs::remove(dir.file("out/walcite"));
    fs::rename(dir.file("elsewhere/walcite"), dir.file("out/walcite"));
    auto served = c.Get(file);
    EXPECT_EQ(served->status, 200);
    EXPECT_GT(served->body.size(), 1000u);
    // Saved as DISC - STREAM.EXT, so that discs' streams of one name never meet in a downloads
    // folder: the name as sent on the wire, plain and encoded.
    RawClient raw(server.port);
    ASSERT_TRUE(raw.send("GET " + file + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port) + "\r\nConnection: close\r\n\r\n"));
    const std::string head = raw.receive_head(10000);
    EXPECT_NE(head.find("Content-Disposition: attachment; filename=\"walcite - OPENING.STR-ch0.mkv\"; "
                        "filename*=UTF-8''walcite%20-%20OPENING.STR-ch0.mkv\r\n"), std::string::npos) << head;
}

// What a request may cost is bounded before the work: a huge body is refused by its declared
// length, with or without the token, and its connection closed without reading it; the server's
// memory stays where it was.
TEST(Viewer, HugeBodiesAreRefusedUnread) {
    std::signal(SIGPIPE, SIG_IGN);  // the server closes while the client still sends
    TempDir dir("viewer-bodies");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    const long before = server.rss_kib();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port) + "\r\n";
    const std::string chunk(64 << 10, 'x');
    for (const auto& [path, status] : {std::pair{std::string("/api/jobs"), std::string("401")},
                                       {std::string("/api/jobs?token=secret"), std::string("413")}}) {
        RawClient c(server.port);
        ASSERT_TRUE(c.connected());
        c.send("POST " + path + " HTTP/1.1\r\n" + host + "Content-Type: application/json\r\nContent-Length: 629145600\r\n\r\n");
        for (int i = 0; i < 16 && c.send(chunk); ++i) {
        }
        const std::string answer = c.receive(3000);
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + status) << answer;
        EXPECT_TRUE(c.closed()) << path;
    }
    // Over 1 MiB: refused; under it, read and judged.
    RawClient over(server.port);
    over.send("POST /api/jobs?token=secret HTTP/1.1\r\n" + host + "Content-Length: 1048577\r\n\r\n");
    EXPECT_EQ(over.receive(3000).substr(0, 12), "HTTP/1.1 413");
    auto http = server.client();
    EXPECT_EQ(http.Post("/api/jobs?token=secret", std::string(1 << 19, ' '), "application/json")->status, 400);
    EXPECT_LT(server.rss_kib() - before, 16 * 1024) << before;
}

// Slow clients, each sending a header line every two seconds, neither keep others waiting nor
// hold their connections past the few seconds a request may take. Told by the order of events:
// browsing is answered while the slow clients are all still connected, and each slow client is
// then cut although it keeps sending.
TEST(Viewer, SlowClientsKeepNobodyWaiting) {
    TempDir dir("viewer-slow");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    ASSERT_EQ(server.client().Get("/api/discs")->status, 200);  // the shelf scanned first
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 20; ++i) {
        slow.push_back(std::make_unique<RawClient>(server.port));
        slow.back()->send("GET /api/discs HTTP/1.1\r\n");
    }
    auto r = server.client().Get("/api/discs");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    for (auto& c : slow) EXPECT_FALSE(c->cut_now());  // answered without waiting for any of them
    const auto all_cut = [&] {
        return std::all_of(slow.begin(), slow.end(), [](auto& c) { return c->cut_now(); });
    };
    for (int line = 0; line < 60 && !all_cut(); ++line) {
        for (auto& c : slow) c->send("X-Slow: " + std::to_string(line) + "\r\n");
        wait_until(all_cut, std::chrono::seconds(2));  // a slow client's pace
    }
    EXPECT_TRUE(all_cut());
}

// A crowd: 200 connections that trickle their headers a byte between browsing requests, then 300
// requests arriving at once on a fresh server. Browsing goes on meanwhile, and every request of
// the burst is answered, none dropped by a full backlog.
TEST(Viewer, ACrowdKeepsNobodyWaiting) {
    TempDir dir("viewer-crowd");
    shelve("walcite", dir.file("shelf"));
    {
        Server server(dir.file("shelf"), dir.file("out"));
        ASSERT_GT(server.port, 0) << server.log();
        ASSERT_EQ(server.client().Get("/api/discs")->status, 200);
        std::vector<std::unique_ptr<RawClient>> slow;
        for (int i = 0; i < 200; ++i) {
            slow.push_back(std::make_unique<RawClient>(server.port));
            ASSERT_TRUE(slow.back()->connected()) << i;
        }
        const std::string head = "GET /api/discs HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port) + "\r\n";
        for (size_t byte = 0; byte < 8; ++byte) {
            for (auto& c : slow) c->send(head.substr(byte, 1));
            auto r = server.client().Get("/api/discs");
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 200);
            // Answered while the whole crowd still holds its connections.
            EXPECT_EQ(std::count_if(slow.begin(), slow.end(), [](auto& c) { return c->cut_now(); }), 0) << byte;
        }
    }
    Server fresh(dir.file("shelf"), dir.file("out2"));
    ASSERT_GT(fresh.port, 0) << fresh.log();
    std::vector<std::unique_ptr<RawClient>> burst;
    for (int i = 0; i < 300; ++i) burst.push_back(std::make_unique<RawClient>(fresh.port));
    const std::string request = "GET /api/discs HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(fresh.port) + "\r\nConnection: close\r\n\r\n";
    for (auto& c : burst) c->send(request);
    size_t answered = 0;
    for (auto& c : burst) answered += c->receive(20000).rfind("HTTP/1.1 200", 0) == 0;
    EXPECT_EQ(answered, burst.size());
}

// Ranges are answered by the rules: an end past the file is clamped, a range with no byte in the
// file is 416 with the file's size, several ranges get the whole file.
TEST(Viewer, RangesPastTheEndAreClampedOrRefused) {
    TempDir dir("viewer-ranges");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    auto c = server.client();
    const std::string thumb = "/api/discs/" + id_of(c, "walcite") + "/streams/1/thumb.png?token=secret";
    auto whole = c.Get(thumb);
    ASSERT_EQ(whole->status, 200);
    const size_t n = whole->body.size();
    const std::string size = std::to_string(n);
    EXPECT_EQ(whole->get_header_value("Referrer-Policy"), "no-referrer");
    const auto get = [&](const std::string& range) { return c.Get(thumb, {{"Range", "bytes=" + range}}); };
    for (const std::string& range : {size + "-", std::string("-0"), std::to_string(n + 5) + "-" + std::to_string(n + 10)}) {
        auto r = get(range);
        EXPECT_EQ(r->status, 416) << range;
        EXPECT_EQ(r->get_header_value("Content-Range"), "bytes */" + size) << range;
    }
    auto clamped = get("0-99999999999");
    EXPECT_EQ(clamped->status, 206);
    EXPECT_EQ(clamped->get_header_value("Content-Range"), "bytes 0-" + std::to_string(n - 1) + "/" + size);
    EXPECT_EQ(clamped->body, whole->body);
    auto tail = get("-10");
    EXPECT_EQ(tail->status, 206);
    EXPECT_EQ(tail->body, whole->body.substr(n - 10));
    auto several = get("0-1,5-6");
    EXPECT_EQ(several->status, 200);
    EXPECT_EQ(several->body, whole->body);
    // A unit the server does not know is ignored, in any spelling of the header's name.
    for (const char* name : {"Range", "range", "RANGE"}) {
        auto other = c.Get(thumb, {{name, "items=0-9"}});
        EXPECT_EQ(other->status, 200) << name;
        EXPECT_EQ(other->body, whole->body);
    }
    EXPECT_EQ(c.Get(thumb, {{"range", "bytes=0-9"}})->status, 206);
    // A POST from another site is refused, token or not.
    auto cross = c.Post("/api/jobs?token=secret", {{"Origin", "http://evil.example"}}, "{}", "application/json");
    EXPECT_EQ(cross->status, 403);
}

// An image replaced under the running server is another disc: its size, streams and previews
// are those of what is there now, a stream number it does not hold makes no job, and a disc that
// reaches outside the served folders is never served.
TEST(Viewer, AChangedImageIsScannedAgain) {
    TempDir dir("viewer-changed");
    const std::string shelf = dir.file("shelf");
    shelve("walcite", shelf);
    fs::copy_file(sample("selvane.bin"), dir.file("outside.bin"));
    write_text(shelf + "/escape.cue", "FILE \"../outside.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
    Server server(shelf, dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    EXPECT_NE(server.log().find("outside the folders served"), std::string::npos) << server.log();
    auto c = server.client();
    ASSERT_EQ(Json::parse(c.Get("/api/discs")->body).size(), 1u);
    const std::string id = id_of(c, "walcite");
    const std::string streams = "/api/discs/" + id + "/streams?token=secret";
    ASSERT_EQ(Json::parse(c.Get(streams)->body)["streams"].size(), 5u);

    fs::copy_file(sample("selvane.bin"), shelf + "/walcite.bin", fs::copy_options::overwrite_existing);
    const Json discs = Json::parse(c.Get("/api/discs")->body);
    EXPECT_EQ(discs[0]["size"], fs::file_size(shelf + "/walcite.bin") + fs::file_size(shelf + "/walcite.cue"));
    EXPECT_EQ(discs[0]["scanned"], false);
    const Json now = Json::parse(c.Get(streams)->body);
    ASSERT_EQ(now["streams"].size(), 2u);
    EXPECT_EQ(now["streams"][0]["plugin"], "selvane");
    auto rip = c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": [1, 4]})", "application/json");
    EXPECT_EQ(rip->status, 404);
    EXPECT_EQ(Json::parse(c.Get("/api/jobs?token=secret")->body).size(), 0u);  // no job for a refused request
    EXPECT_FALSE(fs::exists(dir.file("out")));

    fs::remove(shelf + "/walcite.bin");
    EXPECT_EQ(Json::parse(c.Get("/api/discs")->body)[0]["present"], false);
    EXPECT_EQ(c.Get(streams)->status, 410);
}

// Rips asked for while one of the same disc runs wait for it, then skip what it wrote; a stream
// named twice is ripped once.
TEST(Viewer, RipsOfOneDiscAreQueued) {
    TempDir dir("viewer-queue");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0) << server.log();
    auto c = server.client();
    const std::string id = id_of(c, "walcite");
    const auto start = [&](const std::string& streams) {
        auto r = c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": )" + streams + "}", "application/json");
        EXPECT_EQ(r->status, 202) << r->body;
        return Json::parse(r->body);
    };
    const Json first = start("[1, 2, 3, 4, 5]");
    const Json second = start("[2, 2, 2, 5]");
    EXPECT_EQ(second["state"], "queued");
    EXPECT_EQ(second["total"], 2);
    Json a, b;
    wait_until([&] {
        // The second first: the first still running after it says the two ran at once (asked
        // the other way round, the first may end between the two answers).
        b = Json::parse(c.Get("/api/jobs/" + second["id"].get<std::string>() + "?token=secret")->body);
        a = Json::parse(c.Get("/api/jobs/" + first["id"].get<std::string>() + "?token=secret")->body);
        if (b["state"] != "queued" && b["state"] != "running") return true;
        if (a["state"] == "running") {
            EXPECT_EQ(b["state"], "queued");
        }
        return false;
    });
    EXPECT_EQ(a["state"], "done") << a.dump();
    ASSERT_EQ(b["state"], "done") << b.dump();
    ASSERT_EQ(b["streams"].size(), 2u);
    for (const Json& s : b["streams"]) EXPECT_EQ(s["state"], "skipped") << s.dump();
}

// A cache far smaller than the previews asked for at once: every request is answered with the
// preview (or asked to come back), none fails for load, and once nobody reads, the cache keeps to
// its limit. The cache is its owner's alone.
TEST(Viewer, ASmallCacheServesEveryPreview) {
    TempDir dir("viewer-cache");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"), "--cache-size 1");
    ASSERT_GT(server.port, 0) << server.log();
    auto c = server.client();
    const std::string base = "/api/discs/" + id_of(c, "walcite") + "/streams/";
    std::vector<std::future<int>> answers;
    for (int i = 0; i < 60; ++i) {
        const std::string path = base + std::to_string(i % 5 + 1) + (i % 3 == 0 ? "/media" : "/frame" + std::to_string(i % 6) + ".png");
        answers.push_back(std::async(std::launch::async, [&, path] {
            httplib::Client one("127.0.0.1", server.port);
            one.set_read_timeout(120, 0);
            auto r = one.Get(path + "?token=secret");
            if (!r) return -1;
            if (r->status == 200 && r->body.empty()) return -2;
            return r->status == 503 && !r->get_header_value("Retry-After").empty() ? 200 : r->status;
        }));
    }
    for (auto& a : answers) EXPECT_EQ(a.get(), 200);
    uint64_t kept = 0;
    fs::path folder;
    for (const auto& e : fs::directory_iterator(dir.file("out.cache"))) folder = e.path();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (e.is_regular_file()) kept += e.file_size();
    }
    EXPECT_LE(kept, 1u << 20);
}

// Ctrl-C ends the server at once, with a browser's connection kept open and a preview
// half made, and what it was making goes with it.
TEST(Viewer, StopsAtOnceLeavingNothing) {
    TempDir dir("viewer-stop");
    shelve("walcite", dir.file("shelf"));
    fs::create_directories(dir.file("out.cache"));
    const Started server = start_program("env TMPDIR=" + dir.file("out.cache") + " " + quorvex_command() + " serve " +
                                             dir.file("shelf") + " --port 0 --token secret -o " + dir.file("out"),
                                         dir.file("out.log"));
    const int port = announced_port(dir.file("out.log"), "/?token=secret");
    ASSERT_GT(port, 0);
    httplib::Client c("127.0.0.1", port);
    const std::string id = id_of(c, "walcite");
    // A browser's kept-alive connection, idle.
    RawClient browser(port);
    browser.send("GET /api/discs HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(browser.receive_head(60000).rfind("HTTP/1.1 200", 0), 0u);
    // A movie's preview being made: its first bytes are in the cache.
    RawClient player(port);
    player.send("GET /api/discs/" + id + "/streams/1/media?token=secret HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    ASSERT_TRUE(wait_until([&] { return cache_holds_a_file(dir.file("out.cache")); }));
    const auto stopped = std::chrono::steady_clock::now();
    signal_program(server, SIGINT);
    const int status = wait_program(server);
    // At once: neither the browser's idle connection nor the preview is waited for (either would
    // take many seconds); the bound is generous for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(4));
    EXPECT_EQ(status, 130);
    EXPECT_TRUE(fs::is_empty(dir.file("out.cache")));  // its previews' folder, half-made preview and all
}
