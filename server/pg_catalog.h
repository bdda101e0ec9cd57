#pragma once
// The catalog on a PostgreSQL server: CXCatalog with the same rows, orders
// and codes as the SQLite one (server/sqlite_catalog.h), for a fleet whose
// catalog several fleet servers (or a backup, a report) share.
//
// Threads: one connection, guarded by one mutex; every operation holds it
// from its first statement to its commit, as in the SQLite catalog. A
// connection the server dropped is made again at the next operation (that
// operation fails; the next one runs).
//
// Durability: a commit returns once the server has it on its disk (its own
// synchronous_commit, on by default; the catalog does not turn it off).
// Foreign keys cascade as in SQLite.
//
// Schema: the SQLite catalog's tables, columns and version numbers
// (server/pg_schema.h), with a table of applied migrations
// (schema_migrations). At opening, the migrations the database lacks are
// applied in one transaction holding an advisory lock, so that servers
// starting at once migrate it once. A catalog newer than this program is
// refused and left untouched, as is a schema with other tables in it.
//
// Texts are COLLATE "C": orders are the bytes', and names and patterns are
// A-Z case folded by lower(), whatever the database's locale.

#include <memory>
#include <string>

#include "server/catalog.h"

namespace orvalinth::server {

// Connects by `conninfo` (a postgresql:// or postgres:// URI, or libpq's
// "key=value" words) and migrates the database's current schema to this
// program's. Null with *error saying why.
std::unique_ptr<CXCatalog> OpenPostgresCatalog(const std::string& conninfo, std::string* error);

}  // namespace orvalinth::server
