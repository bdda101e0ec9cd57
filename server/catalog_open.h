#pragma once
// The catalog the configuration's "catalog" key names: a PostgreSQL
// database by its URI ("postgresql://user@host/db" or "postgres://..."), or
// else the host path of a SQLite file (the default, <data>/catalog.db).

#include <memory>
#include <string>

#include "server/catalog.h"

namespace orvalinth::server {

// Whether `catalog` names a PostgreSQL database rather than a SQLite file.
bool IsPostgresCatalog(const std::string& catalog);

// Opens (and migrates) the catalog `catalog` names. Null with *error saying why.
std::unique_ptr<CXCatalog> OpenCatalog(const std::string& catalog, std::string* error);

// `catalog` as a log or a message may show it: a URI's password is hidden.
std::string CatalogDisplayName(const std::string& catalog);

}  // namespace orvalinth::server
