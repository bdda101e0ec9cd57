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
  // Sets `desired` when the value is `expected`; returns the value found, so
  // the change took place when the result equals `expected`.
  int32_t CompareExchange(int32_t expected, int32_t desired) {
    std::lock_guard<std::mutex> guard(mutex());
    const int32_t found = value_;
    if (found == expected) value_ = desired;
    return found;
  }

 private:
  int32_t value_;
};

}  // namespace orvalinth
