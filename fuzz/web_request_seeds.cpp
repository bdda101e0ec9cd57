// Writes seed inputs for web_request_fuzz into the folder given as the
// argument: sign-ins, the session's and a token's calls with and without the
// CSRF token, bodies by length and chunked, pages, bad targets, two
// requests on one connection.

#include <string>
#include <vector>

#include "fuzz/seed_folder.h"
#include "fuzz/web_fuzz_secrets.h"

namespace {

using namespace orvalinth::fuzz;

std::string Request(const std::string& method, const std::string& target, const std::string& headers,
                    const std::string& body = "") {
  std::string text = method + " " + target + " HTTP/1.1\r\nHost: console\r\n" + headers;
  if (!body.empty()) text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

const std::string kCookie = std::string("Cookie: orvalinth_session=") + kWebSessionSecret + "\r\n";
const std::string kCsrf = std::string("X-CSRF-Token: ") + kWebCsrf + "\r\n";
const std::string kBearer = std::string("Authorization: Bearer ") + kWebToken + "\r\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string folder = argv[1];
  const std::vector<std::pair<const char*, std::string>> seeds = {
      {"sign_in", Request("POST", "/api/v1/session", "", R"({"name":"fuzz","password":"fuzz-password"})")},
      {"sign_in_wrong", Request("POST", "/api/v1/session", "", R"({"name":"fuzz","password":"x"})")},
      {"session", Request("GET", "/api/v1/session", kCookie)},
      {"sign_out", Request("DELETE", "/api/v1/session", kCookie + kCsrf)},
      {"users", Request("GET", "/api/v1/users", kBearer)},
      {"add_user", Request("POST", "/api/v1/users", kCookie + kCsrf, R"({"name":"ann","password":"long enough"})")},
      {"password", Request("POST", "/api/v1/password", kBearer, R"({"old":"fuzz-password","new":"fuzz-password"})")},
      {"tokens", Request("GET", "/api/v1/tokens", kCookie)},
      {"add_token", Request("POST", "/api/v1/tokens", kBearer, R"({"name":"ci"})")},
      {"delete_token", Request("DELETE", "/api/v1/tokens/2", kCookie + kCsrf)},
      {"no_csrf", Request("POST", "/api/v1/tokens", kCookie, R"({"name":"ci"})")},
      {"events", Request("GET", "/api/v1/events", kCookie + "Last-Event-ID: 3\r\n")},
      {"metrics", Request("GET", "/metrics", kBearer)},
      {"machines", Request("GET", "/api/v1/machines?online=1&name=pc%2A&sort=name&limit=10", kBearer)},
      {"page", Request("GET", "/app.js?v=1", "")},
      {"climb", Request("GET", "/a/%2e%2e/etc", "")},
      {"method", Request("PATCH", "/api/v1/tokens", kBearer)},
      {"chunked", "POST /api/v1/tokens HTTP/1.1\r\nHost: c\r\n" + kBearer +
                      "Transfer-Encoding: chunked\r\n\r\n5\r\n{\"nam\r\n9\r\ne\":\"ci\"}\r\n0\r\n\r\n"},
      {"two", Request("GET", "/api/v1/session", kBearer) + Request("DELETE", "/api/v1/tokens/1", kBearer)},
  };
  for (const auto& seed : seeds) WriteSeed(folder, seed.first, seed.second);
  return 0;
}
