#pragma once
// CXSerializedAccess: one lock guarding the data of the class that derives
// from it. CXSerializedAccessInt adds one signed 32-bit integer read and
// changed under that lock (the recorder's counters).

#include <cstdint>
#include <mutex>

namespace orvalinth {

class CXSerializedAccess {
 public:
  CXSerializedAccess() = default;
  CXSerializedAccess(const CXSerializedAccess&) = delete;
  CXSerializedAccess& operator=(const CXSerializedAccess&) = delete;

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }
  std::mutex& mutex() { return lock_; }

 private:
  std::mutex lock_;
};

class CXSerializedAccessInt : public CXSerializedAccess {
 public:
  explicit CXSerializedAccessInt(int32_t value = 0) : value_(value) {}

  int32_t Get() {
    std::lock_guard<std::mutex> guard(mutex());
    return value_;
  }
  void Set(int32_t value) {
    std::lock_guard<std::mutex> guard(mutex());
    value_ = value;
  }
  // Adds `delta` and returns the new value.
  int32_t Add(int32_t delta) {
    std::lock_guard<std::mutex> guard(mutex());
    value_ += delta;
    return value_;
  }

 private:
  int32_t value_;
};

}  // namespace orvalinth
