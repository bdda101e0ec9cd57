#include "server/catalog_open.h"

#include "server/pg_catalog.h"
#include "server/sqlite_catalog.h"

namespace orvalinth::server {

bool IsPostgresCatalog(const std::string& catalog) {
  return catalog.rfind("postgresql://", 0) == 0 || catalog.rfind("postgres://", 0) == 0;
}

std::unique_ptr<CXCatalog> OpenCatalog(const std::string& catalog, std::string* error) {
  if (IsPostgresCatalog(catalog)) return OpenPostgresCatalog(catalog, error);
  return OpenSqliteCatalog(catalog, error);
}

std::string CatalogDisplayName(const std::string& catalog) {
  if (!IsPostgresCatalog(catalog)) return catalog;
  // scheme://[user[:password]@]host...: the password is between the first ":" and the "@" of the authority.
  const size_t start = catalog.find("://") + 3;
  const size_t end = catalog.find_first_of("/?#", start);
  const size_t at = catalog.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < start) return catalog;
  const size_t colon = catalog.find(':', start);
  if (colon == std::string::npos || colon > at) return catalog;
  return catalog.substr(0, colon + 1) + "***" + catalog.substr(at);
}

}  // namespace orvalinth::server
