#pragma once
// The web console's accounts and who asks: sign-in with a name and a
// password, the session cookie and its CSRF token, API tokens for scripts,
// and the routes of them (session, users, password, tokens).
//
// The catalog keeps only the SHA-256 of a cookie's or token's secret. A
// failed sign-in is logged (name and address, never the password) and its
// answer held back: each failure from an address or for a name doubles the
// delay, from first_delay_ms to longest_delay_ms, on a timer (no thread
// waits); too many failures from an address within the window shut it out
// (429) for a while.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/catalog.h"
#include "server/server_log.h"
#include "server/web_types.h"

namespace orvalinth::server {

inline constexpr char kSessionCookie[] = "orvalinth_session";
inline constexpr int64_t kSessionSeconds = 12 * 3600;
inline constexpr char kTokenPrefix[] = "orv_";

struct SXSignInTuning {
  int64_t first_delay_ms = 250;
  int64_t longest_delay_ms = 8000;
  int lockout_failures = 10;  // from one address within the window: shut out
  int64_t window_s = 600;
  int64_t lockout_s = 600;
  int password_work = 0;      // scrypt's log2 N for new hashes; 0: platform::kPasswordWork
};

// Runs `then` after `ms` milliseconds (at once for 0), holding no thread.
using WebDelay = std::function<void(int64_t ms, std::function<void()> then)>;

class CXWebAuth {
 public:
  // `log` may be null; `secure`: the cookie only over HTTPS.
  CXWebAuth(CXCatalog& catalog, CXServerLog* log, bool secure, const SXSignInTuning& tuning,
            std::function<int64_t()> now, WebDelay delay);

  // Who asks, by token ("Authorization: Bearer orv_...") or by session
  // cookie; an `action` by cookie needs the session's "X-CSRF-Token".
  // True with request->user_* set; else false with the answer (401
  // "unauthorised", 403 "csrf") in *refusal.
  bool Authorise(SXWebRequest* request, bool action, SXWebResponse* refusal);
  // The one route that takes requests before anyone signed in.
  static bool IsOpen(const SXWebRoute& route);

  // POST/GET/DELETE /api/v1/session, GET/POST /api/v1/users,
  // POST /api/v1/password, GET/POST /api/v1/tokens, DELETE /api/v1/tokens/{id}.
  std::vector<SXWebRoute> Routes();

  uint64_t sign_in_failures() const;

 private:
  struct Failures {
    std::vector<int64_t> times;  // within the window, oldest first
    int64_t shut_until = 0;
  };

  void SignIn(const SXWebRequest& request, const WebReply& reply);
  void CurrentSession(const SXWebRequest& request, const WebReply& reply);
  void SignOut(const SXWebRequest& request, const WebReply& reply);
  void ListUsers(const SXWebRequest& request, const WebReply& reply);
  void AddUser(const SXWebRequest& request, const WebReply& reply);
  void ChangePassword(const SXWebRequest& request, const WebReply& reply);
  void ListTokens(const SXWebRequest& request, const WebReply& reply);
  void AddToken(const SXWebRequest& request, const WebReply& reply);
  void DeleteToken(const SXWebRequest& request, const WebReply& reply);

  // A new session of the user: its cookie header in *cookie, its CSRF token returned ("" on failure).
  std::string NewSession(int64_t user_id, const std::string& address, std::string* cookie);
  std::string SessionCookie(const std::string& secret, int64_t max_age) const;
  std::string HashNew(const std::string& password) const;
  // Failures within the window of `key` (locked), oldest dropped.
  int CountLocked(const std::string& key, int64_t now);

  CXCatalog& catalog_;
  CXServerLog* log_;
  bool secure_;
  SXSignInTuning tuning_;
  std::function<int64_t()> now_;
  WebDelay delay_;
  std::string dummy_hash_;  // checked against for a name no user has, so that both take the same time

  mutable std::mutex lock_;
  std::map<std::string, Failures> failures_;  // "a:<address>", "n:<name, lower case>"
  uint64_t failure_count_ = 0;
};

// The cookie's value of a "Cookie" header ("" when it is not there).
std::string CookieValue(std::string_view header, std::string_view name);
// The SHA-256 of a text in lowercase hex (platform::HexText).
std::string Sha256Hex(std::string_view text);
// `bytes` random bytes as hex; "" when the system has no randomness.
std::string RandomHex(size_t bytes);
// The address of a peer "1.2.3.4:5678" / "[::1]:5678" without its port.
std::string PeerAddress(const std::string& peer);

// What a user name may be: 1 to 64 of A-Z a-z 0-9 . _ - @.
bool ValidUserName(const std::string& name);
// What a password must be: 8 to 1024 bytes.
bool ValidPassword(const std::string& password, std::string* why);

// At the first start (the catalog has no user): adds "admin" with a random
// password of 20 letters and digits in *password. False with *error when
// it could not; true with *password empty when there were users already.
bool CreateFirstUser(CXCatalog& catalog, int64_t now, std::string* password, std::string* error);
// Adds the user, or sets the password of the one of that name (its
// sessions end); *created tells which.
bool AddOrResetUser(CXCatalog& catalog, const std::string& name, const std::string& password, int64_t now,
                    bool* created, std::string* error);

}  // namespace orvalinth::server
