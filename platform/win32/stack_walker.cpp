// The stack walk of the crash report with the debug-help library.

#include "platform/win32/stack_walker.h"

// clang-format off
#include <dbghelp.h>
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

#include <cxxabi.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

namespace orvalinth::platform::win32 {

struct StackWalker::Functions {
  BOOL(WINAPI* sym_initialize)(HANDLE, PCSTR, BOOL) = nullptr;
  BOOL(WINAPI* sym_cleanup)(HANDLE) = nullptr;
  BOOL(WINAPI* stack_walk64)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID, PREAD_PROCESS_MEMORY_ROUTINE64,
                             PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                             PTRANSLATE_ADDRESS_ROUTINE64) = nullptr;
  DWORD(WINAPI* sym_get_options)() = nullptr;
  DWORD(WINAPI* sym_set_options)(DWORD) = nullptr;
  PVOID(WINAPI* sym_function_table_access64)(HANDLE, DWORD64) = nullptr;
  BOOL(WINAPI* sym_get_line_from_addr64)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64) = nullptr;
  DWORD64(WINAPI* sym_get_module_base64)(HANDLE, DWORD64) = nullptr;
  BOOL(WINAPI* sym_get_module_info64)(HANDLE, DWORD64, PIMAGEHLP_MODULE64) = nullptr;
  BOOL(WINAPI* sym_get_sym_from_addr64)(HANDLE, DWORD64, PDWORD64, PIMAGEHLP_SYMBOL64) = nullptr;
  DWORD(WINAPI* undecorate_symbol_name)(PCSTR, PSTR, DWORD, DWORD) = nullptr;
  DWORD64(WINAPI* sym_load_module64)(HANDLE, HANDLE, PCSTR, PCSTR, DWORD64, DWORD) = nullptr;
  BOOL(WINAPI* sym_get_search_path)(HANDLE, PSTR, DWORD) = nullptr;
};

namespace {

constexpr DWORD kMaxName = 1024;

StackWalker::Functions g_functions;

template <class F>
bool Find(HMODULE library, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return *function != nullptr;
}

std::string Environment(const char* name) {
  char value[MAX_PATH * 4];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

// The library from the debugging tools when they are installed (newer than
// the system's copy), else the system's.
HMODULE LoadDbgHelp() {
  static const wchar_t* const kFolders[] = {
      L"\\Debugging Tools for Windows (x64)\\", L"\\Debugging Tools for Windows 64-Bit\\",
      L"\\Debugging Tools for Windows\\", L"\\Windows Kits\\10\\Debuggers\\x64\\"};
  wchar_t program_files[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"ProgramFiles", program_files, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    for (const wchar_t* folder : kFolders) {
      const std::wstring path = std::wstring(program_files, n) + folder + L"dbghelp.dll";
      if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
      if (HMODULE library = LoadLibraryW(path.c_str())) return library;
    }
  }
  return LoadLibraryW(L"dbghelp.dll");
}

// An Itanium C++ name (what mingw-w64 builds carry), undecorated; empty for any other.
std::string Demangled(const char* raw) {
  if (raw[0] != '_' || raw[1] != 'Z') return std::string();
  int status = -1;
  char* text = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
  std::string out = status == 0 && text != nullptr ? text : "";
  std::free(text);
  return out;
}

}  // namespace

bool StackWalker::Load() {
  if (library_ != nullptr) return true;
  HMODULE library = LoadDbgHelp();
  if (library == nullptr) return false;
  Functions& f = g_functions;
  const bool complete =
      Find(library, "SymInitialize", &f.sym_initialize) && Find(library, "SymCleanup", &f.sym_cleanup) &&
      Find(library, "StackWalk64", &f.stack_walk64) && Find(library, "SymGetOptions", &f.sym_get_options) &&
      Find(library, "SymSetOptions", &f.sym_set_options) &&
      Find(library, "SymFunctionTableAccess64", &f.sym_function_table_access64) &&
      Find(library, "SymGetModuleBase64", &f.sym_get_module_base64) &&
      Find(library, "SymGetSymFromAddr64", &f.sym_get_sym_from_addr64) &&
      Find(library, "SymLoadModule64", &f.sym_load_module64);
  if (!complete) {
    FreeLibrary(library);
    return false;
  }
  // Optional: without them the frames have fewer details.
  Find(library, "SymGetLineFromAddr64", &f.sym_get_line_from_addr64);
  Find(library, "SymGetModuleInfo64", &f.sym_get_module_info64);
  Find(library, "UnDecorateSymbolName", &f.undecorate_symbol_name);
  Find(library, "SymGetSearchPath", &f.sym_get_search_path);
  library_ = library;
  functions_ = &f;
  return true;
}

std::string StackWalker::SearchPath() {
  std::string path = ".;";
  char exe[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n > 0 && n < sizeof exe) {
    std::string folder(exe, n);
    const size_t slash = folder.find_last_of("\\/");
    if (slash != std::string::npos) path += folder.substr(0, slash) + ";";
  }
  for (const char* name : {"_NT_SYMBOL_PATH", "_NT_ALTERNATE_SYMBOL_PATH"}) {
    const std::string value = Environment(name);
    if (!value.empty()) path += value + ";";
  }
  const std::string root = Environment("SYSTEMROOT");
  if (!root.empty()) path += root + ";" + root + "\\system32;";
  std::string drive = Environment("SYSTEMDRIVE");
  if (drive.empty()) drive = "c:";
  path += "SRV*" + drive + "\\websymbols*https://msdl.microsoft.com/download/symbols;";
  return path;
}

void StackWalker::Walk(HANDLE thread, const CONTEXT& context, StackSink& sink) {
  if (functions_ == nullptr) {
    sink.Error("LoadLibrary dbghelp.dll", ERROR_DLL_NOT_FOUND, context.Rip);
    return;
  }
  const Functions& f = *functions_;
  const HANDLE process = GetCurrentProcess();
  if (!f.sym_initialize(process, SearchPath().c_str(), FALSE)) {
    sink.Error("SymInitialize", GetLastError(), 0);
    return;
  }
  f.sym_set_options(f.sym_get_options() | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS);
  LoadModules(process);

  CONTEXT walked = context;  // StackWalk64 changes the context as it goes
  STACKFRAME64 s;
  ZeroMemory(&s, sizeof s);
  s.AddrPC.Offset = walked.Rip;
  s.AddrPC.Mode = AddrModeFlat;
  s.AddrFrame.Offset = walked.Rsp;
  s.AddrFrame.Mode = AddrModeFlat;
  s.AddrStack.Offset = walked.Rsp;
  s.AddrStack.Mode = AddrModeFlat;
  for (int n = 0; n < kMaxFrames; ++n) {
    if (!f.stack_walk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &s, &walked, nullptr,
                        f.sym_function_table_access64, f.sym_get_module_base64, nullptr)) {
      // The normal end of a walk that found no return address of 0.
      if (GetLastError() != ERROR_SUCCESS) sink.Error("StackWalk64", GetLastError(), s.AddrPC.Offset);
      break;
    }
    if (s.AddrPC.Offset == s.AddrReturn.Offset) {
      sink.Error("StackWalk64-Endless-Callstack!", 0, s.AddrPC.Offset);
      break;
    }
    if (s.AddrPC.Offset != 0) {
      StackFrame frame;
      Describe(process, s.AddrPC.Offset, &frame, sink);
      sink.Frame(frame);
    }
    if (s.AddrReturn.Offset == 0) break;
  }
  f.sym_cleanup(process);
}

void StackWalker::Describe(HANDLE process, uint64_t address, StackFrame* frame, StackSink& sink) {
  const Functions& f = *functions_;
  frame->address = address;

  alignas(IMAGEHLP_SYMBOL64) char symbol_space[sizeof(IMAGEHLP_SYMBOL64) + kMaxName];
  auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbol_space);
  ZeroMemory(symbol_space, sizeof symbol_space);
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol->MaxNameLength = kMaxName;
  DWORD64 displacement = 0;
  if (f.sym_get_sym_from_addr64(process, address, &displacement, symbol)) {
    symbol->Name[kMaxName - 1] = '\0';
    frame->raw_name = symbol->Name;
    char undecorated[kMaxName];
    if (f.undecorate_symbol_name != nullptr) {
      if (f.undecorate_symbol_name(symbol->Name, undecorated, kMaxName, UNDNAME_NAME_ONLY) != 0) {
        frame->name = undecorated;
      }
      if (f.undecorate_symbol_name(symbol->Name, undecorated, kMaxName, UNDNAME_COMPLETE) != 0) {
        frame->full_name = undecorated;
      }
    }
    // The library knows only the Microsoft decoration; our own code has the
    // Itanium one, which it returns unchanged or not at all.
    const std::string itanium = Demangled(symbol->Name);
    if (!itanium.empty()) {
      frame->full_name = itanium;
      frame->name = itanium.substr(0, itanium.find('('));
    }
  } else {
    sink.Error("SymGetSymFromAddr64", GetLastError(), address);
  }

  if (f.sym_get_line_from_addr64 != nullptr) {
    IMAGEHLP_LINE64 line;
    ZeroMemory(&line, sizeof line);
    line.SizeOfStruct = sizeof line;
    DWORD line_displacement = 0;
    if (f.sym_get_line_from_addr64(process, address, &line_displacement, &line)) {
      if (line.FileName != nullptr) frame->file = line.FileName;
      frame->line = static_cast<int>(line.LineNumber);
    } else {
      sink.Error("SymGetLineFromAddr64", GetLastError(), address);
    }
  }

  if (f.sym_get_module_info64 != nullptr) {
    IMAGEHLP_MODULE64 module;
    ZeroMemory(&module, sizeof module);
    module.SizeOfStruct = sizeof module;
    BOOL found = f.sym_get_module_info64(process, address, &module);
    if (!found && GetLastError() == ERROR_INVALID_PARAMETER) {
      // An older library knows the structure only up to the PDB name.
      module.SizeOfStruct = offsetof(IMAGEHLP_MODULE64, LoadedPdbName);
      found = f.sym_get_module_info64(process, address, &module);
    }
    if (found) {
      module.ModuleName[sizeof module.ModuleName - 1] = '\0';
      frame->module = module.ModuleName;
    } else {
      sink.Error("SymGetModuleInfo64", GetLastError(), address);
    }
  }
}

bool StackWalker::LoadModules(HANDLE process) {
  return LoadModulesToolHelp(process) || LoadModulesPsapi(process);
}

bool StackWalker::LoadModulesToolHelp(HANDLE process) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return false;
  HANDLE(WINAPI * snapshot_of)(DWORD, DWORD) = nullptr;
  BOOL(WINAPI * first)(HANDLE, LPMODULEENTRY32W) = nullptr;
  BOOL(WINAPI * next)(HANDLE, LPMODULEENTRY32W) = nullptr;
  if (!Find(kernel, "CreateToolhelp32Snapshot", &snapshot_of) || !Find(kernel, "Module32FirstW", &first) ||
      !Find(kernel, "Module32NextW", &next)) {
    return false;
  }
  Handle snapshot(snapshot_of(TH32CS_SNAPMODULE, GetCurrentProcessId()));
  if (!snapshot.valid()) return false;
  MODULEENTRY32W entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = first(snapshot.get(), &entry); more; more = next(snapshot.get(), &entry)) {
    char image[MAX_PATH * 4];
    char name[MAX_PATH * 4];
    // The library's 8-bit calls take the system code page.
    if (WideCharToMultiByte(CP_ACP, 0, entry.szExePath, -1, image, sizeof image, nullptr, nullptr) == 0) continue;
    if (WideCharToMultiByte(CP_ACP, 0, entry.szModule, -1, name, sizeof name, nullptr, nullptr) == 0) continue;
    LoadModule(process, image, name, reinterpret_cast<uint64_t>(entry.modBaseAddr), entry.modBaseSize);
    ++count;
  }
  return count > 0;
}

bool StackWalker::LoadModulesPsapi(HANDLE process) {
  HMODULE psapi = LoadLibraryW(L"psapi.dll");
  if (psapi == nullptr) return false;
  BOOL(WINAPI * enumerate)(HANDLE, HMODULE*, DWORD, LPDWORD) = nullptr;
  DWORD(WINAPI * file_name)(HANDLE, HMODULE, LPSTR, DWORD) = nullptr;
  DWORD(WINAPI * base_name)(HANDLE, HMODULE, LPSTR, DWORD) = nullptr;
  BOOL(WINAPI * information)(HANDLE, HMODULE, LPMODULEINFO, DWORD) = nullptr;
  int count = 0;
  if (Find(psapi, "EnumProcessModules", &enumerate) && Find(psapi, "GetModuleFileNameExA", &file_name) &&
      Find(psapi, "GetModuleBaseNameA", &base_name) && Find(psapi, "GetModuleInformation", &information)) {
    std::vector<HMODULE> modules(1024);
    DWORD needed = 0;
    if (enumerate(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed)) {
      modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
      for (HMODULE module : modules) {
        MODULEINFO info;
        char image[MAX_PATH * 4];
        char name[MAX_PATH * 4];
        if (!information(process, module, &info, sizeof info)) continue;
        if (file_name(process, module, image, sizeof image) == 0) continue;
        if (base_name(process, module, name, sizeof name) == 0) continue;
        LoadModule(process, image, name, reinterpret_cast<uint64_t>(info.lpBaseOfDll), info.SizeOfImage);
        ++count;
      }
    }
  }
  FreeLibrary(psapi);
  return count > 0;
}

void StackWalker::LoadModule(HANDLE process, const std::string& image, const std::string& name, uint64_t base,
                             uint32_t size) {
  // Failures (a module without symbols) are no news: the walker's own
  // module-load notices are not part of the report.
  functions_->sym_load_module64(process, nullptr, image.c_str(), name.c_str(), base, size);
}

}  // namespace orvalinth::platform::win32
