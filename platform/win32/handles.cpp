// The system handle table through the native calls of ntdll.dll, resolved
// by name.

#include "platform/handles.h"

#include <cstdio>
#include <cstring>

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtDuplicateObjectFn = LONG(NTAPI*)(HANDLE, HANDLE, HANDLE, PHANDLE, ACCESS_MASK, ULONG, ULONG);
using NtQueryObjectFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using RtlGetVersionFn = LONG(NTAPI*)(OSVERSIONINFOW*);

constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kObjectNameInformation = 1;
constexpr ULONG kObjectTypeInformation = 2;
constexpr size_t kEntrySize = 24;
constexpr size_t kEntriesOffset = 8;

struct Native {
  NtQuerySystemInformationFn query_system = nullptr;
  NtDuplicateObjectFn duplicate = nullptr;
  NtQueryObjectFn query_object = nullptr;
  bool skip_files = false;
};

const Native& Resolved() {
  static const Native native = [] {
    Native n;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return n;
    n.query_system = win32::Function<NtQuerySystemInformationFn>(ntdll, "NtQuerySystemInformation");
    n.duplicate = win32::Function<NtDuplicateObjectFn>(ntdll, "NtDuplicateObject");
    n.query_object = win32::Function<NtQueryObjectFn>(ntdll, "NtQueryObject");
    if (auto version = win32::Function<RtlGetVersionFn>(ntdll, "RtlGetVersion")) {
      OSVERSIONINFOW info{};
      info.dwOSVersionInfoSize = sizeof info;
      if (version(&info) >= 0) n.skip_files = info.dwMajorVersion <= 5 && info.dwMinorVersion < 2;
    }
    return n;
  }();
  return native;
}

// The counted text (UNICODE_STRING) at the start of an object query's answer.
struct CountedText {
  USHORT length;  // bytes
  USHORT maximum;
  const wchar_t* buffer;
};

bool TextAt(const void* buffer, ULONG size, std::u16string* text) {
  CountedText s;
  if (size < sizeof s) return false;
  std::memcpy(&s, buffer, sizeof s);
  if (s.buffer == nullptr) {
    text->clear();
    return true;
  }
  text->assign(reinterpret_cast<const char16_t*>(s.buffer), s.length / 2);
  return true;
}

class WinDuplicate final : public DuplicatedHandle {
 public:
  explicit WinDuplicate(HANDLE handle) : handle_(handle) {}

  bool TypeName(std::u16string* type) override {
    alignas(8) uint8_t buffer[4096];
    ULONG returned = 0;
    if (Resolved().query_object(handle_.get(), kObjectTypeInformation, buffer, sizeof buffer, &returned) < 0) {
      return false;
    }
    return TextAt(buffer, sizeof buffer, type);
  }

  bool QueryName(void* buffer, uint32_t size, uint32_t* needed, std::u16string* name) override {
    std::memset(buffer, 0, size);
    ULONG returned = 0;
    if (Resolved().query_object(handle_.get(), kObjectNameInformation, buffer, size, &returned) < 0) {
      *needed = returned;
      return false;
    }
    *needed = 0;
    return TextAt(buffer, size, name);
  }

 private:
  win32::Handle handle_;
};

class WinOwner final : public HandleOwner {
 public:
  explicit WinOwner(HANDLE process) : process_(process) {}
  std::unique_ptr<DuplicatedHandle> Duplicate(uint16_t handle) override {
    HANDLE duplicate = nullptr;
    if (Resolved().duplicate(process_.get(), reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)),
                             GetCurrentProcess(), &duplicate, /*DesiredAccess=*/0, /*HandleAttributes=*/0,
                             /*Options=*/0) < 0) {
      return nullptr;
    }
    return std::make_unique<WinDuplicate>(duplicate);
  }

 private:
  win32::Handle process_;
};

class WinHandleTable final : public HandleTable {
 public:
  bool Entries(std::vector<SystemHandleEntry>* entries, std::string* error) override {
    entries->clear();
    const Native& n = Resolved();
    if (n.query_system == nullptr) return Fail(error, "NQSI missing");
    if (n.duplicate == nullptr) return Fail(error, "NDO missing");
    if (n.query_object == nullptr) return Fail(error, "NQO missing");
    std::vector<uint64_t> buffer;
    size_t size = 65536;
    LONG status = kStatusInfoLengthMismatch;
    while (status == kStatusInfoLengthMismatch) {
      try {
        buffer.assign(size / sizeof(uint64_t), 0);
      } catch (const std::bad_alloc&) {
        return Fail(error, "realloc failed");
      }
      ULONG returned = 0;
      status = n.query_system(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(size), &returned);
      if (status == kStatusInfoLengthMismatch) size *= 2;
    }
    if (status < 0) {
      char text[32];
      std::snprintf(text, sizeof text, "NQSI error %lx", static_cast<unsigned long>(status));
      return Fail(error, text);
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
    uint32_t count = 0;
    std::memcpy(&count, bytes, 4);
    const size_t room = (size - kEntriesOffset) / kEntrySize;
    if (count > room) count = static_cast<uint32_t>(room);
    entries->reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* entry = bytes + kEntriesOffset + i * kEntrySize;
      SystemHandleEntry e;
      std::memcpy(&e.pid, entry, 4);
      std::memcpy(&e.handle, entry + 6, 2);
      std::memcpy(&e.access, entry + 16, 4);  // after the 8-byte object address
      entries->push_back(e);
    }
    return true;
  }

  std::unique_ptr<HandleOwner> OpenOwner(uint32_t pid) override {
    return win32::OpenProcessFor<WinOwner>(PROCESS_DUP_HANDLE, pid);
  }

  bool SkipFileHandles() override { return Resolved().skip_files; }

 private:
  static bool Fail(std::string* error, const char* text) {
    *error = text;
    return false;
  }
};

}  // namespace

template <>
HandleTable& Facility<HandleTable>::Real() {
  static WinHandleTable instance;
  return instance;
}

}  // namespace orvalinth::platform
