// This process and the programs it starts, through the Windows API.

#include "platform/process.h"

#include "platform/win32/win.h"

#include <shellapi.h>

namespace orvalinth::platform {
namespace {

using win32::Handle;
using win32::U;
using win32::W;

class WinProcess final : public Process {
 public:
  std::u16string ExecutablePath() override {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(/*hModule=*/nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return std::u16string();
    return U(buffer.c_str(), n);
  }

  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    arguments->clear();
    int count = 0;
    LPWSTR* vector = CommandLineToArgvW(GetCommandLineW(), &count);
    if (vector == nullptr) return false;
    for (int i = 0; i < count; ++i) arguments->push_back(U(vector[i]));
    LocalFree(vector);
    return true;
  }

  bool Start(const std::u16string& program, const std::u16string& command_line, RunMode mode) override {
    std::u16string line = command_line;  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const DWORD flags = mode != RunMode::kWait ? (DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP) : 0;
    if (!CreateProcessW(W(program), reinterpret_cast<LPWSTR>(&line[0]), /*lpProcessAttributes=*/nullptr,
                        /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, flags,
                        /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &info)) {
      return false;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (mode == RunMode::kWait) WaitForSingleObject(process.get(), INFINITE);
    if (mode == RunMode::kReplace) EndProcessNow(0);
    return true;
  }

  bool StartInPlace(const std::u16string& program, const std::u16string& command_line,
                    const std::function<void()>& hand_over) override {
    std::u16string line = command_line;  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Suspended: nothing of it runs before the hand-over is done.
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED;
    if (!CreateProcessW(W(program), reinterpret_cast<LPWSTR>(&line[0]), /*lpProcessAttributes=*/nullptr,
                        /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, flags,
                        /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &info)) {
      return false;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    hand_over();
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
      const DWORD error = GetLastError();
      TerminateProcess(process.get(), /*uExitCode=*/1);
      SetLastError(error);
      return false;
    }
    EndProcessNow(0);
  }
};

}  // namespace

template <>
Process& Facility<Process>::Real() {
  static WinProcess instance;
  return instance;
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void EndProcessNow(int code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));
}

void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace orvalinth::platform
