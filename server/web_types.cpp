#include "server/web_types.h"

namespace orvalinth::server {
namespace {

const std::string* FindPair(const std::vector<std::pair<std::string, std::string>>& pairs, std::string_view key) {
  for (const auto& pair : pairs) {
    if (pair.first == key) return &pair.second;
  }
  return nullptr;
}

}  // namespace

std::string SXWebRequest::Query(std::string_view key, std::string fallback) const {
  const std::string* value = FindPair(query, key);
  return value != nullptr ? *value : fallback;
}

bool SXWebRequest::HasQuery(std::string_view key) const { return FindPair(query, key) != nullptr; }

std::string SXWebRequest::Header(std::string_view name, std::string fallback) const {
  const std::string* value = FindPair(headers, name);
  return value != nullptr ? *value : fallback;
}

std::string SXWebRequest::Param(std::string_view name) const {
  const std::string* value = FindPair(params, name);
  return value != nullptr ? *value : std::string();
}

SXWebResponse JsonError(int status, std::string_view code, std::string_view message) {
  Json body;
  body["error"]["code"] = std::string(code);
  body["error"]["message"] = std::string(message);
  return JsonAnswer(body, status);
}

SXWebResponse JsonAnswer(const Json& value, int status) {
  SXWebResponse response;
  response.status = status;
  response.content_type = "application/json";
  // Texts from agents are 8-bit in their code page: bytes that are not UTF-8 are replaced, never thrown.
  response.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  response.body += '\n';
  return response;
}

}  // namespace orvalinth::server
