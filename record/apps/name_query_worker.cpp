#include "record/apps/name_query_worker.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/event.h"
#include "platform/handles.h"
#include "platform/threads.h"

namespace orvalinth {

CXHungHandles::CXHungHandles() : threads_(std::make_shared<std::atomic<int>>(0)) {}

CXHungHandles& CXHungHandles::Process() {
  static CXHungHandles memory;
  return memory;
}

bool CXHungHandles::Hung(const Key& key) const {
  std::lock_guard<std::mutex> guard(lock_);
  return hung_.count(key) != 0;
}

void CXHungHandles::Remember(const Key& key) {
  std::lock_guard<std::mutex> guard(lock_);
  while (hung_.size() >= kMaxRemembered) hung_.erase(hung_.begin());
  hung_.insert(key);
}

void CXHungHandles::KeepProcesses(const std::vector<uint32_t>& pids) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = hung_.begin(); it != hung_.end();) {
    it = std::binary_search(pids.begin(), pids.end(), it->pid) ? std::next(it) : hung_.erase(it);
  }
}

size_t CXHungHandles::remembered() const {
  std::lock_guard<std::mutex> guard(lock_);
  return hung_.size();
}

// What the worker thread touches: nothing else.
struct CXNameQueryWorker::Shared {
  platform::Event request{platform::Event::Mode::kAutoReset};
  platform::Event done{platform::Event::Mode::kAutoReset};
  std::vector<uint64_t> buffer = std::vector<uint64_t>(kFirstBufferSize / sizeof(uint64_t));
  std::shared_ptr<platform::DuplicatedHandle> handle;
  bool answered = false;
  std::u16string name;
  std::atomic<bool> quit{false};
  std::shared_ptr<std::atomic<int>> threads;  // the count this thread leaves when it ends
};

CXNameQueryWorker::CXNameQueryWorker(uint32_t timeout_ms, CXHungHandles& memory)
    : timeout_ms_(timeout_ms), memory_(memory) {}

CXNameQueryWorker::~CXNameQueryWorker() {
  if (shared_ == nullptr) return;
  shared_->quit = true;
  shared_->request.Set();
  thread_->Wait(platform::kWaitForever);
}

void CXNameQueryWorker::Loop(void* argument) {
  std::shared_ptr<Shared> shared = std::move(*static_cast<std::shared_ptr<Shared>*>(argument));
  delete static_cast<std::shared_ptr<Shared>*>(argument);
  for (;;) {
    shared->request.Wait(platform::Event::kInfinite);
    if (shared->quit) break;
    std::u16string name;
    uint32_t needed = 0;
    const auto size = [&] { return static_cast<uint32_t>(shared->buffer.size() * sizeof(uint64_t)); };
    bool answered = shared->handle->QueryName(shared->buffer.data(), size(), &needed, &name);
    if (!answered && needed != 0) {
      const uint32_t bytes = std::min(needed, kMaxBufferSize);
      shared->buffer.assign((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
      answered = shared->handle->QueryName(shared->buffer.data(), size(), &needed, &name);
    }
    shared->answered = answered;
    shared->name = answered ? std::move(name) : std::u16string();
    shared->handle.reset();
    shared->done.Set();
  }
  shared->handle.reset();
  shared->threads->fetch_sub(1);
}

bool CXNameQueryWorker::StartWorker() {
  // With no live worker, every thread alive is an abandoned one.
  if (memory_.threads() >= CXHungHandles::kMaxAbandoned) {
    ++skipped_capped_;
    return false;
  }
  auto shared = std::make_shared<Shared>();
  shared->threads = memory_.threads_;
  auto* handed = new std::shared_ptr<Shared>(shared);
  memory_.threads_->fetch_add(1);
  std::unique_ptr<platform::Thread> thread = platform::ThreadSystem::Get().Start(&CXNameQueryWorker::Loop, handed);
  if (thread == nullptr) {
    memory_.threads_->fetch_sub(1);
    delete handed;
    ++start_failures_;
    return false;
  }
  shared_ = std::move(shared);
  thread_ = std::move(thread);
  return true;
}

bool CXNameQueryWorker::Query(const std::shared_ptr<platform::DuplicatedHandle>& handle,
                              const CXHungHandles::Key& key, std::u16string* name) {
  if (memory_.Hung(key)) {
    ++skipped_hung_;
    return false;
  }
  if (shared_ == nullptr && !StartWorker()) return false;
  shared_->handle = handle;
  const auto start = std::chrono::steady_clock::now();
  shared_->request.Set();
  const bool finished = shared_->done.Wait(timeout_ms_);
  wait_us_ += std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  if (!finished) {
    // Abandoned: it ends by itself once its query returns, holding what it uses.
    memory_.Remember(key);
    shared_->quit = true;
    shared_->request.Set();
    thread_.reset();
    shared_.reset();
    ++replaced_;
    return false;
  }
  if (!shared_->answered) return false;
  *name = std::move(shared_->name);
  return true;
}

}  // namespace orvalinth
