#pragma once
// The web console's requests apart from the sockets: the target split into
// a decoded path and query, the request built from a parsed header, and
// the routes matched by method and pattern. http_server.cpp reads the bytes;
// fuzz/web_request_fuzz.cpp feeds these the same way.

#include <boost/beast/http/message.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/web_types.h"

namespace orvalinth::server {

// What a request may bring, for the parser and the router.
inline constexpr size_t kWebHeaderLimit = 16 * 1024;
inline constexpr size_t kWebBodyLimit = 1024 * 1024;

using WebPairs = std::vector<std::pair<std::string, std::string>>;

// %XX decoded (and '+' as a blank when `plus_is_space`, as in a query);
// false for a bad escape or a NUL.
bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out);

// Splits a request target ("/a/b?x=1&y") into its decoded path and query
// pairs. False with *error for a target that is no absolute path, a bad
// escape, a NUL, a control character or a ".." or "." segment in the path.
bool ParseTarget(std::string_view target, std::string* path, WebPairs* query, std::string* error);

// The request of a parsed header (without its body): method, target,
// path, query, headers (names lower case), peer. False with the answer
// (400) in *refusal when it is unusable.
bool BuildWebRequest(const boost::beast::http::request_header<>& header, const std::string& peer,
                     SXWebRequest* request, SXWebResponse* refusal);

// The route table: each pattern's segments are literals or {names}; of the
// routes whose pattern fits a path, the one with the most literal segments
// leading wins (so "/tokens/new" beats "/tokens/{id}").
class CXWebRouter {
 public:
  enum class Match { kFound, kNoPath, kNoMethod };

  explicit CXWebRouter(std::vector<SXWebRoute> routes);

  // The route of `method` and `path` with its {names} in *params; null with
  // kNoPath (404) or kNoMethod (405, *allowed the methods that would do, as
  // "GET, POST").
  const SXWebRoute* Find(std::string_view method, std::string_view path, WebPairs* params, Match* match,
                         std::string* allowed) const;
  const std::vector<SXWebRoute>& routes() const { return routes_; }
  // The largest body any route takes.
  size_t largest_body() const { return largest_body_; }

 private:
  struct Pattern {
    std::vector<std::string> segments;
    std::vector<bool> parameter;
  };
  std::vector<SXWebRoute> routes_;
  std::vector<Pattern> patterns_;
  size_t largest_body_ = kWebBodyLimit;
};

// The segments of a path ("/a/b/" is "a", "b", "").
std::vector<std::string_view> PathSegments(std::string_view path);

}  // namespace orvalinth::server
