#include "server/web_router.h"

#include <algorithm>
#include <cctype>

namespace orvalinth::server {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

}  // namespace

std::vector<std::string_view> PathSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  if (path.empty() || path[0] != '/') return segments;
  size_t start = 1;
  for (;;) {
    const size_t end = path.find('/', start);
    segments.push_back(path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return segments;
}

bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    if (c == '\0') return false;
    *out += c;
  }
  return true;
}

bool ParseTarget(std::string_view target, std::string* path, WebPairs* query, std::string* error) {
  path->clear();
  query->clear();
  if (target.empty() || target[0] != '/') {
    *error = "the target is no absolute path";
    return false;
  }
  if (HasControl(target) || target.find(' ') != std::string_view::npos) {
    *error = "the target holds a control character or a blank";
    return false;
  }
  const size_t mark = target.find('?');
  const std::string_view raw_path = target.substr(0, mark);
  if (raw_path.find('#') != std::string_view::npos) {
    *error = "the target holds a fragment";
    return false;
  }
  if (!PercentDecode(raw_path, false, path)) {
    *error = "the path holds a bad %-escape or a NUL";
    return false;
  }
  if (HasControl(*path)) {
    *error = "the path holds a control character";
    return false;
  }
  for (std::string_view segment : PathSegments(*path)) {
    // Also after decoding: "%2e%2e" climbs as well as "..". A backslash
    // climbs on some file systems.
    if (segment == ".." || segment == "." || segment.find('\\') != std::string_view::npos) {
      *error = "the path holds a \".\" or \"..\" segment or a backslash";
      return false;
    }
  }
  if (mark == std::string_view::npos) return true;
  std::string_view rest = target.substr(mark + 1);
  const size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    std::string key, value;
    if (!PercentDecode(pair.substr(0, equals), true, &key) ||
        (equals != std::string_view::npos && !PercentDecode(pair.substr(equals + 1), true, &value))) {
      *error = "the query holds a bad %-escape or a NUL";
      return false;
    }
    query->emplace_back(std::move(key), std::move(value));
  }
  return true;
}

bool BuildWebRequest(const boost::beast::http::request_header<>& header, const std::string& peer,
                     SXWebRequest* request, SXWebResponse* refusal) {
  *request = SXWebRequest();
  const auto method = header.method_string();
  const auto target = header.target();
  request->method.assign(method.data(), method.size());
  request->target.assign(target.data(), target.size());
  request->peer = peer;
  std::string error;
  if (!ParseTarget(request->target, &request->path, &request->query, &error)) {
    *refusal = JsonError(400, "bad-request", error);
    return false;
  }
  for (const auto& field : header) {
    const auto name = field.name_string();
    const auto value = field.value();
    request->headers.emplace_back(Lower(std::string_view(name.data(), name.size())),
                                  std::string(value.data(), value.size()));
  }
  return true;
}

CXWebRouter::CXWebRouter(std::vector<SXWebRoute> routes) : routes_(std::move(routes)) {
  for (const SXWebRoute& route : routes_) {
    Pattern pattern;
    for (std::string_view segment : PathSegments(route.pattern)) {
      const bool parameter = segment.size() > 2 && segment.front() == '{' && segment.back() == '}';
      pattern.segments.emplace_back(parameter ? segment.substr(1, segment.size() - 2) : segment);
      pattern.parameter.push_back(parameter);
    }
    patterns_.push_back(std::move(pattern));
    largest_body_ = std::max(largest_body_, route.max_body);
  }
}

const SXWebRoute* CXWebRouter::Find(std::string_view method, std::string_view path, WebPairs* params, Match* match,
                                    std::string* allowed) const {
  params->clear();
  allowed->clear();
  *match = Match::kNoPath;
  const std::vector<std::string_view> segments = PathSegments(path);
  const SXWebRoute* best = nullptr;
  size_t best_literals = 0;
  for (size_t r = 0; r < routes_.size(); ++r) {
    const Pattern& pattern = patterns_[r];
    if (pattern.segments.size() != segments.size()) continue;
    size_t literals = 0;
    bool fits = true;
    for (size_t i = 0; i < segments.size() && fits; ++i) {
      if (pattern.parameter[i]) {
        fits = !segments[i].empty();
      } else {
        fits = segments[i] == pattern.segments[i];
        // Literals that lead count more than those after a parameter.
        if (fits) literals += size_t{1} << (segments.size() - i);
      }
    }
    if (!fits) continue;
    if (routes_[r].method != method) {
      if (allowed->find(routes_[r].method) == std::string::npos) {
        if (!allowed->empty()) *allowed += ", ";
        *allowed += routes_[r].method;
      }
      continue;
    }
    if (best == nullptr || literals > best_literals) {
      best = &routes_[r];
      best_literals = literals;
    }
  }
  if (best == nullptr) {
    if (!allowed->empty()) *match = Match::kNoMethod;
    return nullptr;
  }
  const Pattern& pattern = patterns_[static_cast<size_t>(best - routes_.data())];
  for (size_t i = 0; i < segments.size(); ++i) {
    if (pattern.parameter[i]) params->emplace_back(pattern.segments[i], std::string(segments[i]));
  }
  allowed->clear();
  *match = Match::kFound;
  return best;
}

}  // namespace orvalinth::server
