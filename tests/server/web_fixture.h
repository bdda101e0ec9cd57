#pragma once
// A web console for tests: CXWebServer on 127.0.0.1 (a free port) with a
// SQLite catalog in a temporary folder, quick limits and cheap password
// hashes; a user "alice" to sign in; and a client on Boost.Beast's
// synchronous HTTP, one connection per request, that carries a session's
// cookie and CSRF token or an API token.

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/password_hash.h"
#include "platform/posix/drive_table.h"
#include "server/fleet_events.h"
#include "server/http_server.h"
#include "server/sqlite_catalog.h"
#include "server/web_api.h"
#include "test_support.h"

namespace orvalinth::test {

inline constexpr char kWebUser[] = "alice";
inline constexpr char kWebPassword[] = "correct horse battery";

// Limits a test can wait out: sign-in delays of a few milliseconds, cheap hashes.
inline server::SXWebTuning QuickWebTuning() {
  server::SXWebTuning t;
  t.request_ms = 2000;
  t.idle_ms = 5000;
  t.sign_in.first_delay_ms = 1;
  t.sign_in.longest_delay_ms = 8;
  t.sign_in.password_work = 10;
  return t;
}

struct SXHttpAnswer {
  int status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;

  std::string Header(const std::string& name) const {
    for (const auto& h : headers) {
      if (boost::beast::iequals(h.first, name)) return h.second;
    }
    return std::string();
  }
  server::Json Json() const { return server::Json::parse(body, nullptr, false); }
  std::string ErrorCode() const {
    const server::Json j = Json();
    return j.is_object() && j.contains("error") ? j["error"].value("code", "") : "";
  }
};

class WebFixture {
 public:
  // `tls`: HTTPS with a test certificate (tests/fixtures/tls); the client trusts any.
  explicit WebFixture(server::SXWebTuning tuning = QuickWebTuning(), server::CXFleetActions* actions = nullptr,
                      bool tls = false)
      : data_(platform::posix::ToHostPath(folder_.path())), tls_(tls) {
    if (data_.empty() || data_.back() != '/') data_ += '/';
    std::string error;
    catalog_ = server::OpenSqliteCatalog(data_ + "catalog.db", &error);
    EXPECT_NE(catalog_, nullptr) << error;
    EXPECT_TRUE(log_.Open(data_ + "server.log", &error)) << error;
    api_.catalog = catalog_.get();
    api_.events = &events_;
    api_.data_folder = data_;
    server::SXWebServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    options.catalog = catalog_.get();
    options.actions = actions;
    options.events = &events_;
    options.log = &log_;
    options.routes = server::FleetApiRoutes(api_);
    options.tuning = tuning;
#ifdef ORVALINTH_SERVER_TLS_FIXTURES
    if (tls) {
      options.tls_cert = ORVALINTH_SERVER_TLS_FIXTURES "/p256.crt";
      options.tls_key = ORVALINTH_SERVER_TLS_FIXTURES "/p256.key";
    }
#endif
    server_ = std::make_unique<server::CXWebServer>(std::move(options));
    EXPECT_TRUE(server_->Start(&error)) << error;
    AddUser(kWebUser, kWebPassword);
  }
  ~WebFixture() { server_->Stop(); }
  WebFixture(const WebFixture&) = delete;
  WebFixture& operator=(const WebFixture&) = delete;

  server::CXWebServer& server() { return *server_; }
  server::CXCatalog& catalog() { return *catalog_; }
  server::CXFleetEvents& events() { return events_; }
  uint16_t port() const { return server_->port(); }
  std::string log_path() const { return data_ + "server.log"; }

  int64_t AddUser(const std::string& name, const std::string& password) {
    server::SXUserRow row;
    row.name = name;
    row.password_hash = platform::HashPasswordWithWork(password, 10);
    row.role = "admin";
    int64_t id = 0;
    EXPECT_TRUE(catalog_->AddUser(row, &id));
    return id;
  }

  // One request on a connection of its own; status 0 when the server closed it unanswered.
  SXHttpAnswer Request(const std::string& method, const std::string& target, const std::string& body = "",
                       const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    namespace http = boost::beast::http;
    SXHttpAnswer answer;
    try {
      boost::asio::io_context io;
      boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
      boost::beast::ssl_stream<boost::asio::ip::tcp::socket> stream(io, tls);
      boost::asio::ip::tcp::socket& socket = stream.next_layer();
      socket.connect({boost::asio::ip::make_address("127.0.0.1"), port()});
      if (tls_) stream.handshake(boost::asio::ssl::stream_base::client);
      http::request<http::string_body> request{http::string_to_verb(method), target, 11};
      request.set(http::field::host, "127.0.0.1");
      for (const auto& h : headers) request.set(h.first, h.second);
      if (!body.empty() && request[http::field::content_type].empty()) {
        request.set(http::field::content_type, "application/json");
      }
      request.body() = body;
      request.prepare_payload();
      boost::beast::flat_buffer buffer;
      http::response<http::string_body> response;
      if (tls_) {
        http::write(stream, request);
        http::read(stream, buffer, response);
      } else {
        http::write(socket, request);
        http::read(socket, buffer, response);
      }
      answer.status = static_cast<int>(response.result_int());
      answer.body = response.body();
      for (const auto& field : response) answer.headers.emplace_back(field.name_string(), field.value());
    } catch (const std::exception&) {
      answer.status = 0;
    }
    return answer;
  }

  // A signed-in browser: its cookie and CSRF token go with every request.
  struct Client {
    WebFixture* fixture = nullptr;
    std::string cookie;  // "orvalinth_session=..."
    std::string csrf;
    std::string token;   // "orv_..." instead of the cookie when set

    SXHttpAnswer Send(const std::string& method, const std::string& target, const std::string& body = "",
                      std::vector<std::pair<std::string, std::string>> headers = {}) const {
      if (!token.empty()) {
        headers.emplace_back("Authorization", "Bearer " + token);
      } else {
        headers.emplace_back("Cookie", cookie);
        if (!csrf.empty()) headers.emplace_back("X-CSRF-Token", csrf);
      }
      return fixture->Request(method, target, body, headers);
    }
    SXHttpAnswer Get(const std::string& target) const { return Send("GET", target); }
  };

  // Signs in (EXPECTs it to work); *answer gets the sign-in's answer when asked.
  Client SignIn(const std::string& name = kWebUser, const std::string& password = kWebPassword,
                SXHttpAnswer* answer = nullptr) {
    const server::Json body{{"name", name}, {"password", password}};
    SXHttpAnswer signed_in = Request("POST", "/api/v1/session", body.dump());
    EXPECT_EQ(signed_in.status, 200) << signed_in.body;
    Client client;
    client.fixture = this;
    const std::string cookie = signed_in.Header("Set-Cookie");
    client.cookie = cookie.substr(0, cookie.find(';'));
    const server::Json json = signed_in.Json();
    if (json.is_object()) client.csrf = json.value("csrf", "");
    if (answer != nullptr) *answer = signed_in;
    return client;
  }

  // An API token of a signed-in client's user.
  Client NewToken(const Client& by, const std::string& name = "script") {
    SXHttpAnswer made = by.Send("POST", "/api/v1/tokens", server::Json{{"name", name}}.dump());
    EXPECT_EQ(made.status, 200) << made.body;
    Client client;
    client.fixture = this;
    const server::Json json = made.Json();
    if (json.is_object()) client.token = json.value("token", "");
    return client;
  }

 private:
  TempFolder folder_;
  std::string data_;
  bool tls_ = false;
  server::CXServerLog log_;
  std::unique_ptr<server::CXCatalog> catalog_;
  server::CXFleetEvents events_;
  server::SXApiContext api_;
  std::unique_ptr<server::CXWebServer> server_;
};

}  // namespace orvalinth::test
