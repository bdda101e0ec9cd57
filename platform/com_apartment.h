#pragma once
// COM for the calling thread, for as long as the object lives: a
// single-threaded apartment on win32 (CoInitializeEx), nothing on POSIX.

namespace orvalinth::platform {

class ScopedComApartment {
 public:
  ScopedComApartment();
  // Uninitialises COM when the constructor initialised it.
  ~ScopedComApartment();
  ScopedComApartment(const ScopedComApartment&) = delete;
  ScopedComApartment& operator=(const ScopedComApartment&) = delete;

  // True when COM can be used on this thread: initialised here, or already
  // initialised before (in either threading model).
  bool ready() const { return ready_; }

 private:
  bool ready_ = false;
  [[maybe_unused]] bool owned_ = false;  // win32 only: this object initialised COM
};

}  // namespace orvalinth::platform
