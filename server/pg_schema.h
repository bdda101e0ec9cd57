#pragma once
// The schema of the PostgreSQL catalog as its ordered migrations: the same
// tables, columns and version numbers as the SQLite catalog's
// (server/sqlite_schema.h), written for PostgreSQL. Only ever appended, like
// those; a catalog applies the ones it lacks in one transaction under an
// advisory lock, so that servers starting at once on one database migrate it once.

#include <cstddef>
#include <cstdint>

#include "server/sqlite_schema.h"

namespace orvalinth::server {

// The migrations in order, versions 1, 2, ...; *count gets their number.
const SXMigration* PgMigrations(size_t* count);

// The schema version this program writes: the last migration's (the SQLite catalog's as well).
int PgSchemaVersion();

// The key of the advisory lock held while migrating: "ORVC".
constexpr int64_t kPgMigrationLock = 0x4F525643;

}  // namespace orvalinth::server
