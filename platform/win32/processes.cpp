// The running processes and their modules through the process-status
// library and NtQueryInformationProcess, both loaded by name once.

#include "platform/processes.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExWFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using NtQueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

struct Functions {
  EnumProcessesFn enum_processes = nullptr;
  EnumProcessModulesFn enum_modules = nullptr;
  GetModuleFileNameExWFn module_file_name = nullptr;
  NtQueryInformationProcessFn query_process = nullptr;
};

// Loaded on first use; the libraries stay loaded.
const Functions& Loaded() {
  static const Functions functions = [] {
    Functions f;
    const HMODULE psapi = LoadLibraryW(L"PSAPI.DLL");
    f.enum_processes = win32::Function<EnumProcessesFn>(psapi, "EnumProcesses");
    f.enum_modules = win32::Function<EnumProcessModulesFn>(psapi, "EnumProcessModules");
    f.module_file_name = win32::Function<GetModuleFileNameExWFn>(psapi, "GetModuleFileNameExW");
    f.query_process = win32::Function<NtQueryInformationProcessFn>(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess");
    return f;
  }();
  return functions;
}

class WinOpenedProcess final : public OpenedProcess {
 public:
  explicit WinOpenedProcess(HANDLE process) : process_(process) {}

  bool Modules(uint32_t max, std::vector<uint64_t>* modules) override {
    modules->clear();
    const Functions& f = Loaded();
    if (f.enum_modules == nullptr) return false;
    std::vector<HMODULE> handles(max);
    DWORD needed = 0;
    if (!f.enum_modules(process_.get(), handles.data(), static_cast<DWORD>(handles.size() * sizeof(HMODULE)),
                        &needed)) {
      return false;
    }
    const size_t count = std::min<size_t>(needed / sizeof(HMODULE), max);
    for (size_t i = 0; i < count; ++i) modules->push_back(reinterpret_cast<uint64_t>(handles[i]));
    return true;
  }

  bool ModuleFileName(uint64_t module, std::u16string* name) override {
    const Functions& f = Loaded();
    if (f.module_file_name == nullptr) return false;
    wchar_t buffer[520];
    const DWORD n = f.module_file_name(process_.get(), reinterpret_cast<HMODULE>(module), buffer, 520);
    if (n == 0) return false;
    *name = win32::U(buffer, std::min<DWORD>(n, 519));
    return true;
  }

  bool EnvironmentBlock(uint64_t* address) override {
    const Functions& f = Loaded();
    if (f.query_process == nullptr) return false;
    // Basic information: the block's address at offset 8 of 48 bytes (more when the system says so).
    std::vector<uint8_t> info(48, 0);
    ULONG size = 0;
    LONG status = f.query_process(process_.get(), /*ProcessBasicInformation=*/0, info.data(),
                                  static_cast<ULONG>(info.size()), &size);
    if (status >= 0 && size > info.size()) {
      info.assign(size, 0);
      status = f.query_process(process_.get(), 0, info.data(), static_cast<ULONG>(info.size()), &size);
    }
    if (status < 0) return false;
    uint64_t peb = 0;
    std::memcpy(&peb, info.data() + 8, sizeof peb);
    *address = peb;
    return peb != 0;
  }

  bool ReadMemory(uint64_t address, void* buffer, size_t size, size_t* read) override {
    SIZE_T got = 0;
    const BOOL ok = ReadProcessMemory(process_.get(), reinterpret_cast<LPCVOID>(address), buffer, size, &got);
    *read = got;
    return ok || got > 0;  // a partial copy still gives what it read
  }

 private:
  win32::Handle process_;
};

class WinProcessTable final : public ProcessTable {
 public:
  bool Available() override {
    const Functions& f = Loaded();
    return f.enum_processes != nullptr && f.enum_modules != nullptr;
  }

  bool ProcessIds(uint32_t room_bytes, std::vector<uint32_t>* ids, uint32_t* bytes) override {
    ids->assign(room_bytes / 4, 0);
    DWORD got = 0;
    if (Loaded().enum_processes == nullptr ||
        !Loaded().enum_processes(reinterpret_cast<DWORD*>(ids->data()), room_bytes / 4 * 4, &got)) {
      *bytes = got;
      ids->clear();
      return false;
    }
    ids->resize(got / 4);
    *bytes = got;
    return true;
  }

  std::unique_ptr<OpenedProcess> Open(uint32_t pid) override {
    return win32::OpenProcessFor<WinOpenedProcess>(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, pid);
  }
};

}  // namespace

template <>
ProcessTable& Facility<ProcessTable>::Real() {
  static WinProcessTable instance;
  return instance;
}

}  // namespace orvalinth::platform
