// quorvex serve: the viewer's HTTP server. It answers on loopback unless told otherwise, only to
// requests addressed to itself by name (which defeats DNS rebinding), and does work only for
// requests that carry its token, so that a page of another site cannot drive it through the
// user's browser. State changes are POST only; every bad request gets a 4xx with one line.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "../interrupt.h"
#include "../paths.h"
#include "pages.h"
#include "shelf.h"
#include "viewer.h"

namespace fs = std::filesystem;

namespace quorvex::viewer {
namespace {

std::string random_token() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        token += part;
    }
    return token;
}

bool is_loopback(const std::string& address) { return address == "127.0.0.1" || address == "::1" || address == "localhost"; }

void fail(httplib::Response& res, int status, const std::string& reason) {
    res.status = status;
    res.set_content(reason + "\n", "text/plain; charset=utf-8");
}
void fail(httplib::Response& res, const Failure& f) { fail(res, f.status, f.reason); }

void send_json(httplib::Response& res, const Json& doc) { res.set_content(dump(doc), "application/json"); }

// A file served in pieces, so that a player can ask for any range of it.
void send_file(httplib::Response& res, const fs::path& file, const std::string& type) {
    std::error_code ec;
    const uint64_t size = fs::file_size(file, ec);
    if (ec) {
        fail(res, 410, "the preview was dropped from the cache; ask again");
        return;
    }
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    res.set_header("Cache-Control", "private, max-age=3600");
    res.set_content_provider(static_cast<size_t>(size), type, [in](size_t offset, size_t length, httplib::DataSink& sink) {
        std::vector<char> buffer(std::min<size_t>(length, 1 << 16));
        in->clear();
        in->seekg(static_cast<std::streamoff>(offset));
        in->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = in->gcount();
        if (got <= 0) return false;
        return sink.write(buffer.data(), static_cast<size_t>(got));
    });
}

}  // namespace

int run_serve(const Options& options, const ServeOptions& serve) {
    const std::vector<std::string> folders = options.images.empty() ? std::vector<std::string>{"."} : options.images;
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (!fs::is_directory(native_path(folder), ec)) {
            complain(folder + ": not a folder");
            return kExitError;
        }
    }
    const std::string token = serve.token.empty() ? random_token() : serve.token;
    const fs::path cache = fs::temp_directory_path() / ("quorvex-serve-" + random_token().substr(0, 12));
    Shelf shelf(options, folders, native_path(serve.out), cache, serve.cache_bytes);
    std::string error;
    if (!shelf.load_plugins(error)) return kExitError;

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    int port = 0;
    std::vector<std::string> hosts;

    server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        const std::string host = req.get_header_value("Host");
        if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) {
            fail(res, 403, "this server answers to its own address only, not to Host \"" + host + "\"");
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool open = req.path == "/" || req.path == "/app.js" || req.path == "/style.css" ||
                          (req.path == "/api/discs" && req.method == "GET");
        const std::string given = req.has_param("token") ? req.get_param_value("token") : req.get_header_value("X-Quorvex-Token");
        if (!open && given != token) {
            fail(res, 401, given.empty() ? "this needs the server's token (?token= or X-Quorvex-Token)" : "wrong token");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kIndexHtml, "text/html; charset=utf-8"); });
    server.Get("/style.css", [](const httplib::Request&, httplib::Response& res) { res.set_content(kStyleCss, "text/css"); });
    server.Get("/app.js", [](const httplib::Request&, httplib::Response& res) { res.set_content(kAppJs, "text/javascript"); });
    server.Get("/api/discs", [&](const httplib::Request&, httplib::Response& res) { send_json(res, shelf.discs_json()); });

    server.Get(R"(/api/discs/([0-9a-f]+)/streams)", [&](const httplib::Request& req, httplib::Response& res) {
        Failure f{};
        const ShelfDisc* d = shelf.disc(req.matches[1], f);
        auto scan = d ? shelf.scan(*d, f) : nullptr;
        if (!scan) return fail(res, f);
        Json doc;
        doc["disc"] = {{"id", d->id}, {"name", valid_utf8(d->image.disc_name)}, {"format", d->format}};
        doc["streams"] = shelf.streams_json(*d, *scan, token);
        send_json(res, doc);
    });
    server.Post(R"(/api/discs/([0-9a-f]+)/scan)", [&](const httplib::Request& req, httplib::Response& res) {
        Failure f{};
        const ShelfDisc* d = shelf.disc(req.matches[1], f);
        if (!d) return fail(res, f);
        res.status = 202;
        send_json(res, shelf.start_scan(*d)->json());
    });
    server.Get(R"(/api/discs/([0-9a-f]+)/streams/(\d{1,9})/(media|thumb\.png|frame[0-5]\.png))",
               [&](const httplib::Request& req, httplib::Response& res) {
                   Failure f{};
                   const ShelfDisc* d = shelf.disc(req.matches[1], f);
                   if (!d) return fail(res, f);
                   std::string what = req.matches[3];
                   if (what.size() > 4 && what.compare(what.size() - 4, 4, ".png") == 0) what.resize(what.size() - 4);
                   fs::path file;
                   std::string type;
                   if (!shelf.preview(*d, std::stoul(req.matches[2]), what, file, type, f)) return fail(res, f);
                   send_file(res, file, type);
               });
    server.Get("/api/jobs", [&](const httplib::Request&, httplib::Response& res) { send_json(res, shelf.jobs_json()); });
    server.Get(R"(/api/jobs/([a-z]+-\d+))", [&](const httplib::Request& req, httplib::Response& res) {
        auto job = shelf.job(req.matches[1]);
        if (!job) return fail(res, 404, "no job " + std::string(req.matches[1]));
        send_json(res, job->json());
    });
    server.Post("/api/jobs", [&](const httplib::Request& req, httplib::Response& res) {
        Json body;
        try {
            body = Json::parse(req.body);
        } catch (const std::exception&) {
            return fail(res, 400, "the body is not JSON");
        }
        if (!body.is_object() || !body.contains("disc") || !body["disc"].is_string() || !body.contains("streams") ||
            !body["streams"].is_array()) {
            return fail(res, 400, "give {\"disc\": ID, \"streams\": [numbers]}");
        }
        std::vector<size_t> streams;
        for (const Json& n : body["streams"]) {
            if (!n.is_number_unsigned()) return fail(res, 400, "stream numbers are whole numbers from 0");
            streams.push_back(n.get<size_t>());
        }
        Failure f{};
        const ShelfDisc* d = shelf.disc(body["disc"].get<std::string>(), f);
        auto job = d ? shelf.start_rip(*d, streams, f) : nullptr;
        if (!job) return fail(res, f);
        res.status = 202;
        send_json(res, job->json());
    });
    // State changes are POST only.
    for (const char* path : {R"(/api/discs/([0-9a-f]+)/scan)"}) {
        server.Get(path, [](const httplib::Request&, httplib::Response& res) { fail(res, 405, "use POST to start a scan"); });
    }
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty()) fail(res, res.status, res.status == 404 ? "no such page: " + req.path : "bad request");
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        fail(res, 500, "the server could not answer this request");
    });

    if (!is_loopback(serve.listen)) {
        warn("listening on " + serve.listen + ": anyone who can reach this address and has the token can use the server");
    }
    port = serve.port == 0 ? server.bind_to_any_port(serve.listen) : (server.bind_to_port(serve.listen, serve.port) ? serve.port : -1);
    if (port <= 0) {
        complain(serve.listen + ":" + std::to_string(serve.port) + ": cannot listen there (in use, or not this machine's address)");
        return kExitError;
    }
    const std::string p = ":" + std::to_string(port);
    hosts = {"127.0.0.1" + p, "localhost" + p, "[::1]" + p};
    if (!is_loopback(serve.listen)) hosts.push_back((serve.listen.find(':') != std::string::npos ? "[" + serve.listen + "]" : serve.listen) + p);
    for (const std::string& h : serve.allow_hosts) hosts.push_back(h + p);
    const std::string shown = is_loopback(serve.listen) ? "127.0.0.1" : serve.listen;
    std::printf("quorvex serve: %zu discs; open http://%s%s/?token=%s\n", shelf.discs_json().size(), shown.c_str(), p.c_str(),
                token.c_str());
    std::fflush(stdout);

    // Ends on SIGINT or SIGTERM, once the requests in progress are answered.
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!interrupted() && !done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.stop();
    });
    server.listen_after_bind();
    done = true;
    watcher.join();
    return kExitOk;
}

}  // namespace quorvex::viewer
