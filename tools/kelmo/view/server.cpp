#include "server.h"

#include <utility>  // before Boost.Asio, which takes std::exchange for granted

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frames.h"
#include "protocol.h"

namespace kelmo::view {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using json = nlohmann::json;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The page's files: nothing else is served, whatever the path asks.
struct PageFile {
    const char* name;
    const char* type;
};
constexpr PageFile kFiles[] = {{"index.html", "text/html; charset=utf-8"},
                               {"app.js", "text/javascript; charset=utf-8"},
                               {"style.css", "text/css; charset=utf-8"},
                               {"uPlot.iife.min.js", "text/javascript; charset=utf-8"},
                               {"uPlot.min.css", "text/css; charset=utf-8"}};

// The value of `key` in a query string, "" when absent.
std::string query_value(std::string_view target, std::string_view key) {
    const auto q = target.find('?');
    if (q == std::string_view::npos) return "";
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == key) return std::string(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    }
    return "";
}

// Compares in a time that does not depend on where the texts differ.
bool same_token(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

class Server;
class Connection;

// Connections that have not shown the token: at most this many are kept
// (a browser opens six at most); a new one closes the oldest.
constexpr std::size_t kMostUnproven = 16;
// A request's line and headers come within this, or the connection goes.
constexpr auto kHeaderTime = std::chrono::seconds(10);
// After an accept failed (descriptors ran out): the wait before the next.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);

// One page's WebSocket: frames as fast as the page takes them (a frame
// that would wait behind one still being written is dropped and counted),
// the acquisition's state at least once a second.
class Page : public std::enable_shared_from_this<Page> {
public:
    Page(tcp::socket socket, Server& server) : ws_(std::move(socket)), server_(server), tick_(ws_.get_executor()) {}
    void start(http::request<http::empty_body> request);
    void close();

private:
    void on_read(beast::error_code ec, std::size_t);
    void handle(const std::string& text);
    void on_tick();
    void send(std::string data, bool binary);
    void write_next();
    void send_state(bool force);
    template <class F>
    bool make_frame(F f);

    websocket::stream<beast::tcp_stream> ws_;
    Server& server_;
    asio::steady_timer tick_;
    beast::flat_buffer in_;
    std::deque<std::pair<std::string, bool>> out_;
    bool writing_ = false, frameQueued_ = false, closed_ = false;
    View view_;
    ScopeCursor scope_;
    SpectrumState spectrum_;
    std::vector<Dominant> dominant_;
    uint32_t seq_ = 0;
    uint64_t dropped_ = 0, sentFrames_ = 0, drawnFrames_ = 0;
    uint64_t unsentEnd_ = 0;  // the newest sample seen while a frame was still on its way
    std::map<uint32_t, uint64_t> frameEnds_;  // seq -> the sample after the frame's last
    double latencyMs_ = -1, serverFps_ = 0, pageFps_ = 0;
    Clock::time_point lastState_{}, lastSpectrum_{}, rateSince_ = Clock::now();
    uint64_t framesSince_ = 0, drawnSince_ = 0;
    std::string lastStateKey_;
    std::string refused_;  // why the page's last configuration was not taken
    std::string trouble_;  // why its last frame could not be made
};

class Server {
public:
    Server(const ServerOptions& o, Acquisition& acq) : options_(o), acq_(acq), acceptor_(io_), signals_(io_, SIGINT, SIGTERM) {}

    int run() {
        beast::error_code ec;
        const auto address = asio::ip::make_address(options_.address, ec);
        if (ec) {
            std::fprintf(stderr, "kelmo: view: '%s' is not an address to listen on (%s)\n", options_.address.c_str(),
                         ec.message().c_str());
            return 1;
        }
        const tcp::endpoint where(address, options_.port);
        acceptor_.open(where.protocol(), ec);
        if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(where, ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            std::fprintf(stderr, "kelmo: view: cannot listen on %s port %u: %s; choose another with --port\n",
                         options_.address.c_str(), unsigned(options_.port), ec.message().c_str());
            return 1;
        }
        const auto port = acceptor_.local_endpoint().port();
        std::string host = options_.address;
        if (address.is_v6()) host = "[" + host + "]";
        if (address.is_unspecified()) host = address.is_v6() ? "[::1]" : "127.0.0.1";
        std::printf("kelmo view: http://%s:%u/?token=%s\n", host.c_str(), unsigned(port), options_.token.c_str());
        std::fflush(stdout);
        signals_.async_wait([this](beast::error_code, int) { stop(); });
        accept();
        io_.run();
        return 0;
    }

    void stop() {
        beast::error_code ec;
        acceptor_.close(ec);
        acceptPause_.cancel();
        for (const auto& weak : pages_)
            if (auto p = weak.lock()) p->close();
        io_.stop();
    }

    const ServerOptions& options() const { return options_; }
    Acquisition& acquisition() { return acq_; }
    void add(const std::shared_ptr<Page>& p) {
        std::erase_if(pages_, [](const std::weak_ptr<Page>& w) { return w.expired(); });
        pages_.push_back(p);
    }

    // A file of the page, or "" (with `type` empty) when there is none.
    std::string file(std::string_view name, std::string& type) {
        type.clear();
        for (const PageFile& f : kFiles)
            if (name == f.name) {
                std::ifstream in(options_.files + "/" + f.name, std::ios::binary);
                if (!in) return "";
                std::ostringstream s;
                s << in.rdbuf();
                type = f.type;
                return s.str();
            }
        return "";
    }

private:
    void accept();
    // Takes a new connection among those that have not shown the token,
    // closing the oldest of them when there are as many as are kept.
    void admit(const std::shared_ptr<Connection>& c);

    ServerOptions options_;
    Acquisition& acq_;
    asio::io_context io_{1};
    tcp::acceptor acceptor_;
    asio::signal_set signals_;
    asio::steady_timer acceptPause_{io_};
    bool acceptFailing_ = false;
    std::vector<std::weak_ptr<Page>> pages_;
    std::deque<std::weak_ptr<Connection>> unproven_;
};

// One HTTP connection: the page's files, or the upgrade to a page's
// WebSocket; nothing without the token. Only the request line and the
// headers are read before the token is checked, and no request has a body:
// one that brings one is refused unread.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, Server& server) : stream_(std::move(socket)), server_(server) {}
    void start() { read(); }
    // Whether a request of this connection carried the token.
    bool proven() const { return proven_; }
    void close() { stream_.close(); }

private:
    void read() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        stream_.expires_after(kHeaderTime);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_request(ec); });
    }

    void on_request(beast::error_code ec) {
        if (ec) return;  // closed, timed out or not HTTP: nothing to answer
        const auto& request = parser_->get();
        const std::string_view target(request.target().data(), request.target().size());
        const std::string_view path = target.substr(0, target.find('?'));
        if (!same_token(query_value(target, "token"), server_.options().token))
            return answer(http::status::forbidden, "text/plain", "");
        proven_ = true;
        if (!parser_->is_done()) return answer(http::status::payload_too_large, "text/plain", "");
        if (websocket::is_upgrade(request)) {
            if (path != "/ws") return answer(http::status::not_found, "text/plain", "");
            stream_.expires_never();
            auto page = std::make_shared<Page>(stream_.release_socket(), server_);
            server_.add(page);
            page->start(parser_->release());
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head)
            return answer(http::status::method_not_allowed, "text/plain", "");
        std::string type;
        const std::string name(path == "/" ? std::string_view("index.html") : path.substr(1));
        std::string body = server_.file(name, type);
        if (type.empty()) {
            if (path == "/" || name == "app.js")
                return answer(http::status::internal_server_error, "text/plain",
                              "kelmo view: the page's files are not in " + server_.options().files +
                                  "; install kelmo (they go to share/kelmo/view), or set KELMO_VIEW_DIR\n");
            return answer(http::status::not_found, "text/plain", "");
        }
        answer(http::status::ok, type, std::move(body));
    }

    // Only a good answer keeps the connection open; after any other, what
    // the client still sends is not read.
    void answer(http::status status, const std::string& type, std::string body) {
        const auto& request = parser_->get();
        auto res = std::make_shared<http::response<http::string_body>>(status, request.version());
        res->set(http::field::server, "kelmo view");
        res->set(http::field::content_type, type);
        res->set(http::field::cache_control, "no-store");
        res->set("X-Content-Type-Options", "nosniff");
        res->keep_alive(request.keep_alive() && status == http::status::ok);
        if (request.method() != http::verb::head) res->body() = std::move(body);
        res->prepare_payload();
        stream_.expires_after(std::chrono::seconds(30));
        http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
            if (ec || !res->keep_alive()) {
                beast::error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            self->read();
        });
    }

    beast::tcp_stream stream_;
    Server& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    bool proven_ = false;
};

void Server::admit(const std::shared_ptr<Connection>& c) {
    std::erase_if(unproven_, [](const std::weak_ptr<Connection>& w) {
        const auto p = w.lock();
        return !p || p->proven();
    });
    while (unproven_.size() >= kMostUnproven) {
        if (const auto oldest = unproven_.front().lock()) oldest->close();
        unproven_.pop_front();
    }
    unproven_.push_back(c);
}

void Server::accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
            acceptFailing_ = false;
            auto c = std::make_shared<Connection>(std::move(socket), *this);
            admit(c);
            c->start();
            accept();
            return;
        }
        // Out of descriptors or memory: the connection stays in the queue,
        // and an accept at once would fail at once, for ever. Said once,
        // then tried again after a pause.
        if (!acceptFailing_)
            std::fprintf(stderr,
                         "kelmo: view: a new connection cannot be taken: %s; trying again every %d ms (close pages, "
                         "or raise the limit of open files: ulimit -n)\n",
                         ec.message().c_str(), int(kAcceptPause.count()));
        acceptFailing_ = true;
        acceptPause_.expires_after(kAcceptPause);
        acceptPause_.async_wait([this](beast::error_code e) {
            if (!e) accept();
        });
    });
}

// ---- a page ----------------------------------------------------------------

void Page::start(http::request<http::empty_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(64 * 1024);
    ws_.auto_fragment(false);  // a message is one frame, however long
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
        if (ec) return;
        self->send(self->server_.options().hello, false);
        self->send_state(true);
        self->ws_.async_read(self->in_, [self](beast::error_code e, std::size_t n) { self->on_read(e, n); });
        self->on_tick();
    });
}

void Page::close() {
    closed_ = true;
    beast::error_code ec;
    tick_.cancel();
    beast::get_lowest_layer(ws_).socket().close(ec);
}

void Page::on_read(beast::error_code ec, std::size_t) {
    if (ec) {
        close();
        return;
    }
    handle(beast::buffers_to_string(in_.data()));
    in_.consume(in_.size());
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code e, std::size_t n) { self->on_read(e, n); });
}

// A number of a page's message, or `otherwise` when it is not one.
double number(const json& o, const char* key, double otherwise) {
    const auto it = o.find(key);
    return it != o.end() && it->is_number() ? it->get<double>() : otherwise;
}
std::string text(const json& o, const char* key, const std::string& otherwise) {
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : otherwise;
}

void Page::handle(const std::string& message) {
    const json o = json::parse(message, nullptr, false);
    if (o.is_discarded() || !o.is_object()) return;  // not ours: ignored
    const std::string type = text(o, "type", "");
    if (type == "view") {
        View w = view_;
        w.columns = static_cast<int>(std::clamp(number(o, "columns", w.columns), 16.0, 8192.0));
        w.seconds = std::clamp(number(o, "seconds", w.seconds), 1e-5, 10.0);
        const std::string mode = text(o, "mode", w.mode);
        if (mode == "run" || mode == "stop" || mode == "single") w.mode = mode;
        if (const auto t = o.find("trigger"); t != o.end() && t->is_object()) {
            const json& to = *t;
            const std::string slope = text(to, "slope", w.slope);
            if (slope == "off" || slope == "rising" || slope == "falling") w.slope = slope;
            w.channel = static_cast<int>(number(to, "channel", w.channel));
            w.level = number(to, "level", w.level);
            w.pre = std::clamp(number(to, "pre", w.pre), 0.0, 1.0);
        }
        w.average = static_cast<int>(std::clamp(number(o, "average", w.average), 1.0, 1024.0));
        w.bins = static_cast<int>(std::clamp(number(o, "bins", w.bins), 256.0, 2048.0));
        if (w.mode != view_.mode || w.slope != view_.slope || w.seconds != view_.seconds) scope_.end = 0;  // redraw
        view_ = w;
    } else if (type == "config") {
        if (server_.options().readOnly) {
            send_state(true);
            return;
        }
        // Checked against the card before anything stops: a configuration
        // it cannot run leaves the acquisition as it is, and the page is
        // told why.
        Config c = server_.acquisition().status().config;
        const double card = number(o, "card", c.card), gain = number(o, "gain", c.gain);
        c.card = std::abs(card) < 1e6 ? static_cast<int>(card) : 0;
        c.rate = number(o, "rate", c.rate);
        c.gain = gain >= 0 && gain < 1e6 && gain == std::floor(gain) ? static_cast<int>(gain) : 0;
        if (const auto ch = o.find("channels"); ch != o.end() && ch->is_array()) {
            std::set<int> chosen;
            for (const json& e : *ch)  // what is not a channel number stands as -1, which is refused
                chosen.insert(e.is_number_integer() && std::abs(e.get<double>()) < 1e6
                                  ? static_cast<int>(e.get<int64_t>())
                                  : -1);
            c.channels.assign(chosen.begin(), chosen.end());
        }
        const Refusal r = refusal(c, server_.options().mostRate);
        refused_ = r ? "not applied: " + r.reason : "";
        if (!r) server_.acquisition().reconfigure(c);
        send_state(true);
    } else if (type == "drawn") {
        const auto seq = static_cast<uint32_t>(number(o, "seq", 0));
        ++drawnFrames_;
        ++drawnSince_;
        if (const auto it = frameEnds_.find(seq); it != frameEnds_.end()) {
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - server_.acquisition().arrived(it->second)).count();
            latencyMs_ = latencyMs_ < 0 ? ms : 0.8 * latencyMs_ + 0.2 * ms;
            frameEnds_.erase(frameEnds_.begin(), std::next(it));
        }
    }
}

// A frame made by `f`, or false; a frame that cannot be made (the memory
// for its window cannot be had) is the page's notice, not the server's end.
template <class F>
bool Page::make_frame(F f) {
    try {
        const bool made = f();
        trouble_.clear();
        return made;
    } catch (const std::exception& e) {
        trouble_ = std::string("a frame could not be made (") + e.what() +
                   "); show a shorter time or fewer channels, or free memory";
        return false;
    }
}

void Page::on_tick() {
    if (closed_) return;
    const auto now = Clock::now();
    // A frame only when the last one is on its way: a slow page gets fewer.
    std::string frame;
    if (frameQueued_) {
        // The page has not taken the last frame yet: what came since waits
        // for the next one, and this one is dropped.
        const uint64_t e = server_.acquisition().end();
        if (view_.mode != "stop" && e != scope_.end && e != unsentEnd_) {
            ++dropped_;
            unsentEnd_ = e;
        }
    } else if (make_frame([&] { return scope_frame(server_.acquisition(), view_, scope_, seq_ + 1, frame); })) {
        {
            ++seq_;
            frameEnds_[seq_] = scope_.end;
            if (frameEnds_.size() > 256) frameEnds_.erase(frameEnds_.begin());
            ++sentFrames_;
            ++framesSince_;
            if (view_.mode == "single") view_.mode = "stop";
            send(std::move(frame), true);
        }
    }
    if (now - lastSpectrum_ >= std::chrono::milliseconds(200) && !frameQueued_) {
        std::string spectrum;
        if (make_frame([&] { return spectrum_frame(server_.acquisition(), view_, spectrum_, seq_ + 1, spectrum, dominant_); })) {
            ++seq_;
            send(std::move(spectrum), true);
        }
        lastSpectrum_ = now;
    }
    const double since = std::chrono::duration<double>(now - rateSince_).count();
    if (since >= 1.0) {
        serverFps_ = double(framesSince_) / since;
        pageFps_ = double(drawnSince_) / since;
        framesSince_ = drawnSince_ = 0;
        rateSince_ = now;
    }
    send_state(now - lastState_ >= std::chrono::seconds(1));
    tick_.expires_after(std::chrono::milliseconds(16));
    tick_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec) self->on_tick();
    });
}

void Page::send_state(bool force) {
    const Status st = server_.acquisition().status();
    // Sent when it changes (state, reason, configuration), else once a second.
    const std::string& notice = !refused_.empty() ? refused_ : !trouble_.empty() ? trouble_ : scope_.stall;
    std::string key = st.state + "\n" + st.reason + "\n" + notice + "\n" + std::to_string(st.generation);
    if (!force && key == lastStateKey_) return;
    lastStateKey_ = std::move(key);
    lastState_ = Clock::now();
    json chans = json::array();
    for (int ch : st.config.channels) chans.push_back(ch);
    json dom = json::array();
    for (const Dominant& d : dominant_) dom.push_back({{"hz", d.hz}, {"db", d.db}});
    const json o = {{"type", "state"},
                    {"state", st.state},
                    {"reason", st.reason},
                    {"config", {{"card", st.config.card}, {"rate", st.config.rate}, {"channels", chans}, {"gain", st.config.gain}}},
                    {"rate", st.rate},
                    {"unit", ""},  // the catalogue names no unit: the page says "units"
                    {"fullScale", st.fullScale},
                    {"blocks", st.blocks},
                    {"gaps", st.gaps},
                    {"samples", st.samples},
                    {"serverFps", serverFps_},
                    {"pageFps", pageFps_},
                    {"dropped", dropped_},
                    {"latencyMs", latencyMs_},
                    {"trigger", view_.slope == "off" ? "off" : "software"},
                    {"kept", st.rate > 0 ? double(st.kept) / st.rate : 0.0},
                    {"notice", notice},
                    {"readOnly", server_.options().readOnly},
                    {"dominant", dom}};
    send(message_text(o), false);
}

void Page::send(std::string data, bool binary) {
    if (closed_) return;
    if (binary) frameQueued_ = true;
    // Texts are small and few; more than a few waiting means the page is
    // gone in all but name.
    if (!binary && out_.size() > 64) return;
    out_.emplace_back(std::move(data), binary);
    if (!writing_) write_next();
}

void Page::write_next() {
    if (out_.empty() || closed_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    ws_.binary(out_.front().second);
    ws_.async_write(asio::buffer(out_.front().first), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (self->out_.front().second) self->frameQueued_ = false;
        self->out_.pop_front();
        if (ec) {
            self->close();
            return;
        }
        self->write_next();
    });
}

}  // namespace

int serve(const ServerOptions& options, Acquisition& acquisition) {
    try {
        Server server(options, acquisition);
        return server.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelmo: view: the server failed: %s\n", e.what());
        return 1;
    }
}

}  // namespace kelmo::view
