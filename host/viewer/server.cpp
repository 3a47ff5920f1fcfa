// quorvex serve: the viewer's HTTP server. It answers on loopback unless told otherwise, only to
// requests addressed to itself by name (which defeats DNS rebinding), and does work only for
// requests that carry its token, so that a page of another site cannot drive it through the
// user's browser; a POST from another origin is refused as well. State changes are POST only.
// What a request may cost is bounded before any work: its headers and body in time and size (a
// body of at most 1 MiB), and a refused request's connection is closed without reading its body.
// Every bad request gets a 4xx with one line.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "../interrupt.h"
#include "../paths.h"
#include "../words.h"
#include "bounded_server.h"
#include "pages.h"
#include "shelf.h"
#include "viewer.h"

namespace fs = std::filesystem;

namespace quorvex::viewer {
namespace {

constexpr uint64_t kMostBody = 1 << 20;

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
// How each kind of refusal is answered.
struct Answer {
    Refusal kind;
    int status;
    const char* retry_after;  // seconds to wait before asking again, or none
};
constexpr Answer kAnswers[] = {
    {Refusal::kNotFound, 404, nullptr},   {Refusal::kGone, 410, nullptr},      {Refusal::kOutside, 403, nullptr},
    {Refusal::kUnreadable, 422, nullptr}, {Refusal::kNotBuilt, 501, nullptr},  {Refusal::kBusy, 503, "2"},
    {Refusal::kBadRequest, 400, nullptr},
};

// What a path no route answers asked for, in a sentence: a disc by an id no disc has, or a page.
std::string not_found(const std::string& path) {
    constexpr std::string_view kDiscs = "/api/discs/";
    const auto shown = [](std::string_view text) { return std::string(text.substr(0, 40)) + (text.size() > 40 ? "..." : ""); };
    if (path.rfind(kDiscs, 0) == 0) {
        const std::string_view rest = std::string_view(path).substr(kDiscs.size());
        return "There is no disc with the id \"" + shown(rest.substr(0, rest.find('/'))) +
               "\" on this shelf: a disc's id is the one the shelf lists for it.";
    }
    return "There is no page " + shown(path) + " here.";
}

void fail(httplib::Response& res, const Failure& f) {
    const Answer* answer = std::find_if(std::begin(kAnswers), std::end(kAnswers), [&](const Answer& a) { return a.kind == f.kind; });
    if (answer == std::end(kAnswers)) return fail(res, 500, f.reason);
    fail(res, answer->status, f.reason);
    if (answer->retry_after) res.set_header("Retry-After", answer->retry_after);
}
// A refusal that ends the connection: whatever else the client sends is never read. False, for
// `return refuse(...)` where a request is admitted or not.
bool refuse(httplib::Response& res, int status, const std::string& reason) {
    fail(res, status, reason);
    res.set_header("Connection", "close");
    BoundedServer::close_after_response();
    return false;
}

void send_json(httplib::Response& res, const Json& doc) { res.set_content(dump(doc), "application/json"); }

// The byte range a Range header asks of a file of `size` bytes: a single range, its end clamped
// to the last byte. False when no byte of it is there (416); `whole` when the header is absent,
// not understood, or asks for several ranges (then the whole file is sent, as a server may).
bool range_of(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last, bool& whole) {
    whole = true;
    first = 0;
    last = size ? size - 1 : 0;
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos) return true;
    const std::string asked = header.substr(6);
    const size_t dash = asked.find('-');
    if (dash == std::string::npos) return true;
    const auto number = [](const std::string& text, uint64_t& value) {
        if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
        value = std::stoull(text);
        return true;
    };
    const std::string a = asked.substr(0, dash), b = asked.substr(dash + 1);
    uint64_t from = 0, to = 0;
    if (a.empty()) {  // the last `to` bytes
        if (!number(b, to)) return true;
        whole = false;
        if (to == 0 || size == 0) return false;
        first = size - std::min(to, size);
        return true;
    }
    if (!number(a, from) || (!b.empty() && (!number(b, to) || to < from))) return true;
    whole = false;
    if (from >= size) return false;
    first = from;
    last = b.empty() ? size - 1 : std::min(to, size - 1);
    return true;
}

// A preview, in the pieces a player asks for; the cache keeps it while it is sent.
void send_preview(httplib::Response& res, const std::string& range, Preview preview, const BoundedServer& server) {
    std::error_code ec;
    const uint64_t size = fs::file_size(preview.file, ec);
    auto in = std::make_shared<std::ifstream>(preview.file, std::ios::binary);
    if (ec || !*in) {
        fail(res, 503, "The preview is being made again; ask again in a moment.");
        res.set_header("Retry-After", "1");
        return;
    }
    uint64_t first = 0, last = 0;
    bool whole = true;
    if (!range_of(range, size, first, last, whole)) {
        fail(res, 416, "No byte of that range lies in the file, which has " + std::to_string(size) + ".");
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    res.set_header("Accept-Ranges", "bytes");
    res.set_header("Cache-Control", "private, max-age=3600");
    if (!whole) {
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
    }
    const uint64_t length = size ? last - first + 1 : 0;
    res.set_content_provider(
        static_cast<size_t>(length), preview.content_type,
        [in, first, pin = preview.pin, &server](size_t offset, size_t want, httplib::DataSink& sink) {
            if (server.stopping()) return false;
            std::vector<char> buffer(std::min<size_t>(want, 1 << 16));
            in->clear();
            in->seekg(static_cast<std::streamoff>(first + offset));
            in->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const auto got = in->gcount();
            return got > 0 && sink.write(buffer.data(), static_cast<size_t>(got));
        });
}

// Room for a crowd of connections (each a file descriptor while its request is gathered).
void raise_file_limit() {
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 8192 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

// The viewer's API over one shelf: what every request must show, and a handler for each route.
// A download's header: the name as given, in UTF-8 (RFC 6266 and 5987), and a plain ASCII one
// for clients that read only that, quotes and controls left out.
std::string attachment(const std::string& name) {
    std::string plain, encoded;
    for (const unsigned char c : name) {
        plain += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? static_cast<char>(c) : '_';
        if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", c)) {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

class Api {
public:
    Api(Shelf& shelf, BoundedServer& server, std::string token) : shelf_(shelf), server_(server), token_(std::move(token)) {}

    void install();

    // The addresses the server answers to, once its port is known: its own, and those allowed.
    void answer_to(const std::string& listen, int port, const std::vector<std::string>& allowed) {
        const std::string p = ":" + std::to_string(port);
        hosts_ = {"127.0.0.1" + p, "localhost" + p, "[::1]" + p};
        if (!is_loopback(listen)) hosts_.push_back((listen.find(':') != std::string::npos ? "[" + listen + "]" : listen) + p);
        for (const std::string& h : allowed) hosts_.push_back(h + p);
        for (const std::string& h : hosts_) origins_.push_back("http://" + h);
    }

private:
    using Handler = void (Api::*)(const httplib::Request&, httplib::Response&);
    struct Route {
        const char* method;
        const char* pattern;
        Handler handler;
    };
    static const Route kRoutes[];

    // What every request must show before any work is done for it, its body included.
    bool admit(const httplib::Request& req, httplib::Response& res) const {
        if (req.get_header_value_count("Host") != 1) return refuse(res, 400, "A request names its server in one Host header.");
        const std::string host = req.get_header_value("Host");
        if (std::find(hosts_.begin(), hosts_.end(), host) == hosts_.end()) {
            return refuse(res, 403, "This server answers to its own address only, not to Host \"" + host + "\".");
        }
        const std::string origin = req.get_header_value("Origin");
        if (req.method != "GET" && req.method != "HEAD" && !origin.empty() &&
            std::find(origins_.begin(), origins_.end(), origin) == origins_.end()) {
            return refuse(res, 403, "Requests from another site (" + origin + ") are refused.");
        }
        // The page's own files and the bare list of discs need no token; everything else does.
        bool open = req.path == "/api/discs" && req.method == "GET";
        for (size_t i = 0; i < kPageFileCount; ++i) open = open || req.path == kPageFiles[i].path;
        const std::string given = req.has_param("token") ? req.get_param_value("token") : req.get_header_value("X-Quorvex-Token");
        if (!open && given != token_) {
            return refuse(res, 401, given.empty() ? "This needs the server's token (?token= or X-Quorvex-Token)." : "That is not the server's token.");
        }
        const std::string length = req.get_header_value("Content-Length");
        if (!length.empty() && length.find_first_not_of("0123456789") != std::string::npos) {
            return refuse(res, 400, "Content-Length is not a number.");
        }
        if (!length.empty() && (length.size() > 19 || std::stoull(length) > kMostBody)) {
            return refuse(res, 413, "A request body may hold at most 1 MiB.");
        }
        return true;
    }

    const ShelfDisc* disc_of(const httplib::Request& req, httplib::Response& res) {
        Failure f{};
        const ShelfDisc* d = shelf_.disc(req.matches[1], f);
        if (!d) fail(res, f);
        return d;
    }

    void list_discs(const httplib::Request&, httplib::Response& res) { send_json(res, shelf_.discs_json()); }

    void list_streams(const httplib::Request& req, httplib::Response& res) {
        const ShelfDisc* d = disc_of(req, res);
        if (!d) return;
        Failure f{};
        auto scan = shelf_.scan(*d, f);
        if (!scan) return fail(res, f);
        Json doc;
        doc["disc"] = {{"id", d->id}, {"name", valid_utf8(d->image.disc_name)}, {"format", d->format}};
        doc["streams"] = shelf_.streams_json(*d, *scan, token_);
        send_json(res, doc);
    }

    void start_scan(const httplib::Request& req, httplib::Response& res) {
        const ShelfDisc* d = disc_of(req, res);
        if (!d) return;
        Failure f{};
        auto job = shelf_.start_scan(*d, f);
        if (!job) return fail(res, f);
        res.status = 202;
        send_json(res, job->json(token_));
    }

    void scan_needs_post(const httplib::Request&, httplib::Response& res) { fail(res, 405, "Use POST to start a scan."); }

    void preview(const httplib::Request& req, httplib::Response& res) {
        const ShelfDisc* d = disc_of(req, res);
        if (!d) return;
        std::string what = req.matches[3];
        if (what.size() > 4 && what.compare(what.size() - 4, 4, ".png") == 0) what.resize(what.size() - 4);
        Preview preview;
        Failure f{};
        if (!shelf_.preview(*d, std::stoul(req.matches[2]), what, preview, f)) return fail(res, f);
        send_preview(res, req.get_header_value("X-Quorvex-Range"), std::move(preview), server_);
    }

    void ripped_file(const httplib::Request& req, httplib::Response& res) {
        const ShelfDisc* d = disc_of(req, res);
        if (!d) return;
        Preview file;
        Failure f{};
        if (!shelf_.ripped(*d, std::stoul(req.matches[2]), file, f)) return fail(res, f);
        res.set_header("Content-Disposition", attachment(d->image.disc_name + " - " + utf8_path(file.file.filename())));
        send_preview(res, req.get_header_value("X-Quorvex-Range"), std::move(file), server_);
    }

    void list_jobs(const httplib::Request&, httplib::Response& res) { send_json(res, shelf_.jobs_json(token_)); }

    void job_state(const httplib::Request& req, httplib::Response& res) {
        auto job = shelf_.job(req.matches[1]);
        if (!job) return fail(res, 404, "No job " + std::string(req.matches[1]) + ": the server may have been restarted since.");
        send_json(res, job->json(token_));
    }

    void start_rip(const httplib::Request& req, httplib::Response& res) {
        const Json body = Json::parse(req.body, nullptr, false);
        if (body.is_discarded()) return fail(res, 400, "The body is not JSON.");
        if (!body.is_object() || !body.contains("disc") || !body["disc"].is_string() || !body.contains("streams") ||
            !body["streams"].is_array()) {
            return fail(res, 400, "Give {\"disc\": ID, \"streams\": [numbers]}.");
        }
        const Json format = body.value("format", Json("mkv"));
        if (format != "mkv" && format != "mp4") return fail(res, 400, "A rip's format is \"mkv\" or \"mp4\".");
        std::vector<size_t> streams;
        for (const Json& n : body["streams"]) {
            if (!n.is_number_unsigned() || n.get<uint64_t>() > 999999999) return fail(res, 400, "Stream numbers are whole numbers from 1.");
            streams.push_back(n.get<size_t>());
        }
        Failure f{};
        const ShelfDisc* d = shelf_.disc(body["disc"].get<std::string>(), f);
        auto job = d ? shelf_.start_rip(*d, std::move(streams), format.get<std::string>(), f) : nullptr;
        if (!job) return fail(res, f);
        res.status = 202;
        send_json(res, job->json(token_));
    }

    Shelf& shelf_;
    BoundedServer& server_;
    const std::string token_;
    std::vector<std::string> hosts_, origins_;
};

const Api::Route Api::kRoutes[] = {
    {"GET", "/api/discs", &Api::list_discs},
    {"GET", R"(/api/discs/([0-9a-f]{1,32})/streams)", &Api::list_streams},
    {"POST", R"(/api/discs/([0-9a-f]{1,32})/scan)", &Api::start_scan},
    {"GET", R"(/api/discs/([0-9a-f]{1,32})/scan)", &Api::scan_needs_post},
    {"GET", R"(/api/discs/([0-9a-f]{1,32})/streams/(\d{1,9})/(media|thumb\.png|frame[0-5]\.png))", &Api::preview},
    {"GET", R"(/api/discs/([0-9a-f]{1,32})/files/(\d{1,9}))", &Api::ripped_file},
    {"GET", "/api/jobs", &Api::list_jobs},
    {"GET", R"(/api/jobs/([a-z]+-\d{1,9}))", &Api::job_state},
    {"POST", "/api/jobs", &Api::start_rip},
};

void Api::install() {
    server_.set_default_headers({{"Referrer-Policy", "no-referrer"}, {"X-Content-Type-Options", "nosniff"}});
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    server_.set_expect_100_continue_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return admit(req, res) ? 100 : res.status; });
    for (const Route& route : kRoutes) {
        auto answer = [this, handler = route.handler](const httplib::Request& req, httplib::Response& res) { (this->*handler)(req, res); };
        if (std::string_view(route.method) == "GET") server_.Get(route.pattern, answer);
        if (std::string_view(route.method) == "POST") server_.Post(route.pattern, answer);
    }
    for (size_t i = 0; i < kPageFileCount; ++i) {
        const PageFile& page = kPageFiles[i];
        server_.Get(page.path, [&page](const httplib::Request&, httplib::Response& res) { res.set_content(page.text, page.type); });
    }
    server_.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty()) fail(res, res.status, res.status == 404 ? not_found(req.path) : "The server cannot make sense of this request.");
    });
    server_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        fail(res, 500, "The server could not answer this request.");
    });
}

// Serves until SIGINT or SIGTERM: connections close as soon as their requests are answered, and
// work in progress stops at the interruption and removes what it was writing.
void serve_until_interrupted(BoundedServer& server) {
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!interrupted() && !done) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        server.shut_down();
    });
    server.listen_after_bind();
    done = true;
    watcher.join();
}

}  // namespace

Outcome run_serve(const Options& options, const ServeOptions& serve) {
    const std::vector<std::string> folders = options.images.empty() ? std::vector<std::string>{"."} : options.images;
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (!fs::is_directory(native_path(folder), ec)) return failure(folder, "not a folder");
    }
    const std::string token = serve.token.empty() ? random_token() : serve.token;
    const fs::path cache = fs::temp_directory_path() / ("quorvex-serve-" + random_token().substr(0, 12));
    Shelf shelf(options, folders, native_path(serve.out), cache, serve.cache_bytes);
    if (Outcome failed = shelf.load_plugins()) return failed;

    raise_file_limit();
    BoundedServer server{Bounds{}};
    Api api(shelf, server, token);
    api.install();
    if (!is_loopback(serve.listen)) {
        warn("listening on " + serve.listen + ": anyone who can reach this address and has the token can use the server");
    }
    std::string why;
    const int port = server.bind(serve.listen, static_cast<int>(serve.port), why);
    if (port <= 0) return failure("", why);
    api.answer_to(serve.listen, port, serve.allow_hosts);
    const std::string shown = is_loopback(serve.listen) ? "127.0.0.1" : serve.listen;
    std::printf("quorvex serve: %s; open http://%s:%d/?token=%s\n", count_text(shelf.size(), "disc").c_str(), shown.c_str(), port,
                token.c_str());
    std::fflush(stdout);
    serve_until_interrupted(server);
    return std::nullopt;
}

}  // namespace quorvex::viewer
