#include "record/apps/name_query_worker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/event.h"
#include "platform/handles.h"

namespace orvalinth {

// What the worker thread touches: nothing else.
struct CXNameQueryWorker::Shared {
  platform::Event request{platform::Event::Mode::kAutoReset};
  platform::Event done{platform::Event::Mode::kAutoReset};
  std::vector<uint64_t> buffer = std::vector<uint64_t>(kFirstBufferSize / sizeof(uint64_t));
  std::shared_ptr<platform::DuplicatedHandle> handle;
  bool answered = false;
  std::u16string name;
  std::atomic<bool> quit{false};
};

CXNameQueryWorker::CXNameQueryWorker(uint32_t timeout_ms) : timeout_ms_(timeout_ms) {}

CXNameQueryWorker::~CXNameQueryWorker() {
  if (shared_ == nullptr) return;
  shared_->quit = true;
  shared_->request.Set();
  shared_->done.Wait(platform::Event::kInfinite);
  thread_.join();
}

void CXNameQueryWorker::Loop(std::shared_ptr<Shared> shared) {
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
  shared->done.Set();
}

bool CXNameQueryWorker::Query(const std::shared_ptr<platform::DuplicatedHandle>& handle, std::u16string* name) {
  if (shared_ == nullptr) {
    shared_ = std::make_shared<Shared>();
    thread_ = std::thread(Loop, shared_);
  }
  shared_->handle = handle;
  const auto start = std::chrono::steady_clock::now();
  shared_->request.Set();
  const bool finished = shared_->done.Wait(timeout_ms_);
  wait_us_ += std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  if (!finished) {
    // Abandoned: it ends by itself once its query returns, holding what it uses.
    shared_->quit = true;
    shared_->request.Set();
    thread_.detach();
    shared_.reset();
    ++replaced_;
    return false;
  }
  if (!shared_->answered) return false;
  *name = std::move(shared_->name);
  return true;
}

}  // namespace orvalinth
