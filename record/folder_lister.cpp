#include "record/folder_lister.h"

#include <chrono>
#include <system_error>

#include "platform/errors.h"
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

CXFolderLister::CXFolderLister(const CXScanThread& job, const CXExclusionSet& excluded, int32_t max_depth,
                               std::u16string folder, int32_t depth, bool threaded, int32_t piece_entries)
    : job_(job),
      excluded_(excluded),
      max_depth_(max_depth),
      root_depth_(depth),
      piece_entries_(piece_entries < 1 ? 1 : piece_entries),
      path_(std::move(folder)) {
  if (!threaded) return;
  try {
    thread_ = std::thread(&CXFolderLister::Loop, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    // No thread to be had: the walk lists as it goes.
  }
}

CXFolderLister::~CXFolderLister() { Finish(); }

void CXFolderLister::Finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    finishing_.store(true, std::memory_order_relaxed);
  }
  changed_.notify_all();
  thread_.join();
}

SXListingPiece* CXFolderLister::TakeFree() {
  if (free_.empty()) {
    pieces_.push_back(std::make_unique<SXListingPiece>());
    return pieces_.back().get();
  }
  SXListingPiece* piece = free_.back();
  free_.pop_back();
  return piece;
}

const SXListingPiece* CXFolderLister::Next() {
  if (!threaded_) {
    if (reading_ == nullptr) reading_ = TakeFree();
    return Produce(reading_) ? reading_ : nullptr;
  }
  const size_t half = kQueuedPieces / 2;
  std::unique_lock<std::mutex> hold(lock_);
  if (reading_ != nullptr) free_.push_back(reading_);
  reading_ = nullptr;
  while (queue_.empty()) {
    if (ended_ || job_.StopRequested()) return nullptr;
    walk_waits_ = true;
    changed_.wait_for(hold, kWait);
    walk_waits_ = false;
  }
  reading_ = queue_.front();
  queue_.pop_front();
  if (lister_waits_ && queue_.size() <= half) {
    lister_waits_ = false;
    changed_.notify_all();
  }
  return reading_;
}

void CXFolderLister::Loop() {
  const size_t half = kQueuedPieces / 2;
  SXListingPiece* made = nullptr;
  for (;;) {
    SXListingPiece* piece = nullptr;
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (made != nullptr) {
        queue_.push_back(made);
        made = nullptr;
        if (walk_waits_ && queue_.size() >= half) changed_.notify_all();
      }
      // A full queue: wait for the walk, or end once the job is stopped,
      // without waiting for the walk to say so.
      while (queue_.size() >= static_cast<size_t>(kQueuedPieces) && !finishing_.load(std::memory_order_relaxed) &&
             !job_.StopRequested()) {
        lister_waits_ = true;
        changed_.wait_for(hold, kWait);
      }
      if (!finishing_.load(std::memory_order_relaxed) && !job_.StopRequested()) piece = TakeFree();
    }
    if (piece != nullptr && Produce(piece)) {
      made = piece;
      continue;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (piece != nullptr) free_.push_back(piece);
    ended_ = true;
    changed_.notify_all();
    break;
  }
  // The search of a listing cut short closes on this thread.
  search_.reset();
}

bool CXFolderLister::Produce(SXListingPiece* piece) {
  piece->Clear();
  for (;;) {
    if (job_.StopRequested() || finishing_.load(std::memory_order_relaxed)) return false;
    if (search_ != nullptr) {
      FillPiece(piece);
      return true;
    }
    int32_t depth = root_depth_;
    if (started_) {
      while (!stack_.empty() && stack_.back().next >= stack_.back().starts.size()) stack_.pop_back();
      if (stack_.empty()) return false;
      Frame& frame = stack_.back();
      const size_t i = frame.next++;
      const size_t start = static_cast<size_t>(frame.starts[i]);
      const size_t end = i + 1 < frame.starts.size() ? static_cast<size_t>(frame.starts[i + 1]) : frame.names.size();
      path_.resize(frame.path_length);
      path_.append(frame.names, start, end - start);
      path_ += u'\\';
      depth = frame.depth + 1;
    }
    started_ = true;
    if (OpenFolder(depth, piece)) return true;
  }
}

bool CXFolderLister::OpenFolder(int32_t depth, SXListingPiece* piece) {
  const size_t length = path_.size();
  path_ += u"*.*";
  search_ = platform::FileSystem::Get().FindFirst(path_, &entry_);
  path_.resize(length);
  if (search_ == nullptr) {
    piece->searched = false;
    piece->error = platform::LastError();
    piece->last = true;
    return true;
  }
  if (depth + 1 >= max_depth_) {
    // Searched, and recorded without contents.
    search_.reset();
    piece->last = true;
    return true;
  }
  have_entry_ = true;
  listing_ = Frame();
  listing_.depth = depth;
  listing_.path_length = length;
  return false;
}

void CXFolderLister::FillPiece(SXListingPiece* piece) {
  for (;;) {
    if (!have_entry_) {
      uint32_t broke_off = 0;
      if (job_.StopRequested() || finishing_.load(std::memory_order_relaxed) ||
          !NextEntry(*search_, &entry_, &broke_off)) {
        // Closed before going down, so that open searches do not pile up with the depth.
        search_.reset();
        piece->last = true;
        piece->error = broke_off;
        if (!listing_.starts.empty()) stack_.push_back(std::move(listing_));
        listing_ = Frame();
        return;
      }
      have_entry_ = true;
    }
    const bool folder = (entry_.attributes & platform::kAttrDirectory) != 0;
    const int32_t length = static_cast<int32_t>(entry_.name.size());
    if (folder && IsDots(entry_.name)) {
      have_entry_ = false;
      continue;
    }
    if (static_cast<int32_t>(piece->entries.size()) >= piece_entries_ ||
        (!piece->entries.empty() && piece->names.size() + entry_.name.size() > static_cast<size_t>(kPieceUnits))) {
      return;  // the entry waits for the next piece
    }
    have_entry_ = false;
    if (folder && !excluded_.empty()) {
      const size_t at = path_.size();
      path_ += entry_.name;
      path_ += u'\\';
      const bool skip = excluded_.Contains(path_);
      path_.resize(at);
      if (skip) continue;
    }
    SXListedEntry listed;
    listed.name_start = static_cast<int32_t>(piece->names.size());
    listed.name_length = length;
    listed.attributes = entry_.attributes;
    listed.last_write = entry_.last_write;
    listed.size = entry_.size;
    piece->entries.push_back(listed);
    piece->names += entry_.name;
    if (folder && (entry_.attributes & platform::kAttrReparsePoint) == 0) {
      listing_.starts.push_back(static_cast<int32_t>(listing_.names.size()));
      listing_.names += entry_.name;
    }
  }
}

}  // namespace orvalinth
