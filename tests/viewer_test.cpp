// quorvex serve over HTTP, as a script and as a hostile page would use it: the API answers its own
// address with its token only, refuses what it must with one line, serves ranges a player asks
// for, rips what quorvex rip writes, and survives every bad request and a disc that goes away.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/run_program.h"
#include "support/test_disc.h"

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

// A server on a free port, stopped with SIGTERM at the end.
class Server {
public:
    Server(const std::string& shelf, const std::string& out) : log_(out + ".log") {
        program_ = start_program(quorvex_command() + " serve " + shelf + " --port 0 --token secret --out " + out, log_);
        const std::string before = "http://127.0.0.1:";
        for (int i = 0; i < 200 && !port; ++i) {
            const std::string text = slurp(log_);
            const size_t at = text.find(before);
            if (at != std::string::npos && text.find("/?token=secret", at) != std::string::npos) {
                port = std::atoi(text.c_str() + at + before.size());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
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
    int port = 0;

private:
    std::string log_;
    Started program_;
};

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
    for (const std::string& path : {streams, streams + "/0/thumb.png", streams + "/0/media", std::string("/api/jobs")}) {
        EXPECT_EQ(c.Get(path)->status, 401) << path;
        EXPECT_EQ(c.Get(path + "?token=wrong")->status, 401) << path;
    }
    EXPECT_EQ(c.Post("/api/discs/" + id + "/scan", "", "text/plain")->status, 401);
    const httplib::Headers with_token{{"X-Quorvex-Token", "secret"}};
    EXPECT_EQ(c.Get(streams, with_token)->status, 200);

    // Another name for this address (DNS rebinding) is refused whatever it carries.
    for (const std::string& host : {"evil.example:" + std::to_string(server.port), std::string("127.0.0.1:1"), std::string("")}) {
        auto r = c.Get("/api/discs?token=secret", {{"Host", host}});
        EXPECT_EQ(r->status, 403) << host;
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
    auto bad = c.Get("/nothing/here?token=secret");
    EXPECT_EQ(bad->status, 404);
    EXPECT_EQ(std::count(bad->body.begin(), bad->body.end(), '\n'), 1);

    // A player's range request.
    auto whole = c.Get(streams + "/0/media", with_token);
    ASSERT_EQ(whole->status, 200) << whole->body;
    EXPECT_EQ(whole->get_header_value("Content-Type"), "video/mp4");
    auto part = c.Get(streams + "/0/media", {{"X-Quorvex-Token", "secret"}, {"Range", "bytes=100-199"}});
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, whole->body.substr(100, 100));
    auto thumb = c.Get(streams + "/0/thumb.png", with_token);
    EXPECT_EQ(thumb->status, 200);
    EXPECT_EQ(thumb->body.substr(1, 3), "PNG");

    // A disc removed while served: its requests fail, the rest go on.
    fs::remove(dir.file("shelf/ostrand.bin"));
    fs::remove(dir.file("shelf/ostrand.cue"));
    EXPECT_EQ(status("/api/discs/" + id_of(c, "ostrand") + "/streams"), 410);
    EXPECT_EQ(c.Get("/api/discs")->status, 200);
}

TEST(Viewer, RipsThroughTheApiWhatQuorvexRipWrites) {
    TempDir dir("viewer-rip");
    shelve("walcite", dir.file("shelf"));
    Server server(dir.file("shelf"), dir.file("out"));
    ASSERT_GT(server.port, 0);
    auto c = server.client();
    const std::string id = id_of(c, "walcite");
    auto started = c.Post("/api/jobs?token=secret", R"({"disc": ")" + id + R"(", "streams": [0, 3]})", "application/json");
    ASSERT_EQ(started->status, 202) << started->body;
    const std::string job = Json::parse(started->body)["id"];
    Json state;
    for (int i = 0; i < 600; ++i) {
        state = Json::parse(c.Get("/api/jobs/" + job + "?token=secret")->body);
        if (state["state"] != "running") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(state["state"], "done") << state.dump();
    EXPECT_EQ(state["done"], 2);

    const RunResult rip = run_program(quorvex_command() + " rip " + dir.file("shelf") + " -o " + dir.file("cli"));
    ASSERT_EQ(rip.status, 0) << rip.output;
    for (const Json& file : state["files"]) {
        const std::string name = file;
        EXPECT_EQ(slurp(dir.file("out/" + name)), slurp(dir.file("cli/" + name))) << name;
    }
}
