#include "record/folder_lister.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

#include "platform/errors.h"
#include "platform/files.h"
#include "record/exclusion_set.h"
#include "record/scan_thread.h"

namespace orvalinth {
namespace {

// How long a sleeping side waits before it looks at the queue and the stop
// again by itself: a lister held up in one folder (a slow network drive)
// still hands over what it has, and either side sees a stop.
constexpr auto kWait = std::chrono::milliseconds(20);

// The next entry of a listing; at its end false, with *error the system
// error when the listing broke off rather than ran out of entries.
bool NextEntry(platform::FindHandle& search, platform::FindData* entry, uint32_t* error) {
  if (search.Next(entry)) return true;
  const uint32_t code = platform::LastError();
  if (code != platform::kErrorNoMoreFiles && code != platform::kErrorSuccess) *error = code;
  return false;
}

bool IsDots(const std::u16string& name) {
  return (name.size() == 1 && name[0] == u'.') || (name.size() == 2 && name[0] == u'.' && name[1] == u'.');
}

}  // namespace

void SXListingPiece::Clear() {
  entries.clear();
  names.clear();
  last = false;
  searched = true;
  error = 0;
}

// Everything the lister's thread uses, held by the thread and by the lister
// object, so that it outlives whichever of them lets go last.
struct CXFolderLister::State {
  // A listed folder whose subfolders are still to be entered.
  struct Frame {
    int32_t depth = 0;
    size_t path_length = 0;  // its path's length, "\" included
    std::vector<int32_t> starts;
    std::u16string names;  // the subfolders' names, one after the other
    size_t next = 0;
  };

  State(const CXExclusionSet& excluded_set, int32_t max, std::u16string folder, int32_t depth, int32_t entries)
      : excluded(excluded_set),
        max_depth(max),
        root_depth(depth),
        piece_entries(entries < 1 ? 1 : entries),
        path(std::move(folder)) {}

  // True when the listing is to end: the lister is finishing, or (on the
  // caller's thread, without a lister thread) the job is stopped.
  bool Stopped(const CXScanThread* job) const {
    return finishing.load(std::memory_order_relaxed) || (job != nullptr && job->StopRequested());
  }
  // Fills `piece` with the next piece; false when nothing is left or a stop
  // ends the listing. `job` is null on the lister's thread.
  bool Produce(SXListingPiece* piece, const CXScanThread* job);
  // Searches the folder in the path buffer; true when that made a whole
  // (last) piece, false when its listing is open.
  bool OpenFolder(int32_t depth, SXListingPiece* piece);
  // The open listing's next entries into `piece`.
  void FillPiece(SXListingPiece* piece, const CXScanThread* job);
  SXListingPiece* TakeFree();

  const CXExclusionSet excluded;  // a copy: the caller's may be gone before the thread ends
  const int32_t max_depth;
  const int32_t root_depth;
  const int32_t piece_entries;

  // The listing's own state (the lister's thread, or the caller's without one).
  std::u16string path;
  std::vector<Frame> stack;
  Frame listing;  // the subfolders of the folder being listed
  std::unique_ptr<platform::FindHandle> search;
  platform::FindData entry;
  bool have_entry = false;  // entry holds an entry not yet taken
  bool started = false;

  // Shared with the walk, under the lock.
  std::mutex lock;
  std::condition_variable changed;
  std::deque<SXListingPiece*> queue;
  std::vector<std::unique_ptr<SXListingPiece>> pieces;  // every piece made
  std::vector<SXListingPiece*> spare;  // pieces free to fill
  bool ended = false;         // the lister made its last piece
  bool walk_waits = false;    // the walk sleeps until half a queue is ready
  bool lister_waits = false;  // the lister sleeps until half the queue is taken
  // The walk asks the lister to end (set under the lock, read after every entry).
  std::atomic<bool> finishing{false};
};

CXFolderLister::CXFolderLister(const CXScanThread& job, const CXExclusionSet& excluded, int32_t max_depth,
                               std::u16string folder, int32_t depth, bool threaded, int32_t piece_entries)
    : job_(job), state_(std::make_shared<State>(excluded, max_depth, std::move(folder), depth, piece_entries)) {
  if (!threaded) return;
  try {
    thread_ = std::thread(&CXFolderLister::Loop, state_);
    threaded_ = true;
  } catch (const std::system_error&) {
    // No thread to be had: the walk lists as it goes.
  }
}

CXFolderLister::~CXFolderLister() { Finish(); }

void CXFolderLister::Finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->finishing.store(true, std::memory_order_relaxed);
  }
  state_->changed.notify_all();
  thread_.join();
}

SXListingPiece* CXFolderLister::State::TakeFree() {
  if (spare.empty()) {
    pieces.push_back(std::make_unique<SXListingPiece>());
    return pieces.back().get();
  }
  SXListingPiece* piece = spare.back();
  spare.pop_back();
  return piece;
}

const SXListingPiece* CXFolderLister::Next() {
  State& state = *state_;
  if (!threaded_) {
    if (reading_ == nullptr) reading_ = state.TakeFree();
    return state.Produce(reading_, &job_) ? reading_ : nullptr;
  }
  const size_t half = kQueuedPieces / 2;
  std::unique_lock<std::mutex> hold(state.lock);
  if (reading_ != nullptr) state.spare.push_back(reading_);
  reading_ = nullptr;
  while (state.queue.empty()) {
    if (state.ended || job_.StopRequested()) return nullptr;
    state.walk_waits = true;
    state.changed.wait_for(hold, kWait);
    state.walk_waits = false;
  }
  reading_ = state.queue.front();
  state.queue.pop_front();
  if (state.lister_waits && state.queue.size() <= half) {
    state.lister_waits = false;
    state.changed.notify_all();
  }
  return reading_;
}

void CXFolderLister::Loop(std::shared_ptr<State> held) {
  State& state = *held;
  const size_t half = kQueuedPieces / 2;
  SXListingPiece* made = nullptr;
  for (;;) {
    SXListingPiece* piece = nullptr;
    {
      std::unique_lock<std::mutex> hold(state.lock);
      if (made != nullptr) {
        state.queue.push_back(made);
        made = nullptr;
        if (state.walk_waits && state.queue.size() >= half) state.changed.notify_all();
      }
      // A full queue: wait for the walk to take half of it, or to finish.
      // (An owner ended by force leaves the lister waiting here.)
      while (state.queue.size() >= static_cast<size_t>(kQueuedPieces) &&
             !state.finishing.load(std::memory_order_relaxed)) {
        state.lister_waits = true;
        state.changed.wait_for(hold, kWait);
      }
      if (!state.finishing.load(std::memory_order_relaxed)) piece = state.TakeFree();
    }
    if (piece != nullptr && state.Produce(piece, nullptr)) {
      made = piece;
      continue;
    }
    std::lock_guard<std::mutex> hold(state.lock);
    if (piece != nullptr) state.spare.push_back(piece);
    state.ended = true;
    state.changed.notify_all();
    break;
  }
  // The search of a listing cut short closes on this thread.
  state.search.reset();
}

bool CXFolderLister::State::Produce(SXListingPiece* piece, const CXScanThread* job) {
  piece->Clear();
  for (;;) {
    if (Stopped(job)) return false;
    if (search != nullptr) {
      FillPiece(piece, job);
      return true;
    }
    int32_t depth = root_depth;
    if (started) {
      while (!stack.empty() && stack.back().next >= stack.back().starts.size()) stack.pop_back();
      if (stack.empty()) return false;
      Frame& frame = stack.back();
      const size_t i = frame.next++;
      const size_t start = static_cast<size_t>(frame.starts[i]);
      const size_t end = i + 1 < frame.starts.size() ? static_cast<size_t>(frame.starts[i + 1]) : frame.names.size();
      path.resize(frame.path_length);
      path.append(frame.names, start, end - start);
      path += u'\\';
      depth = frame.depth + 1;
    }
    started = true;
    if (OpenFolder(depth, piece)) return true;
  }
}

bool CXFolderLister::State::OpenFolder(int32_t depth, SXListingPiece* piece) {
  const size_t length = path.size();
  path += u"*.*";
  search = platform::FileSystem::Get().FindFirst(path, &entry);
  path.resize(length);
  if (search == nullptr) {
    piece->searched = false;
    piece->error = platform::LastError();
    piece->last = true;
    return true;
  }
  if (depth + 1 >= max_depth) {
    // Searched, and recorded without contents.
    search.reset();
    piece->last = true;
    return true;
  }
  have_entry = true;
  listing = Frame();
  listing.depth = depth;
  listing.path_length = length;
  return false;
}

void CXFolderLister::State::FillPiece(SXListingPiece* piece, const CXScanThread* job) {
  for (;;) {
    if (!have_entry) {
      uint32_t broke_off = 0;
      if (Stopped(job) || !NextEntry(*search, &entry, &broke_off)) {
        // Closed before going down, so that open searches do not pile up with the depth.
        search.reset();
        piece->last = true;
        piece->error = broke_off;
        if (!listing.starts.empty()) stack.push_back(std::move(listing));
        listing = Frame();
        return;
      }
      have_entry = true;
    }
    const bool folder = (entry.attributes & platform::kAttrDirectory) != 0;
    const int32_t length = static_cast<int32_t>(entry.name.size());
    if (folder && IsDots(entry.name)) {
      have_entry = false;
      continue;
    }
    if (static_cast<int32_t>(piece->entries.size()) >= piece_entries ||
        (!piece->entries.empty() && piece->names.size() + entry.name.size() > static_cast<size_t>(kPieceUnits))) {
      return;  // the entry waits for the next piece
    }
    have_entry = false;
    if (folder && !excluded.empty()) {
      const size_t at = path.size();
      path += entry.name;
      path += u'\\';
      const bool skip = excluded.Contains(path);
      path.resize(at);
      if (skip) continue;
    }
    SXListedEntry listed;
    listed.name_start = static_cast<int32_t>(piece->names.size());
    listed.name_length = length;
    listed.attributes = entry.attributes;
    listed.last_write = entry.last_write;
    listed.size = entry.size;
    piece->entries.push_back(listed);
    piece->names += entry.name;
    if (folder && (entry.attributes & platform::kAttrReparsePoint) == 0) {
      listing.starts.push_back(static_cast<int32_t>(listing.names.size()));
      listing.names += entry.name;
    }
  }
}

}  // namespace orvalinth
