#include "server/comparison_pool.h"

#include <chrono>
#include <exception>
#include <utility>

#include "platform/threads.h"

namespace orvalinth::server {

CXComparisonPool::CXComparisonPool(unsigned workers) {
  if (workers == 0) workers = 1;
  threads_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { Run(); });
}

CXComparisonPool::~CXComparisonPool() { Stop(); }

bool CXComparisonPool::Submit(SXComparisonJob job, Done on_done) {
  auto shared = std::make_shared<SXComparisonJob>(std::move(job));
  return Submit(
      [shared](const std::atomic<bool>& cancel) {
        shared->options.cancel = &cancel;
        return CompareArrived(shared->old_path, shared->new_path, shared->options);
      },
      std::move(on_done));
}

bool CXComparisonPool::Submit(Work work, Done on_done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(Task{std::move(work), std::move(on_done)});
  }
  wake_.notify_one();
  return true;
}

size_t CXComparisonPool::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void CXComparisonPool::Stop() {
  std::lock_guard<std::mutex> one(stop_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cancel_.store(true);
  wake_.notify_all();
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void CXComparisonPool::Call(const Done& done, SXComparison result) {
  if (!done) return;
  try {
    done(std::move(result));
  } catch (...) {
    // The contract says on_done does not throw; a worker must outlive one that does.
  }
}

void CXComparisonPool::Run() {
  // Comparisons take what processor the loop and the downloads leave: on a
  // machine of two cores a saturated pool would otherwise halve the downloads.
  platform::LowerCurrentThreadPriority();
  for (;;) {
    Task task;
    bool abandon = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing is left to abandon
      task = std::move(queue_.front());
      queue_.pop_front();
      abandon = stopping_;
      if (!abandon) ++busy_;
    }
    if (abandon) {
      SXComparison result;
      result.status = SXComparisonStatus::kAbandoned;
      result.error = "the comparison pool stopped before the comparison began";
      Call(task.done, std::move(result));
      ++abandoned_;
      continue;
    }
    SXComparison result;
    const auto began = std::chrono::steady_clock::now();
    try {
      result = task.work(cancel_);
    } catch (const std::exception& e) {
      result = SXComparison();
      result.status = SXComparisonStatus::kFailed;
      result.error = std::string("the comparison failed: ") + e.what();
    } catch (...) {
      result = SXComparison();
      result.status = SXComparisonStatus::kFailed;
      result.error = "the comparison failed with an unknown exception";
    }
    busy_micros_ += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began).count());
    Call(task.done, std::move(result));
    ++completed_;
    --busy_;
  }
}

}  // namespace orvalinth::server
