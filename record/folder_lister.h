#pragma once
// CXFolderLister: lists the folders of one subtree for the file system job,
// on a thread of its own, ahead of the walk that records them. Listing is
// most of a scan's time (outside Windows each entry's status is a name
// lookup of its own); with it on a second processor, the recording of the
// names, the sorting and the storing of the section run beside it.
//
// The folders come in the order the walk records them: a folder's listing,
// then each subfolder it enters, depth first in the order listed. A folder is
// entered unless it is excluded or a reparse point; at the depth limit a
// folder is searched (its error counts) but not listed. "." and "..", and
// the excluded folders, are left out of the listings. Each listing goes out
// in pieces of at most `piece_entries` entries and kPieceUnits units of names
// (a piece holds at least one entry, whatever its name's length), the last
// piece of a folder saying how its listing ended.
//
// At most kQueuedPieces pieces wait for the walk: when they are all full the
// lister waits, so that the pieces stay below kMemoryBound bytes whatever the
// tree (besides them the lister holds the names of the subfolders still to be
// entered along the path it lists, as the walk's tables do). Both sides sleep
// until the other has done half a queue's worth, so that they wake each
// other once per many folders rather than once per folder.
//
// The lister checks the job's stop after every entry, as the walk does, and
// while it waits for room, so that a stop ends it without the walk;
// Finish (and the destructor) tells its thread to end and waits for it,
// which ends within the file system call it is in. Without a thread (when
// none can be started, or `threaded` is false) the same pieces are made on
// the caller's thread as it asks for them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"

namespace orvalinth {

class CXExclusionSet;
class CXScanThread;

// One entry of a listing; its name is in the piece's name buffer.
struct SXListedEntry {
  int32_t name_start = 0;
  int32_t name_length = 0;
  uint32_t attributes = 0;
  int64_t last_write = 0;
  uint64_t size = 0;
};

// A piece of one folder's listing.
struct SXListingPiece {
  std::vector<SXListedEntry> entries;
  std::u16string names;
  bool last = false;     // the folder's listing ends with this piece
  bool searched = true;  // false: the folder could not be searched, `error` says why (a last piece)
  uint32_t error = 0;    // the search's error, or in a last piece the error the listing broke off with

  const char16_t* name(const SXListedEntry& entry) const { return names.data() + entry.name_start; }
  void Clear();
};

class CXFolderLister {
 public:
  static constexpr int32_t kPieceEntries = 256;
  static constexpr int32_t kPieceUnits = 8192;
  static constexpr int32_t kQueuedPieces = 32;
  // The queued pieces, the one being filled and the one the walk reads, each
  // at most kPieceEntries entries of 32 bytes and kPieceUnits units of names
  // (file names are far shorter): 835,584 bytes.
  static constexpr int64_t kMemoryBound =
      static_cast<int64_t>(kQueuedPieces + 2) * (kPieceEntries * 32 + 2 * kPieceUnits);

  // Lists `folder` (ending with "\") of `depth` and what lies below it, for
  // the walk `job` limited to `max_depth` levels.
  CXFolderLister(const CXScanThread& job, const CXExclusionSet& excluded, int32_t max_depth, std::u16string folder,
                 int32_t depth, bool threaded = true, int32_t piece_entries = kPieceEntries);
  ~CXFolderLister();
  CXFolderLister(const CXFolderLister&) = delete;
  CXFolderLister& operator=(const CXFolderLister&) = delete;

  // The next piece in order, valid until the next call; null once the
  // subtree is listed, or when a stop ended the listing.
  const SXListingPiece* Next();
  // Ends the listing and its thread; waits for the thread.
  void Finish();

 private:
  // A listed folder whose subfolders are still to be entered.
  struct Frame {
    int32_t depth = 0;
    size_t path_length = 0;  // its path's length, "\" included
    std::vector<int32_t> starts;
    std::u16string names;  // the subfolders' names, one after the other
    size_t next = 0;
  };

  void Loop();
  // Fills `piece` with the next piece; false when nothing is left or a stop ends the listing.
  bool Produce(SXListingPiece* piece);
  // Searches the folder in the path buffer; true when that made a whole
  // (last) piece, false when its listing is open.
  bool OpenFolder(int32_t depth, SXListingPiece* piece);
  // The open listing's next entries into `piece`.
  void FillPiece(SXListingPiece* piece);
  SXListingPiece* TakeFree();

  const CXScanThread& job_;
  const CXExclusionSet& excluded_;
  const int32_t max_depth_;
  const int32_t root_depth_;
  const int32_t piece_entries_;

  // The listing's own state (the lister's thread, or the caller's without one).
  std::u16string path_;
  std::vector<Frame> stack_;
  Frame listing_;  // the subfolders of the folder being listed
  std::unique_ptr<platform::FindHandle> search_;
  platform::FindData entry_;
  bool have_entry_ = false;  // entry_ holds an entry not yet taken
  bool started_ = false;

  // Shared with the walk, under the lock.
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<SXListingPiece*> queue_;
  std::vector<std::unique_ptr<SXListingPiece>> pieces_;  // every piece made
  std::vector<SXListingPiece*> free_;
  bool ended_ = false;          // the lister made its last piece
  bool walk_waits_ = false;     // the walk sleeps until half a queue is ready
  bool lister_waits_ = false;   // the lister sleeps until half the queue is taken
  // The walk asks the lister to end (set under the lock, read after every entry).
  std::atomic<bool> finishing_{false};

  SXListingPiece* reading_ = nullptr;  // the walk's current piece
  bool threaded_ = false;
  std::thread thread_;
};

}  // namespace orvalinth
