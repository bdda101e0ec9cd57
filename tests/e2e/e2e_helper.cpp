// orvalinth_e2e_helper.exe: what the end-to-end tests need inside a Wine
// prefix that Wine's own tools cannot do. Built by the win64 build only.
//
//   orvalinth_e2e_helper reg-link KEY TARGET
//     creates the key KEY (a path below HKEY_LOCAL_MACHINE, made with every
//     key on the way) as a registry link whose "SymbolicLinkValue" is TARGET
//     (a native path such as \Registry\Machine\SOFTWARE\...);
//   orvalinth_e2e_helper shortcut CSIDL NAME TARGET
//     saves the shortcut NAME to the file TARGET in the shell folder CSIDL
//     through the shell's own link object, and prints the shortcut's path;
//   orvalinth_e2e_helper folder CSIDL
//     prints the path of the shell folder CSIDL as the shell spells it;
//   orvalinth_e2e_helper services
//     prints every service and driver the service manager lists, one line
//     each: name, display name, type, current state, start type and
//     description ("-" for a query the manager refuses), separated by tabs
//     (UTF-8), straight from the manager's own calls;
//   orvalinth_e2e_helper hold FILE PORT_FILE
//     holds FILE open and listens on a free TCP port of 127.0.0.1, writes
//     the port's number to PORT_FILE, and waits until it is killed.
// Exit code 0 on success, else the system's error code (1 for a usage
// error), with a line on standard error.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/win32/win.h"
#include "base/strings.h"

// clang-format off
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <winsvc.h>
// clang-format on

namespace {

using orvalinth::Widen;
namespace platform = orvalinth::platform;

int MakeLink(const std::u16string& key, const std::u16string& target) {
  platform::Registry& registry = platform::Registry::Get();
  const size_t last = key.rfind(u'\\');
  if (last != std::u16string::npos) {
    // The parents are plain keys.
    std::unique_ptr<platform::RegistryKey> parent;
    const uint32_t made = registry.CreateKey(platform::RegistryRoot::kLocalMachine, key.substr(0, last),
                                             platform::kRegOptionNone, &parent);
    if (made != 0) {
      std::fprintf(stderr, "cannot create the parent key (error %u)\n", static_cast<unsigned>(made));
      return static_cast<int>(made);
    }
  }
  std::unique_ptr<platform::RegistryKey> link;
  const uint32_t created =
      registry.CreateKey(platform::RegistryRoot::kLocalMachine, key, platform::kRegOptionCreateLink, &link);
  if (created != 0) {
    std::fprintf(stderr, "cannot create the link key (error %u)\n", static_cast<unsigned>(created));
    return static_cast<int>(created);
  }
  const uint32_t set =
      link->SetValue(platform::kSymbolicLinkValueName, platform::kRegLink, platform::RegLinkData(target));
  if (set != 0) {
    std::fprintf(stderr, "cannot set the link's target (error %u)\n", static_cast<unsigned>(set));
    return static_cast<int>(set);
  }
  return 0;
}

int Report(const char* what, long code) {
  std::fprintf(stderr, "%s (error 0x%lx)\n", what, static_cast<unsigned long>(code));
  return code == 0 ? 1 : static_cast<int>(code);
}

int MakeShortcut(int csidl, const std::u16string& name, const std::u16string& target) {
  wchar_t folder[MAX_PATH + 1] = {};
  HRESULT result = SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (result != S_OK) return Report("no such shell folder", result);
  const std::wstring link_path = std::wstring(folder) + L"\\" + reinterpret_cast<const wchar_t*>(name.c_str());
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                            reinterpret_cast<void**>(&link));
  if (FAILED(result)) return Report("no shell link object", result);
  result = link->SetPath(reinterpret_cast<const wchar_t*>(target.c_str()));
  IPersistFile* file = nullptr;
  if (SUCCEEDED(result)) result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(result)) {
    result = file->Save(link_path.c_str(), TRUE);
    file->Release();
  }
  link->Release();
  CoUninitialize();
  if (FAILED(result)) return Report("cannot save the shortcut", result);
  std::printf("%s\n", orvalinth::EncodeUtf8(reinterpret_cast<const char16_t*>(link_path.c_str())).c_str());
  return 0;
}

std::string Utf8(const wchar_t* text) {
  return text == nullptr ? std::string() : orvalinth::EncodeUtf8(reinterpret_cast<const char16_t*>(text));
}

int PrintFolder(int csidl) {
  wchar_t folder[MAX_PATH + 1] = {};
  const HRESULT result = SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (result != S_OK) return Report("no such shell folder", result);
  std::printf("%s\n", Utf8(folder).c_str());
  return 0;
}

int ListServices() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
  if (manager == nullptr) return Report("cannot open the service manager", static_cast<long>(GetLastError()));
  DWORD needed = 0, returned = 0, resume = 0;
  EnumServicesStatusW(manager, SERVICE_TYPE_ALL, SERVICE_STATE_ALL, nullptr, 0, &needed, &returned, &resume);
  std::vector<uint64_t> buffer(needed / 8 + 1);
  resume = 0;
  auto* list = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
  if (!EnumServicesStatusW(manager, SERVICE_TYPE_ALL, SERVICE_STATE_ALL, list,
                           static_cast<DWORD>(buffer.size() * 8), &needed, &returned, &resume)) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    return Report("cannot list the services", static_cast<long>(error));
  }
  std::vector<uint64_t> config(8192 / 8);
  for (DWORD i = 0; i < returned; ++i) {
    // The start type and description as the manager answers them; "-" when
    // it does not.
    std::string start = "-";
    std::string description = "-";
    SC_HANDLE service = OpenServiceW(manager, list[i].lpServiceName, GENERIC_READ);
    if (service != nullptr) {
      DWORD size = 0;
      if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                              static_cast<DWORD>(config.size() * 8), &size)) {
        start = std::to_string(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data())->dwStartType);
      }
      if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(config.data()),
                               static_cast<DWORD>(config.size() * 8), &size)) {
        description = Utf8(reinterpret_cast<SERVICE_DESCRIPTIONW*>(config.data())->lpDescription);
      }
      CloseServiceHandle(service);
    }
    std::printf("%s\t%s\t%lu\t%lu\t%s\t%s\n", Utf8(list[i].lpServiceName).c_str(),
                Utf8(list[i].lpDisplayName).c_str(), static_cast<unsigned long>(list[i].ServiceStatus.dwServiceType),
                static_cast<unsigned long>(list[i].ServiceStatus.dwCurrentState), start.c_str(), description.c_str());
  }
  CloseServiceHandle(manager);
  return 0;
}

}  // namespace

int Hold(const char* file, const char* port_file) {
  HANDLE held = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open the file (error %lu)\n", GetLastError());
    return static_cast<int>(GetLastError());
  }
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "cannot listen (error %d)\n", WSAGetLastError());
    return WSAGetLastError();
  }
  FILE* out = std::fopen(port_file, "w");
  if (out == nullptr) return 1;
  std::fprintf(out, "%u", static_cast<unsigned>(ntohs(address.sin_port)));
  std::fclose(out);
  for (;;) Sleep(INFINITE);
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "hold") == 0) return Hold(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "reg-link") == 0) return MakeLink(Widen(argv[2]), Widen(argv[3]));
  if (argc == 5 && std::strcmp(argv[1], "shortcut") == 0) {
    return MakeShortcut(std::atoi(argv[2]), Widen(argv[3]), Widen(argv[4]));
  }
  if (argc == 2 && std::strcmp(argv[1], "services") == 0) return ListServices();
  if (argc == 3 && std::strcmp(argv[1], "folder") == 0) return PrintFolder(std::atoi(argv[2]));
  std::fprintf(stderr,
               "usage: orvalinth_e2e_helper reg-link KEY TARGET\n"
               "       orvalinth_e2e_helper shortcut CSIDL NAME TARGET\n"
               "       orvalinth_e2e_helper folder CSIDL\n"
               "       orvalinth_e2e_helper services\n"
               "       orvalinth_e2e_helper hold FILE PORT_FILE\n");
  return 1;
}
