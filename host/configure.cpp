#include "host/configure.h"

#include <memory>
#include <optional>

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "host/uninstall.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "settings/client_settings.h"

namespace orvalinth {
namespace {

enum class Key { kServerAddr, kServerPort, kServerTls, kServerPin, kUpgradeSigner };

struct SXKeyName {
  Key key;
  const char* name;
};
constexpr SXKeyName kKeys[] = {{Key::kServerAddr, "ServerAddr"},
                               {Key::kServerPort, "ServerPort"},
                               {Key::kServerTls, "ServerTLS"},
                               {Key::kServerPin, "ServerPin"},
                               {Key::kUpgradeSigner, "UpgradeSigner"}};

struct SXAssignment {
  Key key;
  const char* name;
  std::string value;
};

// 1 to 65535 in decimal digits; nullopt otherwise.
std::optional<int> PortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

}  // namespace

bool ConfigureSettings(const std::vector<std::string>& arguments, const std::u16string& settings_path,
                       std::string* error) {
  std::vector<SXAssignment> given;
  for (const std::string& argument : arguments) {
    const size_t colon = argument.find(':');
    if (colon == std::string::npos) {
      *error = "'" + argument + "' is no Key:value";
      return false;
    }
    const std::string name = argument.substr(0, colon);
    const SXKeyName* found = nullptr;
    for (const SXKeyName& key : kKeys) {
      if (EqualsFolded(name, key.name)) found = &key;
    }
    if (found == nullptr) {
      *error = "'" + name + "' is not a setting an installation gives";
      return false;
    }
    const std::string value = argument.substr(colon + 1);
    if (value.empty()) continue;  // a property that was not given
    if (found->key == Key::kServerPort && !PortNumber(value)) {
      *error = "ServerPort '" + value + "' is no port from 1 to 65535";
      return false;
    }
    given.push_back({found->key, found->name, value});
  }
  platform::FileSystem& files = platform::FileSystem::Get();
  const bool exists = files.Attributes(settings_path) != platform::kInvalidAttributes;
  if (given.empty() && exists) return true;

  CXClientSettings settings;
  // Load takes the path only from a file that reads: a fresh installation
  // starts from an empty file, which reads as the defaults, so that the
  // service it starts has a settings file even when no key was given.
  if (!exists) {
    if (files.Open(settings_path, platform::kOpenCreate) == nullptr) {
      *error = "cannot create " + Narrow(settings_path);
      return false;
    }
  }
  if (settings.Load(settings_path) == 0) {
    *error = "cannot read " + Narrow(settings_path);
    return false;
  }
  for (const SXAssignment& a : given) {
    switch (a.key) {
      case Key::kServerAddr: settings.set_server_address(a.value); break;
      case Key::kServerPort: settings.set_server_port(*PortNumber(a.value)); break;
      case Key::kServerTls: settings.set_server_tls(a.value); break;
      case Key::kServerPin: settings.set_server_pin(a.value); break;
      case Key::kUpgradeSigner: settings.set_upgrade_signer(a.value); break;
    }
  }
  if (settings.Save() == 0) {
    *error = "cannot save settings";
    return false;
  }
  return true;
}

void MarkPackageUpgrade() {
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().CreateKey(platform::RegistryRoot::kLocalMachine, CXSelfUninstall::kPackageKey,
                                            platform::kRegOptionNone, &key) != 0) {
    return;
  }
  key->SetValue(kPackageUpgradeValue, platform::kRegSz, platform::RegSzData(u"1"));
}

void ClearPackageUpgradeMark() {
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(platform::RegistryRoot::kLocalMachine, CXSelfUninstall::kPackageKey,
                                          platform::kRegOptionNone, platform::kRegWrite, &key) != 0) {
    return;
  }
  key->DeleteValue(kPackageUpgradeValue);
}

void Configure(const std::vector<std::string>& arguments) {
  ClearPackageUpgradeMark();
  std::string error;
  if (!ConfigureSettings(arguments, SettingsPath(), &error)) {
    LogError("configure: %s", error.c_str());
    return;
  }
  std::string names;
  for (const std::string& argument : arguments) {
    const size_t colon = argument.find(':');
    if (colon + 1 >= argument.size()) continue;
    names += (names.empty() ? "" : ", ") + argument.substr(0, colon);
  }
  LogInfo("settings configured: %s", names.empty() ? "none given" : names.c_str());
}

}  // namespace orvalinth
