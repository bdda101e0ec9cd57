// Arbitrary bytes as what a browser sends the web console: Beast's request
// parser with the server's limits (header 16 KiB, the route's body limit
// set once the header is read, as the connection does), the request built
// and decoded (BuildWebRequest), then CXWebServer::Handle over the real
// route table (the accounts, events, /metrics, the fleet API) with a SQLite
// catalog in a scratch folder. The catalog holds a user with a session and
// a token whose secrets the seeds carry (fuzz/web_fuzz_secrets.h), so that
// inputs reach the handlers behind the authorisation.
//
// Up to eight requests one after the other in an input (keep-alive); every
// request that parses gets exactly one answer, at once, carrying the
// headers every answer carries.

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzz_folder.h"
#include "fuzz/web_fuzz_secrets.h"
#include "platform/password_hash.h"
#include "server/fleet_events.h"
#include "server/http_server.h"
#include "server/sqlite_catalog.h"
#include "server/web_api.h"
#include "server/web_auth.h"
#include "server/web_router.h"

namespace orvalinth {
namespace {

namespace http = boost::beast::http;

struct Console {
  Console() {
    std::string error;
    catalog = server::OpenSqliteCatalog((fuzz::Scratch().host() / "web.db").string(), &error);
    if (catalog == nullptr) std::abort();
    server::SXUserRow user;
    user.name = fuzz::kWebUser;
    user.password_hash = platform::HashPasswordWithWork(fuzz::kWebPassword, 10);
    user.role = "admin";
    int64_t id = 0;
    if (!catalog->AddUser(user, &id)) std::abort();
    server::SXWebSessionRow session;
    session.secret_hash = server::Sha256Hex(fuzz::kWebSessionSecret);
    session.user_id = id;
    session.csrf_token = fuzz::kWebCsrf;
    session.expires_time = INT64_MAX;
    server::SXApiTokenRow token;
    token.user_id = id;
    token.name = "fuzz";
    token.secret_hash = server::Sha256Hex(fuzz::kWebToken);
    int64_t token_id = 0;
    if (!catalog->AddWebSession(session) || !catalog->AddApiToken(token, &token_id)) std::abort();
    api.catalog = catalog.get();
    api.events = &events;
    api.data_folder = fuzz::Scratch().host().string();
    api.now = [] { return int64_t{1800000000}; };
    server::SXWebServerOptions options;
    options.catalog = catalog.get();
    options.events = &events;
    options.routes = server::FleetApiRoutes(api);
    options.now = api.now;
    // Answers at once: no delay after failed sign-ins, cheap hashes.
    options.tuning.sign_in.first_delay_ms = 0;
    options.tuning.sign_in.longest_delay_ms = 0;
    options.tuning.sign_in.password_work = 10;
    web = std::make_unique<server::CXWebServer>(std::move(options));
  }

  std::unique_ptr<server::CXCatalog> catalog;
  server::CXFleetEvents events;
  server::SXApiContext api;
  std::unique_ptr<server::CXWebServer> web;
};

Console& TheConsole() {
  static Console console;
  return console;
}

// One answer, carrying the common headers; a second one, or none, is a fault.
void Answer(server::CXWebServer& web, server::SXWebRequest request) {
  int answers = 0;
  const std::string path = request.path;
  web.Handle(std::move(request), [&](server::SXWebResponse response) {
    ++answers;
    server::CXWebServer::AddCommonHeaders(path, &response);
    if (response.status < 200 || response.status > 599 || response.headers.size() < 3) std::abort();
  });
  if (answers != 1) std::abort();
}

}  // namespace
}  // namespace orvalinth

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvalinth;
  Console& console = TheConsole();
  const char* at = reinterpret_cast<const char*>(data);
  size_t left = size;
  for (int requests = 0; requests < 8 && left > 0; ++requests) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<uint32_t>(server::kWebHeaderLimit));
    parser.body_limit(console.web->router().largest_body());
    parser.eager(true);
    boost::system::error_code e;
    bool header_seen = false;
    server::SXWebRequest request;
    while (left > 0 && !parser.is_done()) {
      const size_t used = parser.put(boost::asio::buffer(at, left), e);
      at += used;
      left -= used;
      if (e == http::error::need_more) return 0;  // cut off: the connection's time would run out
      if (e) return 0;                            // 431, 413 or 400, and the connection ends
      if (parser.is_header_done() && !header_seen) {
        header_seen = true;
        server::SXWebResponse refusal;
        if (!server::BuildWebRequest(parser.get().base(), "192.0.2.1:40000", &request, &refusal)) return 0;
        const size_t limit = console.web->BodyLimit(request);
        const auto length = parser.content_length();
        if (length && *length > limit) return 0;
        parser.body_limit(limit);
      }
      if (used == 0 && !parser.is_done()) return 0;
    }
    if (!parser.is_done()) return 0;
    request.body = std::move(parser.get().body());
    Answer(*console.web, std::move(request));
  }
  return 0;
}
