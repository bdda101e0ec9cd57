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
// The walk checks the job's stop while it waits for a piece, and Finish (and
// the destructor) tells the lister's thread to end and waits for it, which
// ends at its next entry or wait, within the file system call it is in.
// Without a thread (when none can be started, or `threaded` is false) the
// same pieces are made on the caller's thread as it asks for them, checking
// the job's stop after every entry.
//
// The lister's thread touches only what it owns with the lister object: a
// state on the heap, held by both, with its own copy of the exclusions and
// limits. It never reads the job or anything of the caller's. So when the
// walk's thread is ended by force while it waits in Finish for a lister held
// up in a slow file system call (a hung network share), the lister's thread
// comes back to memory that is still its own and ends at its next entry; the
// state goes with the last of the two to let go. A lister waiting for room
// in a full queue, or for the lock, when its owner is ended by force stays
// waiting: it is left behind, as is everything else the ended thread held.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
  struct State;
  // The lister's thread; it holds the state as long as it runs.
  static void Loop(std::shared_ptr<State> state);

  const CXScanThread& job_;  // read on the caller's thread only
  std::shared_ptr<State> state_;
  SXListingPiece* reading_ = nullptr;  // the walk's current piece
  bool threaded_ = false;
  std::thread thread_;
};

}  // namespace orvalinth
