#pragma once
// The schema of the SQLite catalog as its ordered migrations, and the SQL
// texts of the queries whose speed rests on an index (named here so that a
// test can ask SQLite for their plans).
//
// Migrations are only ever appended: migration N turns a catalog of version
// N-1 into version N, and a released one never changes (a catalog made by it
// exists somewhere). Each runs in one transaction with the row that records it.

#include <cstddef>

namespace orvalinth::server {

struct SXMigration {
  int version;
  const char* description;
  const char* sql;
};

// The migrations in order, versions 1, 2, ...; *count gets their number.
const SXMigration* SqliteMigrations(size_t* count);

// The schema version this program writes: the last migration's.
int SqliteSchemaVersion();

// The catalog's mark in the file's header (PRAGMA application_id): "ORVC".
constexpr int kSqliteApplicationId = 0x4F525643;

// Queries that must stay fast with millions of rows (see tests/server/catalog_test.cpp).
extern const char kSqlChangesSince[];
extern const char kSqlMachinesWithChange[];
extern const char kSqlPreviousSnapshot[];
extern const char kSqlFindSnapshot[];
extern const char kSqlUncompared[];
extern const char kSqlDeleteSnapshot[];

}  // namespace orvalinth::server
