#pragma once
// What the web console's HTTP layer (server/http_server.h) hands to the
// handlers of the JSON API and the pages, and what they hand back.
//
// A handler gets the request already read whole, parsed, limited and
// authorised (user_id is the signed-in person or the token's owner), and
// answers through `reply` exactly once, on any thread: at once for what the
// catalog answers, later for what waits on an agent (a live browse).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvalinth::server {

using Json = nlohmann::ordered_json;

struct SXWebRequest {
  std::string method;  // "GET", "POST", "PUT", "DELETE"
  std::string target;  // as sent: path and query
  std::string path;    // percent-decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;    // decoded, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names lower case
  std::vector<std::pair<std::string, std::string>> params;   // the route's {names}
  std::string body;
  std::string peer;  // "127.0.0.1:51234"

  // Who asks (set by the authorisation before any handler runs).
  int64_t user_id = 0;
  std::string user_name;
  bool by_token = false;

  // The first value of a query key, a header (lower-case name) or a route parameter; `fallback` when absent.
  std::string Query(std::string_view key, std::string fallback = std::string()) const;
  bool HasQuery(std::string_view key) const;
  std::string Header(std::string_view name, std::string fallback = std::string()) const;
  std::string Param(std::string_view name) const;
};

struct SXWebResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // besides those every answer carries
  // When set, the body is this file (an absolute path), streamed, with
  // `download_name` as the attachment's name.
  std::string file_path;
  std::string download_name;
  // When set, the connection becomes the fleet's event stream (GET
  // /api/v1/events): the events after `events_since` and every one
  // published later, until the reader goes.
  bool event_stream = false;
  uint64_t events_since = 0;
};

using WebReply = std::function<void(SXWebResponse)>;
using WebHandler = std::function<void(const SXWebRequest&, WebReply)>;

struct SXWebRoute {
  std::string method;   // "GET", "POST", ...
  std::string pattern;  // "/api/v1/machines/{uid}/snapshots": {name} is one path segment
  // An action changes something: with a session cookie it needs the
  // session's CSRF token in "X-CSRF-Token" (a token's caller needs none).
  bool action = false;
  WebHandler handler;
  std::string summary;  // one line, for the README's table and the tests
  size_t max_body = 0;  // the largest body taken (0: the server's default, 1 MiB)
};

// The answers every handler uses: {"error": {"code": ..., "message": ...}}
// with the status; a JSON value with 200 (or `status`).
SXWebResponse JsonError(int status, std::string_view code, std::string_view message);
SXWebResponse JsonAnswer(const Json& value, int status = 200);

// The pages, styles and scripts built into the program (server/web/).
struct SXWebAsset {
  std::string_view path;          // "/index.html", "/app.js", ...
  std::string_view content_type;  // "text/html; charset=utf-8", ...
  std::string_view bytes;
};
// The asset of `path` ("/" is "/index.html"), or null.
const SXWebAsset* FindWebAsset(std::string_view path);

}  // namespace orvalinth::server
