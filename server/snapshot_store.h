#pragma once
// CXSnapshotStore: the snapshot files of the fleet, exactly as the agents
// sent them, one folder per machine under the data folder:
//
//   <data>/machines/<uid>/snapshot<NNN>.snp           a stored snapshot (NNN: the
//                                                     agent's number, at least 3 digits,
//                                                     as "orvalinth console" names them)
//   <data>/machines/<uid>/snapshot<NNN>.snp.<k>.part  one being downloaded
//
// A download goes to its own temporary file (k tells two downloads of one
// snapshot apart), block by block as the blocks arrive. Finish checks the
// whole file with the untrusting reader (what "orvalinth dump" checks),
// makes it durable (fsync), renames it into place and makes the rename
// durable (fsync of the folder): only then may its catalog row be
// committed, and only after that the agent's snapshot acknowledged.
//
// The catalog names each file by its path relative to the data folder, with
// "/" between names ("machines/17/snapshot003.snp"). Removing goes the other
// way: the row first (committed), then the file; so a crash anywhere leaves
// at most a file that no row names, which Sweep removes at the next start.
//
// Threads: downloads of different snapshots run on any threads at once; one
// download is used by one thread at a time. Finish reads the whole file
// (and the reader holds the decoded snapshot meanwhile): run it on a worker,
// not on the event loop.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "platform/files.h"
#include "server/catalog.h"

namespace orvalinth::server {

// A snapshot file in place, and what its check read of it.
struct SXStoredSnapshot {
  int32_t uid = 0;
  int32_t number = 0;
  std::string path;    // relative to the data folder
  std::string sha256;  // 64 lowercase hex digits
  int64_t size = 0;
  // The very same bytes were in place already (a download of a snapshot
  // stored before whose row was committed, or is about to be by another link).
  bool already_stored = false;
  std::string agent_time;  // the snapshot's own time (the agent's clock)
  std::string title;
  int64_t keys = 0, values = 0, folders = 0, files = 0, items = 0, errors = 0;

  // Its catalog row (not yet compared).
  SXSnapshotRow Row(int64_t received_time) const;
};

class CXSnapshotStore;

// One download into the store. Going without Finish is Abort.
class CXStoreDownload {
 public:
  ~CXStoreDownload();
  CXStoreDownload(const CXStoreDownload&) = delete;
  CXStoreDownload& operator=(const CXStoreDownload&) = delete;

  // Appends one block. False once a write has failed (error() says why);
  // later blocks are then not written, so the caller may read the stream to
  // its end and keep the link in step.
  bool Write(const void* data, size_t n);
  int64_t written() const { return written_; }

  // Ends the download: the size must be `expected_size` (the agent's), the
  // file must read as a whole snapshot numbered as this one, and then it is
  // made durable and renamed into place. True with *stored filled; false
  // with error() saying why and nothing of the download left behind.
  bool Finish(int64_t expected_size, SXStoredSnapshot* stored);
  // Removes the temporary file.
  void Abort();

  const std::string& error() const { return error_; }
  // When the file did not read as a snapshot: the file offset the reader
  // names (-1 otherwise).
  int64_t fault_offset() const { return fault_offset_; }
  const std::u16string& part_path() const { return part_; }

 private:
  friend class CXSnapshotStore;
  CXStoreDownload(CXSnapshotStore& store, int32_t uid, int32_t number, std::u16string part, std::u16string final_path,
                  std::unique_ptr<platform::File> file);
  bool Fail(std::string message);

  CXSnapshotStore& store_;
  int32_t uid_;
  int32_t number_;
  std::u16string part_;
  std::u16string final_;
  std::unique_ptr<platform::File> file_;
  std::unique_ptr<platform::Sha256Stream> sha_;
  int64_t written_ = 0;
  bool open_ = true;  // the temporary file is there
  std::string error_;
  int64_t fault_offset_ = -1;
};

// What the sweep at start found and did.
struct SXSweepReport {
  std::vector<std::string> removed_parts;    // temporary files of downloads cut short
  std::vector<std::string> removed_orphans;  // snapshot files no row names (renamed, not committed)
  std::vector<SXSnapshotRow> missing;        // rows whose file is not there
  std::vector<std::string> failures;         // files that could not be removed, and why
};

struct SXPruneReport {
  int64_t snapshots = 0;   // rows and files removed
  int64_t bytes = 0;       // of the snapshot files
  std::vector<std::string> failures;  // files left behind (the next sweep takes them), and why
};

class CXSnapshotStore {
 public:
  // `data_folder`: a Windows-form path, or on POSIX a host path.
  explicit CXSnapshotStore(std::u16string data_folder);

  // "machines/<uid>/snapshot<NNN>.snp".
  static std::string RelativePath(int32_t uid, int32_t number);
  // The data folder joined with a relative path.
  std::u16string FullPath(const std::string& relative) const;
  const std::u16string& data_folder() const { return data_; }

  // Starts the download of the machine's snapshot `number` into a temporary
  // file of its own (the machine's folder made when missing). Null with
  // *error saying why.
  std::unique_ptr<CXStoreDownload> Begin(int32_t uid, int32_t number, std::string* error);

  // Commits the catalog row of a snapshot that Finish put in place. True
  // when the catalog holds it, *id (may be null) its row (a row there
  // already with the same bytes counts: the snapshot is stored once): then,
  // and only then, may the agent's snapshot be acknowledged ("down-ack").
  // False with *error: no acknowledgement, and the agent sends it again; the
  // file stays for that (a later download of the same bytes finds it in
  // place) or for the next sweep.
  // *added (may be null): the row is new (false: it was there already).
  bool Catalogue(CXCatalog& catalog, const SXStoredSnapshot& stored, int64_t received_time, int64_t* id,
                 std::string* error, bool* added = nullptr);

  // At start, before any download: removes every temporary file below
  // machines/ and every snapshot file that no catalog row names, and lists
  // the rows whose file is missing. False only when the catalog fails.
  bool Sweep(CXCatalog& catalog, SXSweepReport* report, std::string* error);

  // Removes a snapshot: its row (and its comparison's) committed first, then
  // its files. *removed (may be null) gets them.
  bool RemoveSnapshot(CXCatalog& catalog, int64_t id, SXRemovedSnapshot* removed, std::string* error);
  // Retention over every machine (uid 0) or one: each snapshot that
  // `retention` lets go at `now`, removed as RemoveSnapshot does. False only
  // when the catalog fails.
  bool Prune(CXCatalog& catalog, int32_t uid, const SXRetention& retention, int64_t now, SXPruneReport* report,
             std::string* error);

  // Removes one file named relative to the data folder (a file already gone
  // is no failure) and makes that durable.
  bool RemoveFile(const std::string& relative, std::string* error);

 private:
  friend class CXStoreDownload;
  std::u16string MachineFolder(int32_t uid) const;
  bool EnsureFolder(const std::u16string& folder, const std::u16string& parent, std::string* error);
  // Renames a checked download into place, unless the same bytes are there already.
  bool Place(CXStoreDownload& download, const std::string& sha256, bool* already_stored, std::string* error);

  std::u16string data_;
  char16_t separator_;
  std::atomic<uint64_t> next_part_{1};
  std::mutex place_mutex_;  // one rename into place at a time (a check of the target, then the rename)
};

// The SHA-256 of a file in lowercase hex; false when it cannot be read.
bool Sha256OfFile(const std::u16string& path, std::string* hex, int64_t* size);
std::string HexDigest(const platform::Sha256Digest& digest);

}  // namespace orvalinth::server
