#pragma once
// The embedded catalog: CXCatalog on one SQLite database file.
//
// Threads: one connection, guarded by one mutex; every operation holds it
// from its first statement to its commit. Operations are short (the
// largest is a comparison's rows, which the comparison workers hand over
// whole), so the threads take turns; WAL mode lets other processes
// (`orvalinth fleet ...`, a backup) read meanwhile.
//
// Durability: WAL journal with synchronous=FULL, so that a committed row
// survives a SIGKILL or a power loss (the agent's snapshot is acknowledged
// only after its row is committed); foreign keys on (deletes cascade);
// a busy timeout of 5 s for the moments another process writes.
//
// Schema: a table of applied migrations (schema_migrations); at opening,
// the migrations the file lacks are applied in order, each in its own
// transaction. A catalog newer than this program is refused and left
// untouched, as is a database file that is not a catalog.

#include <memory>
#include <string>

#include "server/catalog.h"

namespace orvalinth::server {

// Opens the catalog at the host path `path`, creating it when missing, and
// migrates it to this program's schema. Null with *error saying why.
std::unique_ptr<CXCatalog> OpenSqliteCatalog(const std::string& path, std::string* error);

}  // namespace orvalinth::server
