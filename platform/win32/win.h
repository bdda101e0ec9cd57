#pragma once
// The one way into <windows.h>: Winsock 2 first, no min/max macros, and the
// macros that collide with our own names taken away again.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <string>

#include "platform/extended_path.h"

#undef DeleteFile
#undef CopyFile
#undef MoveFile
#undef CreateDirectory
#undef RemoveDirectory
#undef GetMessage
#undef SendMessage
#undef GetUserName
#undef GetComputerName

namespace orvalinth::platform::win32 {

// Our UTF-16 strings and the Windows API's wide strings are the same units.
inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline std::u16string U(const wchar_t* s) { return s == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(s)); }
inline std::u16string U(const wchar_t* s, size_t n) { return std::u16string(reinterpret_cast<const char16_t*>(s), n); }

// `path` for the file-system calls: refused (false, ERROR_FILENAME_EXCED_RANGE)
// when longer than any Windows path can be, else in the extended form where
// the ordinary path rules would misread it (platform/extended_path.h).
inline bool CallPath(const std::u16string& path, std::u16string* out) {
  if (!PathTooLong(path)) {
    *out = ExtendedLengthPath(path);
    if (!PathTooLong(*out)) return true;
  }
  ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

// Owns one kernel handle.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept : h_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.Release();
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// The function `name` of a loaded `library` as a pointer of type Fn; nullptr
// when the library or the function is not there.
template <class Fn>
Fn Function(HMODULE library, const char* name) {
  return library == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// Opens process `pid` with `access` for a new Owner that keeps the handle;
// nullptr when the process cannot be opened (gone, or not ours to open).
template <class Owner>
std::unique_ptr<Owner> OpenProcessFor(DWORD access, uint32_t pid) {
  HANDLE process = OpenProcess(access, /*bInheritHandle=*/FALSE, pid);
  if (process == nullptr) return nullptr;
  return std::make_unique<Owner>(process);
}

// FILETIME as one 64-bit count.
inline int64_t FileTimeValue(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

}  // namespace orvalinth::platform::win32
