#include "server/http_server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>

#include "server/web_connection.h"

namespace orvalinth::server {

namespace {

constexpr std::array<double, 11> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

int64_t ClockSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string PeerText(const tcp::endpoint& endpoint) {
  const net::ip::address address = endpoint.address();
  const std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return text + ":" + std::to_string(endpoint.port());
}

bool HasHeader(const SXWebResponse& response, std::string_view name) {
  for (const auto& header : response.headers) {
    if (beast::iequals(header.first, beast::string_view(name.data(), name.size()))) return true;
  }
  return false;
}

bool IsApiPath(const std::string& path) {
  return path.rfind("/api/", 0) == 0 || path == "/api" || path == "/metrics";
}

// ---- the metrics' text -------------------------------------------------------------

std::string Number(double value) {
  char text[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.9g", value);
  }
  return text;
}

// A label's value: backslash, quote and line break escaped.
std::string LabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

double Field(const Json& object, const char* key) {
  if (!object.is_object()) return 0;
  const auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : 0;
}

class CXMetricsText {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& name, const std::string& labels, double value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + Number(value) + "\n";
  }
  void One(const char* name, const char* type, const char* help, double value) {
    Family(name, type, help);
    Sample(name, "", value);
  }
  // One sample per key of a JSON object of counts; the keys `known` with 0 when missing.
  void ByKey(const char* name, const char* type, const char* help, const char* label, const Json& object,
             std::vector<std::string> known) {
    Family(name, type, help);
    if (object.is_object()) {
      for (const auto& item : object.items()) {
        if (std::find(known.begin(), known.end(), item.key()) == known.end()) known.push_back(item.key());
      }
    }
    for (const std::string& key : known) {
      Sample(name, std::string(label) + "=\"" + LabelValue(key) + "\"", Field(object, key.c_str()));
    }
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

}  // namespace

std::string WebEventText(const SXFleetEvent& event) {
  std::string text = "event: " + event.type + "\nid: " + std::to_string(event.id) + "\n";
  size_t start = 0;
  for (;;) {
    const size_t end = event.data.find('\n', start);
    text += "data: " + event.data.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return text + "\n";
}

struct CXWebServer::Histogram {
  std::array<uint64_t, kBuckets.size()> buckets{};
  uint64_t count = 0;
  double sum = 0;
};

// ---- the listener (the connections: server/web_connection.h) -----------------------

void CXWebServer::Impl::Accept() {
  acceptor_.async_accept(net::make_strand(loop_), [this](const boost::system::error_code& e, tcp::socket socket) {
    if (e == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (!e) {
      SXWebCounters& counters = server_.counters();
      if (counters.connections_open.load() >= static_cast<uint64_t>(server_.options().tuning.max_connections)) {
        ++counters.connections_refused;
        boost::system::error_code ignored;
        socket.close(ignored);
      } else {
        boost::system::error_code peer_error;
        const tcp::endpoint peer = socket.remote_endpoint(peer_error);
        const std::string peer_text = peer_error ? std::string("?") : PeerText(peer);
        if (tls_on_) {
          RunWebTlsConnection(server_, *this, peer_text, std::move(socket));
        } else {
          RunWebConnection(server_, *this, peer_text, std::move(socket));
        }
      }
    }
    Accept();
  });
}

// ---- the server ---------------------------------------------------------------------

CXWebServer::CXWebServer(SXWebServerOptions options) : options_(std::move(options)) {
  if (!options_.now) options_.now = ClockSeconds;
  impl_ = std::make_unique<Impl>(*this);
  auth_ = std::make_unique<CXWebAuth>(
      *options_.catalog, options_.log, tls(), options_.tuning.sign_in, options_.now,
      [impl = impl_.get()](int64_t ms, std::function<void()> then) { impl->Later(ms, std::move(then)); });
  std::vector<SXWebRoute> routes = auth_->Routes();
  routes.push_back({"GET", "/api/v1/events", false,
                    [this](const SXWebRequest& request, WebReply reply) { Events(request, reply); },
                    "the fleet's events as they happen (Server-Sent Events)", 0});
  routes.push_back({"GET", "/metrics", false,
                    [this](const SXWebRequest& request, WebReply reply) { Metrics(request, reply); },
                    "the server's numbers in Prometheus' text format", 0});
  for (SXWebRoute& route : options_.routes) routes.push_back(std::move(route));
  options_.routes.clear();
  router_ = std::make_unique<CXWebRouter>(std::move(routes));
}

CXWebServer::~CXWebServer() {
  Stop();
  // The connections go with the loop's handlers, while what they use is still here.
  impl_.reset();
}

bool CXWebServer::Start(std::string* error) {
  Impl& impl = *impl_;
  boost::system::error_code e;
  if (tls()) {
    impl.tls_.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                              net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                              net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use,
                          e);
    if (!e) impl.tls_.use_certificate_chain_file(options_.tls_cert, e);
    if (!e) impl.tls_.use_private_key_file(options_.tls_key, net::ssl::context::pem, e);
    if (e) {
      *error = "web console: cannot use the TLS certificate and key: " + e.message();
      return false;
    }
    impl.tls_on_ = true;
  }
  const net::ip::address address = net::ip::make_address(options_.address, e);
  if (e) {
    *error = "web console: '" + options_.address + "' is no IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  impl.acceptor_.open(endpoint.protocol(), e);
  if (!e) impl.acceptor_.set_option(net::socket_base::reuse_address(true), e);
  if (!e) impl.acceptor_.bind(endpoint, e);
  if (!e) impl.acceptor_.listen(net::socket_base::max_listen_connections, e);
  if (e) {
    *error = "web console: cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " +
             e.message();
    return false;
  }
  port_ = impl.acceptor_.local_endpoint().port();
  impl.work_.emplace(impl.loop_.get_executor());
  impl.Accept();
  for (int i = 0; i < std::max(1, options_.tuning.threads); ++i) impl.threads_.emplace_back([&impl] { impl.loop_.run(); });
  if (options_.log != nullptr) options_.log->Write(LogLevel::kInfo, "web console at " + Url());
  return true;
}

void CXWebServer::Stop() {
  if (impl_ == nullptr) return;
  Impl& impl = *impl_;
  {
    // No listener of an event stream may post into a loop that is going.
    std::lock_guard<std::mutex> lock(impl.streams_lock_);
    if (impl.stopped_.exchange(true) && impl.threads_.empty()) return;
    for (uint64_t id : impl.streams_) options_.events->Unsubscribe(id);
    impl.streams_.clear();
  }
  net::post(impl.loop_, [&impl] {
    boost::system::error_code ignored;
    impl.acceptor_.close(ignored);
  });
  impl.work_.reset();
  impl.loop_.stop();
  for (std::thread& thread : impl.threads_) thread.join();
  impl.threads_.clear();
}

std::string CXWebServer::Url() const {
  const bool v6 = options_.address.find(':') != std::string::npos;
  return std::string(tls() ? "https://" : "http://") + (v6 ? "[" + options_.address + "]" : options_.address) + ":" +
         std::to_string(port_) + "/";
}

size_t CXWebServer::BodyLimit(const SXWebRequest& request) const {
  WebPairs params;
  CXWebRouter::Match match;
  std::string allowed;
  const SXWebRoute* route = router_->Find(request.method, request.path, &params, &match, &allowed);
  return route != nullptr && route->max_body > 0 ? route->max_body : kWebBodyLimit;
}

void CXWebServer::AddCommonHeaders(const std::string& path, SXWebResponse* response) {
  if (!HasHeader(*response, "Content-Security-Policy")) {
    response->headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
  }
  if (!HasHeader(*response, "X-Content-Type-Options")) response->headers.emplace_back("X-Content-Type-Options", "nosniff");
  if (!HasHeader(*response, "Referrer-Policy")) response->headers.emplace_back("Referrer-Policy", "no-referrer");
  if (IsApiPath(path) && !HasHeader(*response, "Cache-Control")) {
    response->headers.emplace_back("Cache-Control", "no-store");
  }
}

void CXWebServer::CountAnswer(int status, const std::string& pattern, double seconds) {
  std::lock_guard<std::mutex> lock(metrics_lock_);
  auto code = std::find_if(answers_.begin(), answers_.end(), [&](const auto& p) { return p.first == status; });
  if (code == answers_.end()) {
    answers_.emplace_back(status, 1);
  } else {
    ++code->second;
  }
  if (pattern == "(refused)") return;
  auto it = std::find_if(durations_.begin(), durations_.end(), [&](const auto& p) { return p.first == pattern; });
  if (it == durations_.end()) {
    durations_.emplace_back(pattern, std::make_shared<Histogram>());
    it = durations_.end() - 1;
  }
  Histogram& histogram = *it->second;
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++histogram.buckets[i];
  }
  ++histogram.count;
  histogram.sum += seconds;
}

void CXWebServer::Handle(SXWebRequest request, WebReply reply) {
  const auto start = std::chrono::steady_clock::now();
  WebPairs params;
  CXWebRouter::Match match = CXWebRouter::Match::kNoPath;
  std::string allowed;
  const SXWebRoute* route = IsApiPath(request.path)
                                ? router_->Find(request.method, request.path, &params, &match, &allowed)
                                : nullptr;
  const std::string pattern = route != nullptr ? route->pattern : IsApiPath(request.path) ? "(unknown)" : "(page)";
  WebReply answer = [this, pattern, start, reply = std::move(reply)](SXWebResponse response) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CountAnswer(response.status, pattern, seconds);
    // The time the server took (sign-in, handler, catalog), for the browser's tools and the benchmark.
    char timing[48];
    std::snprintf(timing, sizeof timing, "app;dur=%.2f", seconds * 1000);
    response.headers.emplace_back("Server-Timing", timing);
    reply(std::move(response));
  };
  if (!IsApiPath(request.path)) return Static(request, answer);
  if (route == nullptr) {
    if (match == CXWebRouter::Match::kNoMethod) {
      SXWebResponse response = JsonError(405, "method", request.method + " is not one of " + allowed);
      response.headers.emplace_back("Allow", allowed);
      return answer(std::move(response));
    }
    return answer(JsonError(404, "not-found", "no such API path"));
  }
  request.params = std::move(params);
  if (!CXWebAuth::IsOpen(*route)) {
    SXWebResponse refusal;
    if (!auth_->Authorise(&request, route->action, &refusal)) return answer(std::move(refusal));
  }
  try {
    route->handler(request, answer);
  } catch (const std::exception& e) {
    // A handler that threw answered nothing yet: answered here (a second answer would be dropped).
    answer(JsonError(500, "internal", std::string("the server failed: ") + e.what()));
  }
}

void CXWebServer::Static(const SXWebRequest& request, const WebReply& reply) {
  if (request.method != "GET") {
    SXWebResponse response = JsonError(405, "method", "pages are only read (GET)");
    response.headers.emplace_back("Allow", "GET");
    return reply(std::move(response));
  }
  const SXWebAsset* asset = FindWebAsset(request.path);
  if (asset == nullptr) {
    SXWebResponse response;
    response.status = 404;
    response.content_type = "text/plain; charset=utf-8";
    response.body = "not found\n";
    return reply(std::move(response));
  }
  SXWebResponse response;
  response.content_type = std::string(asset->content_type);
  response.body = std::string(asset->bytes);
  reply(std::move(response));
}

void CXWebServer::Events(const SXWebRequest& request, const WebReply& reply) {
  if (options_.events == nullptr) return reply(JsonError(503, "unavailable", "this server has no event stream"));
  SXWebResponse response;
  response.content_type = "text/event-stream";
  response.event_stream = true;
  const std::string last = request.Header("last-event-id");
  if (!last.empty() && last.size() <= 19 && std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    response.events_since = std::stoull(last);
  }
  response.headers.emplace_back("Cache-Control", "no-store");
  reply(std::move(response));
}

void CXWebServer::Metrics(const SXWebRequest&, const WebReply& reply) {
  SXWebResponse response;
  response.content_type = "text/plain; version=0.0.4; charset=utf-8";
  response.body = MetricsText();
  reply(std::move(response));
}

std::string CXWebServer::MetricsText() {
  Json health = Json::object();
  if (options_.actions != nullptr) {
    try {
      health = options_.actions->Health();
    } catch (const std::exception&) {
      health = Json::object();
    }
  }
  CXMetricsText m;
  m.One("orvalinth_uptime_seconds", "gauge", "Seconds since the fleet server started.", Field(health, "uptime_seconds"));
  m.One("orvalinth_agents_connected", "gauge", "Agents with a link now.", Field(health, "agents_connected"));
  m.ByKey("orvalinth_sessions", "gauge", "Agents' links by what they are doing.", "state",
          health.value("sessions", Json::object()), {"greeting", "idle", "downloading", "scanning"});
  m.One("orvalinth_links_accepted_total", "counter", "Agents' links accepted.", Field(health, "links_accepted"));
  m.One("orvalinth_links_refused_total", "counter", "Agents' links refused.", Field(health, "links_refused"));
  m.One("orvalinth_violations_total", "counter", "Links closed for breaking the protocol.", Field(health, "violations"));
  m.ByKey("orvalinth_scans_total", "counter", "Scans by how they went.", "result", health.value("scans", Json::object()),
          {"started", "done", "failed", "stopped"});
  m.One("orvalinth_snapshots_ingested_total", "counter", "Snapshots stored.", Field(health, "snapshots_stored"));
  m.One("orvalinth_bytes_ingested_total", "counter", "Bytes of snapshots stored.", Field(health, "bytes_stored"));
  m.One("orvalinth_downloads_failed_total", "counter", "Snapshot downloads that failed.",
        Field(health, "downloads_failed"));
  m.One("orvalinth_downloads_now", "gauge", "Snapshot downloads under way.", Field(health, "downloads_now"));
  m.One("orvalinth_comparison_queue_length", "gauge", "Snapshots waiting for their comparison.",
        Field(health, "comparison_queue"));
  m.One("orvalinth_comparison_seconds_total", "counter", "Seconds spent comparing snapshots.",
        Field(health, "comparison_seconds_total"));
  m.Family("orvalinth_comparisons_total", "counter", "Comparisons by how they went.");
  m.Sample("orvalinth_comparisons_total", "result=\"ok\"", Field(health, "comparisons_done"));
  m.Sample("orvalinth_comparisons_total", "result=\"failed\"", Field(health, "comparisons_failed"));
  m.ByKey("orvalinth_nodes", "gauge", "Fleet server nodes sharing the catalog, alive or dead, at this node's last beat.",
          "state", health.value("nodes", Json::object()), {"alive", "dead"});
  m.ByKey("orvalinth_errors_total", "counter", "Errors by kind.", "kind", health.value("errors", Json::object()), {});
  m.One("orvalinth_http_connections_open", "gauge", "Web console connections open.",
        static_cast<double>(counters_.connections_open.load()));
  m.One("orvalinth_http_connections_refused_total", "counter", "Web console connections refused at accept (too many).",
        static_cast<double>(counters_.connections_refused.load()));
  m.One("orvalinth_http_event_streams_dropped_total", "counter", "Event streams dropped for a reader too slow.",
        static_cast<double>(counters_.streams_dropped.load()));
  m.One("orvalinth_http_sign_in_failures_total", "counter", "Failed sign-ins to the web console.",
        static_cast<double>(auth_->sign_in_failures()));
  std::lock_guard<std::mutex> lock(metrics_lock_);
  m.Family("orvalinth_http_requests_total", "counter", "Web console answers by status code.");
  std::vector<std::pair<int, uint64_t>> answers = answers_;
  std::sort(answers.begin(), answers.end());
  for (const auto& code : answers) {
    m.Sample("orvalinth_http_requests_total", "code=\"" + std::to_string(code.first) + "\"",
             static_cast<double>(code.second));
  }
  m.Family("orvalinth_http_request_duration_seconds", "histogram", "Web console answers' time by route.");
  for (const auto& entry : durations_) {
    const std::string route = "route=\"" + LabelValue(entry.first) + "\"";
    const Histogram& h = *entry.second;
    for (size_t i = 0; i < kBuckets.size(); ++i) {
      m.Sample("orvalinth_http_request_duration_seconds_bucket", route + ",le=\"" + Number(kBuckets[i]) + "\"",
               static_cast<double>(h.buckets[i]));
    }
    m.Sample("orvalinth_http_request_duration_seconds_bucket", route + ",le=\"+Inf\"", static_cast<double>(h.count));
    m.Sample("orvalinth_http_request_duration_seconds_sum", route, h.sum);
    m.Sample("orvalinth_http_request_duration_seconds_count", route, static_cast<double>(h.count));
  }
  return std::move(m.text());
}

}  // namespace orvalinth::server
