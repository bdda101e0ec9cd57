// Accounts, sign-in sessions, API tokens (to be written).
#include "server/sqlite_catalog_impl.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace orvalinth::server {

SXCatalogStatus CXSqliteCatalog::AddUser(const SXUserRow& row, int64_t* id) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "AddUser: not built yet");
}

SXCatalogStatus CXSqliteCatalog::FindUser(const std::string& name, SXUserRow* row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "FindUser: not built yet");
}

SXCatalogStatus CXSqliteCatalog::GetUser(int64_t id, SXUserRow* row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "GetUser: not built yet");
}

SXCatalogStatus CXSqliteCatalog::ListUsers(std::vector<SXUserRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "ListUsers: not built yet");
}

SXCatalogStatus CXSqliteCatalog::SetUserPassword(int64_t id, const std::string& password_hash) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "SetUserPassword: not built yet");
}

SXCatalogStatus CXSqliteCatalog::SetUserSignIn(int64_t id, int64_t time) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "SetUserSignIn: not built yet");
}

SXCatalogStatus CXSqliteCatalog::AddWebSession(const SXWebSessionRow& row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "AddWebSession: not built yet");
}

SXCatalogStatus CXSqliteCatalog::GetWebSession(const std::string& secret_hash, int64_t now, SXWebSessionRow* row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "GetWebSession: not built yet");
}

SXCatalogStatus CXSqliteCatalog::DeleteWebSession(const std::string& secret_hash) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "DeleteWebSession: not built yet");
}

SXCatalogStatus CXSqliteCatalog::PruneWebSessions(int64_t now, int64_t user_id) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "PruneWebSessions: not built yet");
}

SXCatalogStatus CXSqliteCatalog::AddApiToken(const SXApiTokenRow& row, int64_t* id) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "AddApiToken: not built yet");
}

SXCatalogStatus CXSqliteCatalog::FindApiToken(const std::string& secret_hash, SXApiTokenRow* row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "FindApiToken: not built yet");
}

SXCatalogStatus CXSqliteCatalog::ListApiTokens(int64_t user_id, std::vector<SXApiTokenRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "ListApiTokens: not built yet");
}

SXCatalogStatus CXSqliteCatalog::DeleteApiToken(int64_t id) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "DeleteApiToken: not built yet");
}

SXCatalogStatus CXSqliteCatalog::TouchApiToken(int64_t id, int64_t time) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "TouchApiToken: not built yet");
}

}  // namespace orvalinth::server
