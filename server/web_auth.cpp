#include "server/web_auth.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "platform/crypto.h"
#include "platform/password_hash.h"

namespace orvalinth::server {
namespace {

constexpr size_t kSecretBytes = 32;
constexpr int64_t kTokenTouchSeconds = 60;  // a token's last_used is written at most this often

bool IsHex(std::string_view text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Equal texts, in a time that does not tell where they differ.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

SXWebResponse Unauthorised(std::string_view why) { return JsonError(401, "unauthorised", why); }

// The request's JSON object, or false with the 400 answered.
bool ReadObject(const SXWebRequest& request, const WebReply& reply, Json* body) {
  try {
    *body = Json::parse(request.body);
  } catch (const std::exception&) {
    reply(JsonError(400, "bad-request", "the body is no JSON"));
    return false;
  }
  if (!body->is_object()) {
    reply(JsonError(400, "bad-request", "the body is no JSON object"));
    return false;
  }
  return true;
}

// A string member, or false with the 400 answered.
bool ReadString(const Json& body, const char* key, const WebReply& reply, std::string* value) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_string()) {
    reply(JsonError(400, "bad-request", std::string("\"") + key + "\" must be a string"));
    return false;
  }
  *value = it->get<std::string>();
  return true;
}

Json UserJson(const SXUserRow& user) { return Json{{"id", user.id}, {"name", user.name}, {"role", user.role}}; }

SXWebResponse CatalogError(const SXCatalogStatus& status) {
  return JsonError(500, "catalog", "the catalog failed: " + status.message);
}

}  // namespace

std::string Sha256Hex(std::string_view text) {
  const platform::Sha256Digest digest = platform::Crypto::Get().Sha256(text.data(), text.size());
  return platform::HexText(digest.data(), digest.size());
}

std::string RandomHex(size_t bytes) {
  std::vector<uint8_t> data(bytes);
  if (!platform::RandomBytes(data.data(), data.size())) return std::string();
  return platform::HexText(data.data(), data.size());
}

std::string PeerAddress(const std::string& peer) {
  // "[v6]:port" or "v4:port"; anything else is kept whole.
  const size_t colon = peer.rfind(':');
  if (colon == std::string::npos) return peer;
  if (peer.front() == '[') return peer[colon - 1] == ']' ? peer.substr(1, colon - 2) : peer;
  return peer.find(':') == colon ? peer.substr(0, colon) : peer;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t semicolon = header.find(';');
    std::string_view pair = header.substr(0, semicolon);
    header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    while (!pair.empty() && pair.back() == ' ') pair.remove_suffix(1);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
  }
  return std::string();
}

bool ValidUserName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '@';
  });
}

bool ValidPassword(const std::string& password, std::string* why) {
  if (password.size() < 8) {
    *why = "a password has 8 characters or more";
    return false;
  }
  if (password.size() > 1024) {
    *why = "a password has at most 1024 bytes";
    return false;
  }
  return true;
}

bool CreateFirstUser(CXCatalog& catalog, int64_t now, std::string* password, std::string* error) {
  password->clear();
  std::vector<SXUserRow> users;
  SXCatalogStatus status = catalog.ListUsers(&users);
  if (!status) {
    *error = status.message;
    return false;
  }
  if (!users.empty()) return true;
  // Letters and digits that cannot be mistaken for one another when read off a screen.
  static const char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  const size_t alphabet = sizeof kAlphabet - 1;
  std::string text;
  while (text.size() < 20) {
    uint8_t byte = 0;
    if (!platform::RandomBytes(&byte, 1)) {
      *error = "the system has no random numbers";
      return false;
    }
    // Bytes past the last whole multiple of the alphabet would favour its first letters.
    if (byte < 256 - 256 % alphabet) text += kAlphabet[byte % alphabet];
  }
  bool created = false;
  if (!AddOrResetUser(catalog, "admin", text, now, &created, error)) return false;
  *password = text;
  return true;
}

bool AddOrResetUser(CXCatalog& catalog, const std::string& name, const std::string& password, int64_t now,
                    bool* created, std::string* error) {
  *created = false;
  if (!ValidUserName(name)) {
    *error = "a user name is 1 to 64 of the letters A-Z, a-z, the digits and . _ - @";
    return false;
  }
  if (!ValidPassword(password, error)) return false;
  const std::string hash = platform::HashPassword(password);
  if (hash.empty()) {
    *error = "cannot hash the password (no random numbers or no memory)";
    return false;
  }
  SXUserRow row;
  SXCatalogStatus status = catalog.FindUser(name, &row);
  if (status.ok()) {
    status = catalog.SetUserPassword(row.id, hash);
    if (status.ok()) status = catalog.PruneWebSessions(now, row.id);
  } else if (status.not_found()) {
    row = SXUserRow();
    row.name = name;
    row.password_hash = hash;
    row.role = "admin";
    row.created_time = now;
    int64_t id = 0;
    status = catalog.AddUser(row, &id);
    *created = status.ok();
  }
  if (!status) {
    *error = status.message;
    return false;
  }
  return true;
}

CXWebAuth::CXWebAuth(CXCatalog& catalog, CXServerLog* log, bool secure, const SXSignInTuning& tuning,
                     std::function<int64_t()> now, WebDelay delay)
    : catalog_(catalog), log_(log), secure_(secure), tuning_(tuning), now_(std::move(now)), delay_(std::move(delay)) {
  dummy_hash_ = HashNew(RandomHex(16));
}

std::string CXWebAuth::HashNew(const std::string& password) const {
  return tuning_.password_work > 0 ? platform::HashPasswordWithWork(password, tuning_.password_work)
                                   : platform::HashPassword(password);
}

bool CXWebAuth::IsOpen(const SXWebRoute& route) {
  return route.method == "POST" && route.pattern == "/api/v1/session";
}

bool CXWebAuth::Authorise(SXWebRequest* request, bool action, SXWebResponse* refusal) {
  const int64_t now = now_();
  const std::string authorization = request->Header("authorization");
  if (!authorization.empty()) {
    // A token asks for itself: a bad one is refused, never passed over for a cookie.
    const std::string prefix = std::string("Bearer ") + kTokenPrefix;
    if (authorization.compare(0, prefix.size(), prefix) != 0 ||
        !IsHex(std::string_view(authorization).substr(prefix.size()), kSecretBytes * 2)) {
      *refusal = Unauthorised("the Authorization header is no \"Bearer orv_...\" token");
      return false;
    }
    SXApiTokenRow token;
    SXUserRow user;
    SXCatalogStatus status = catalog_.FindApiToken(Sha256Hex(authorization.substr(7)), &token);
    if (status.ok()) status = catalog_.GetUser(token.user_id, &user);
    if (!status) {
      *refusal = status.not_found() ? Unauthorised("no such token (deleted?)") : CatalogError(status);
      return false;
    }
    if (now - token.last_used >= kTokenTouchSeconds) (void)catalog_.TouchApiToken(token.id, now);
    request->user_id = user.id;
    request->user_name = user.name;
    request->by_token = true;
    return true;
  }
  const std::string secret = CookieValue(request->Header("cookie"), kSessionCookie);
  if (secret.empty()) {
    *refusal = Unauthorised("sign in first");
    return false;
  }
  SXWebSessionRow session;
  SXUserRow user;
  SXCatalogStatus status = IsHex(secret, kSecretBytes * 2) ? catalog_.GetWebSession(Sha256Hex(secret), now, &session)
                                                            : SXCatalogStatus::Failed(CatalogCode::kNotFound, "");
  if (status.ok()) status = catalog_.GetUser(session.user_id, &user);
  if (!status) {
    *refusal = status.not_found() ? Unauthorised("the session has ended: sign in again") : CatalogError(status);
    return false;
  }
  if (action && !SameSecret(request->Header("x-csrf-token"), session.csrf_token)) {
    *refusal = JsonError(403, "csrf", "the X-CSRF-Token header is missing or not this session's");
    return false;
  }
  request->user_id = user.id;
  request->user_name = user.name;
  request->by_token = false;
  return true;
}

std::vector<SXWebRoute> CXWebAuth::Routes() {
  auto bind = [this](void (CXWebAuth::*method)(const SXWebRequest&, const WebReply&)) {
    return [this, method](const SXWebRequest& request, WebReply reply) { (this->*method)(request, reply); };
  };
  return {
      {"POST", "/api/v1/session", true, bind(&CXWebAuth::SignIn), "sign in: {name, password} -> user, csrf", 0},
      {"GET", "/api/v1/session", false, bind(&CXWebAuth::CurrentSession), "who is signed in, and the CSRF token", 0},
      {"DELETE", "/api/v1/session", true, bind(&CXWebAuth::SignOut), "sign out", 0},
      {"GET", "/api/v1/users", false, bind(&CXWebAuth::ListUsers), "the console's users", 0},
      {"POST", "/api/v1/users", true, bind(&CXWebAuth::AddUser), "a new user: {name, password}", 0},
      {"POST", "/api/v1/password", true, bind(&CXWebAuth::ChangePassword), "a new password: {old, new}", 0},
      {"GET", "/api/v1/tokens", false, bind(&CXWebAuth::ListTokens), "the caller's API tokens", 0},
      {"POST", "/api/v1/tokens", true, bind(&CXWebAuth::AddToken), "a new API token: {name} -> its secret, once", 0},
      {"DELETE", "/api/v1/tokens/{id}", true, bind(&CXWebAuth::DeleteToken), "an API token deleted", 0},
  };
}

uint64_t CXWebAuth::sign_in_failures() const {
  std::lock_guard<std::mutex> lock(lock_);
  return failure_count_;
}

int CXWebAuth::CountLocked(const std::string& key, int64_t now) {
  auto it = failures_.find(key);
  if (it == failures_.end()) return 0;
  std::vector<int64_t>& times = it->second.times;
  times.erase(times.begin(), std::find_if(times.begin(), times.end(),
                                          [&](int64_t t) { return t > now - tuning_.window_s; }));
  if (times.empty() && it->second.shut_until <= now) {
    failures_.erase(it);
    return 0;
  }
  return static_cast<int>(times.size());
}

std::string CXWebAuth::SessionCookie(const std::string& secret, int64_t max_age) const {
  return std::string(kSessionCookie) + "=" + secret + "; Path=/; Max-Age=" + std::to_string(max_age) +
         "; HttpOnly; SameSite=Strict" + (secure_ ? "; Secure" : "");
}

std::string CXWebAuth::NewSession(int64_t user_id, const std::string& address, std::string* cookie) {
  const int64_t now = now_();
  SXWebSessionRow session;
  const std::string secret = RandomHex(kSecretBytes);
  session.csrf_token = RandomHex(kSecretBytes);
  if (secret.empty() || session.csrf_token.empty()) return std::string();
  session.secret_hash = Sha256Hex(secret);
  session.user_id = user_id;
  session.created_time = now;
  session.expires_time = now + kSessionSeconds;
  session.address = address;
  if (!catalog_.AddWebSession(session)) return std::string();
  *cookie = SessionCookie(secret, kSessionSeconds);
  return session.csrf_token;
}

void CXWebAuth::SignIn(const SXWebRequest& request, const WebReply& reply) {
  // Only JSON: a form of another site cannot sign a browser in to an account of the attacker's.
  if (request.Header("content-type").rfind("application/json", 0) != 0) {
    reply(JsonError(415, "bad-request", "sign in with a JSON body (Content-Type: application/json)"));
    return;
  }
  Json body;
  std::string name, password;
  if (!ReadObject(request, reply, &body) || !ReadString(body, "name", reply, &name) ||
      !ReadString(body, "password", reply, &password)) {
    return;
  }
  const int64_t now = now_();
  const std::string address = PeerAddress(request.peer);
  const std::string address_key = "a:" + address, name_key = "n:" + Lower(name);
  {
    std::lock_guard<std::mutex> lock(lock_);
    CountLocked(address_key, now);
    auto it = failures_.find(address_key);
    if (it != failures_.end() && it->second.shut_until > now) {
      SXWebResponse answer = JsonError(429, "too-many", "too many failed sign-ins from this address: try later");
      answer.headers.emplace_back("Retry-After", std::to_string(it->second.shut_until - now));
      reply(std::move(answer));
      return;
    }
  }
  SXUserRow user;
  const SXCatalogStatus found = name.size() <= 64 ? catalog_.FindUser(name, &user)
                                                   : SXCatalogStatus::Failed(CatalogCode::kNotFound, "");
  if (!found.ok() && !found.not_found()) {
    reply(CatalogError(found));
    return;
  }
  const bool known = found.ok();
  const bool right = platform::CheckPassword(password.substr(0, 1024), known ? user.password_hash : dummy_hash_) &&
                     known && password.size() <= 1024;
  int failures = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    failures = std::max(CountLocked(address_key, now), CountLocked(name_key, now));
    if (!right) {
      Failures& by_address = failures_[address_key];
      by_address.times.push_back(now);
      failures_[name_key].times.push_back(now);
      failures = std::max(failures, static_cast<int>(by_address.times.size()));
      failures = std::max(failures, static_cast<int>(failures_[name_key].times.size()));
      if (static_cast<int>(by_address.times.size()) >= tuning_.lockout_failures) {
        by_address.shut_until = now + tuning_.lockout_s;
      }
      ++failure_count_;
      // Bounded: past this many addresses and names, those without a shut-out go.
      if (failures_.size() > 100000) {
        for (auto it = failures_.begin(); it != failures_.end();) {
          it = it->second.shut_until > now ? std::next(it) : failures_.erase(it);
        }
      }
    } else {
      failures_.erase(name_key);
    }
  }
  int64_t delay_ms = 0;
  if (failures > 0) {
    delay_ms = tuning_.first_delay_ms;
    for (int i = 1; i < failures && delay_ms < tuning_.longest_delay_ms; ++i) delay_ms *= 2;
    delay_ms = std::min(delay_ms, tuning_.longest_delay_ms);
  }
  SXWebResponse answer;
  if (!right) {
    if (log_ != nullptr) {
      log_->WriteLimited("sign-in", LogLevel::kWarning,
                         "web console: sign-in failed for \"" + name.substr(0, 64) + "\" from " + address + " (" +
                             std::to_string(failures) + " in " + std::to_string(tuning_.window_s / 60) + " min)");
    }
    answer = JsonError(401, "sign-in-failed", "wrong name or password");
  } else {
    std::string cookie;
    const std::string csrf = NewSession(user.id, address, &cookie);
    if (csrf.empty()) {
      answer = JsonError(500, "catalog", "cannot keep the session");
    } else {
      (void)catalog_.SetUserSignIn(user.id, now);
      (void)catalog_.PruneWebSessions(now, 0);
      answer = JsonAnswer(Json{{"user", UserJson(user)}, {"csrf", csrf}});
      answer.headers.emplace_back("Set-Cookie", cookie);
      if (log_ != nullptr) log_->Write(LogLevel::kInfo, "web console: " + user.name + " signed in from " + address);
    }
  }
  // Held back by the failures before it too: guesses sent side by side learn nothing sooner.
  delay_(delay_ms, [reply, answer = std::move(answer)]() mutable { reply(std::move(answer)); });
}

void CXWebAuth::CurrentSession(const SXWebRequest& request, const WebReply& reply) {
  SXUserRow user;
  SXCatalogStatus status = catalog_.GetUser(request.user_id, &user);
  if (!status) return reply(CatalogError(status));
  std::string csrf;
  if (!request.by_token) {
    SXWebSessionRow session;
    const std::string secret = CookieValue(request.Header("cookie"), kSessionCookie);
    if (catalog_.GetWebSession(Sha256Hex(secret), now_(), &session)) csrf = session.csrf_token;
  }
  reply(JsonAnswer(Json{{"user", UserJson(user)}, {"csrf", csrf}}));
}

void CXWebAuth::SignOut(const SXWebRequest& request, const WebReply& reply) {
  SXWebResponse answer = JsonAnswer(Json{{"ok", true}});
  if (!request.by_token) {
    const std::string secret = CookieValue(request.Header("cookie"), kSessionCookie);
    (void)catalog_.DeleteWebSession(Sha256Hex(secret));
    answer.headers.emplace_back("Set-Cookie", SessionCookie("", 0));
  }
  reply(std::move(answer));
}

void CXWebAuth::ListUsers(const SXWebRequest&, const WebReply& reply) {
  std::vector<SXUserRow> users;
  SXCatalogStatus status = catalog_.ListUsers(&users);
  if (!status) return reply(CatalogError(status));
  Json list = Json::array();
  for (const SXUserRow& user : users) {
    Json item = UserJson(user);
    item["created"] = user.created_time;
    item["last_sign_in"] = user.last_sign_in;
    list.push_back(std::move(item));
  }
  reply(JsonAnswer(Json{{"users", std::move(list)}}));
}

void CXWebAuth::AddUser(const SXWebRequest& request, const WebReply& reply) {
  Json body;
  std::string name, password, why;
  if (!ReadObject(request, reply, &body) || !ReadString(body, "name", reply, &name) ||
      !ReadString(body, "password", reply, &password)) {
    return;
  }
  if (!ValidUserName(name)) {
    return reply(JsonError(400, "bad-name", "a user name is 1 to 64 of A-Z, a-z, 0-9 and . _ - @"));
  }
  if (!ValidPassword(password, &why)) return reply(JsonError(400, "bad-password", why));
  SXUserRow row;
  row.name = name;
  row.password_hash = HashNew(password);
  row.role = "admin";
  row.created_time = now_();
  if (row.password_hash.empty()) return reply(JsonError(500, "internal", "cannot hash the password"));
  SXCatalogStatus status = catalog_.AddUser(row, &row.id);
  if (status.conflict()) return reply(JsonError(409, "exists", "a user of that name exists"));
  if (!status) return reply(CatalogError(status));
  if (log_ != nullptr) log_->Write(LogLevel::kInfo, "web console: " + request.user_name + " added the user " + name);
  reply(JsonAnswer(Json{{"user", UserJson(row)}}));
}

void CXWebAuth::ChangePassword(const SXWebRequest& request, const WebReply& reply) {
  Json body;
  std::string old_password, new_password, why;
  if (!ReadObject(request, reply, &body) || !ReadString(body, "old", reply, &old_password) ||
      !ReadString(body, "new", reply, &new_password)) {
    return;
  }
  SXUserRow user;
  SXCatalogStatus status = catalog_.GetUser(request.user_id, &user);
  if (!status) return reply(CatalogError(status));
  if (old_password.size() > 1024 || !platform::CheckPassword(old_password, user.password_hash)) {
    return reply(JsonError(403, "wrong-password", "the old password is not right"));
  }
  if (!ValidPassword(new_password, &why)) return reply(JsonError(400, "bad-password", why));
  const std::string hash = HashNew(new_password);
  if (hash.empty()) return reply(JsonError(500, "internal", "cannot hash the password"));
  status = catalog_.SetUserPassword(user.id, hash);
  // Every session of the user ends (one signed in elsewhere with the old
  // password too); a browser that changed it gets a new one.
  if (status) status = catalog_.PruneWebSessions(now_(), user.id);
  if (!status) return reply(CatalogError(status));
  Json answer{{"ok", true}};
  std::string cookie;
  if (!request.by_token) answer["csrf"] = NewSession(user.id, PeerAddress(request.peer), &cookie);
  SXWebResponse response = JsonAnswer(answer);
  if (!cookie.empty()) response.headers.emplace_back("Set-Cookie", cookie);
  if (log_ != nullptr) log_->Write(LogLevel::kInfo, "web console: " + user.name + " changed the password");
  reply(std::move(response));
}

void CXWebAuth::ListTokens(const SXWebRequest& request, const WebReply& reply) {
  std::vector<SXApiTokenRow> tokens;
  SXCatalogStatus status = catalog_.ListApiTokens(request.user_id, &tokens);
  if (!status) return reply(CatalogError(status));
  Json list = Json::array();
  for (const SXApiTokenRow& token : tokens) {
    list.push_back(Json{{"id", token.id}, {"name", token.name}, {"created", token.created_time},
                        {"last_used", token.last_used}});
  }
  reply(JsonAnswer(Json{{"tokens", std::move(list)}}));
}

void CXWebAuth::AddToken(const SXWebRequest& request, const WebReply& reply) {
  Json body;
  std::string name;
  if (!ReadObject(request, reply, &body) || !ReadString(body, "name", reply, &name)) return;
  if (name.size() > 200) return reply(JsonError(400, "bad-request", "a token's name has at most 200 bytes"));
  const std::string random = RandomHex(kSecretBytes);
  if (random.empty()) return reply(JsonError(500, "internal", "the system has no random numbers"));
  const std::string secret = kTokenPrefix + random;
  SXApiTokenRow row;
  row.user_id = request.user_id;
  row.name = name;
  row.secret_hash = Sha256Hex(secret);
  row.created_time = now_();
  SXCatalogStatus status = catalog_.AddApiToken(row, &row.id);
  if (!status) return reply(CatalogError(status));
  reply(JsonAnswer(Json{{"id", row.id}, {"name", name}, {"token", secret}}));
}

void CXWebAuth::DeleteToken(const SXWebRequest& request, const WebReply& reply) {
  const std::string text = request.Param("id");
  int64_t id = 0;
  if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return reply(JsonError(400, "bad-request", "a token's id is a number"));
  }
  id = std::stoll(text);
  // Only one's own tokens.
  std::vector<SXApiTokenRow> tokens;
  SXCatalogStatus status = catalog_.ListApiTokens(request.user_id, &tokens);
  if (!status) return reply(CatalogError(status));
  if (std::none_of(tokens.begin(), tokens.end(), [&](const SXApiTokenRow& t) { return t.id == id; })) {
    return reply(JsonError(404, "not-found", "no token " + text + " of yours"));
  }
  status = catalog_.DeleteApiToken(id);
  if (!status) return reply(status.not_found() ? JsonError(404, "not-found", "no token " + text) : CatalogError(status));
  reply(JsonAnswer(Json{{"ok", true}}));
}

}  // namespace orvalinth::server
