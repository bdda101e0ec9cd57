#include "platform/event.h"

#include <chrono>

namespace orvalinth::platform {

void Event::Set() {
  std::lock_guard<std::mutex> guard(lock_);
  signalled_ = true;
  if (mode_ == Mode::kAutoReset) {
    changed_.notify_one();
  } else {
    changed_.notify_all();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  signalled_ = false;
}

bool Event::Wait(int64_t timeout_ms) {
  std::unique_lock<std::mutex> guard(lock_);
  const auto is_signalled = [this] { return signalled_; };
  if (timeout_ms == kInfinite) {
    changed_.wait(guard, is_signalled);
  } else if (!changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), is_signalled)) {
    return false;
  }
  if (mode_ == Mode::kAutoReset) signalled_ = false;
  return true;
}

}  // namespace orvalinth::platform
