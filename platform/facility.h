#pragma once
// Every operating-system facility is an abstract class with one process-wide
// instance, reached through the class itself: platform::FileSystem::Get(). The
// class derives from Facility<itself>, so the interface and the way to reach
// it have one name. The backend (platform/win32 or platform/posix) provides
// the real instance through Real(); tests put a fake or a wrapper in its
// place for the lifetime of a ScopedFacility and the real one comes back when
// that object goes.

#include <atomic>

namespace orvalinth::platform {

template <class T>
class Facility {
 public:
  // The instance in force: the override when one is installed, else the real one.
  static T& Get() {
    T* current = override_.load(std::memory_order_acquire);
    return current != nullptr ? *current : Real();
  }
  // The backend's instance; defined by the backend for every facility.
  static T& Real();
  // Installs `replacement` (null restores the real one); returns the previous override.
  static T* Exchange(T* replacement) { return override_.exchange(replacement, std::memory_order_acq_rel); }

 private:
  static inline std::atomic<T*> override_{nullptr};
};

// Puts `replacement` in place of a facility until the end of the scope.
template <class T>
class ScopedFacility {
 public:
  explicit ScopedFacility(T& replacement) : previous_(Facility<T>::Exchange(&replacement)) {}
  ~ScopedFacility() { Facility<T>::Exchange(previous_); }
  ScopedFacility(const ScopedFacility&) = delete;
  ScopedFacility& operator=(const ScopedFacility&) = delete;

 private:
  T* previous_;
};

}  // namespace orvalinth::platform
