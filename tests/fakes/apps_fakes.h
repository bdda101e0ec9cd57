#pragma once
// Test doubles of the facilities the applications collectors use: shell
// links with chosen answers, known folders pointing where a test wants,
// chosen environment variables, the
// real program search with chosen extra answers and a record of every name
// searched, and a service manager that requests a stop at the nth service
// opened. Header-only.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/known_folders.h"
#include "platform/path_lookup.h"
#include "platform/services.h"
#include "platform/shell_links.h"

namespace orvalinth::test {

// Shell links: the installer answers `installer_error` (1627: unknown)
// unless it is 0, then `installer_answer`; the link object `link_error`
// unless 0, then `link_answer`, or the entry of `link_targets` for the
// shortcut when it has one. Every question is recorded.
class FakeShellLinks final : public platform::ShellLinks {
 public:
  bool InstallerTarget(const std::u16string& shortcut, std::u16string* target) override {
    installer_asked.push_back(shortcut);
    if (installer_error != 0) {
      platform::SetLastError(installer_error);
      return false;
    }
    *target = installer_answer;
    return true;
  }
  bool LinkTarget(const std::u16string& shortcut, std::u16string* target) override {
    link_asked.push_back(shortcut);
    if (link_error != 0) {
      platform::SetLastError(link_error);
      return false;
    }
    const auto known = link_targets.find(shortcut);
    *target = known == link_targets.end() ? link_answer : known->second;
    return true;
  }
  bool HasLinkObject() override { return has_link_object; }

  uint32_t installer_error = 1627;
  std::u16string installer_answer;
  uint32_t link_error = 0;
  bool has_link_object = true;
  std::u16string link_answer;
  std::map<std::u16string, std::u16string> link_targets;
  std::vector<std::u16string> installer_asked;
  std::vector<std::u16string> link_asked;
};

// Known folders: the paths set (the same current and default), none else.
class FakeKnownFolders final : public platform::KnownFolder {
 public:
  bool FolderPath(int csidl, bool /*current*/, std::u16string* path) override {
    const auto known = paths.find(csidl);
    if (known == paths.end()) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return false;
    }
    *path = known->second;
    return true;
  }
  std::map<int, std::u16string> paths;
};

// Environment variables: those set here, no others.
class FakeEnvironment final : public platform::Environment {
 public:
  bool Variable(const std::u16string& name, std::u16string* value) override {
    const auto known = variables.find(name);
    if (known == variables.end()) {
      platform::SetLastError(platform::kErrorEnvVarNotFound);
      return false;
    }
    *value = known->second;
    return true;
  }
  std::map<std::u16string, std::u16string> variables;
};

// The real program search, except for the names in `answers`; records the
// names searched.
class SpyPathLookup final : public platform::PathLookup {
 public:
  std::u16string WindowsFolder() override { return real().WindowsFolder(); }
  bool SearchExecutable(const std::u16string& name, std::u16string* found) override {
    searched.push_back(name);
    const auto known = answers.find(name);
    if (known == answers.end()) return real().SearchExecutable(name, found);
    *found = known->second;
    return true;
  }
  std::u16string ExpandEnvironment(const std::u16string& text) override { return real().ExpandEnvironment(text); }
  bool LongPathName(const std::u16string& path, std::u16string* long_path) override {
    return real().LongPathName(path, long_path);
  }

  std::map<std::u16string, std::u16string> answers;
  std::vector<std::u16string> searched;

 private:
  static platform::PathLookup& real() { return platform::PathLookup::Real(); }
};

// Another service manager's manager side, calling `on_open` with the count
// of services opened so far before each open.
class OpenWatchingServiceManager final : public platform::ServiceManager {
 public:
  OpenWatchingServiceManager(platform::ServiceManager& target, std::function<void(int)> on_open)
      : target_(target), on_open_(std::move(on_open)) {}

  bool OpenManager(uint32_t access, std::unique_ptr<platform::ServiceDatabase>* database) override {
    std::unique_ptr<platform::ServiceDatabase> inner;
    if (!target_.OpenManager(access, &inner)) return false;
    *database = std::make_unique<Database>(std::move(inner), this);
    return true;
  }
  bool WriteDescription(const std::u16string& name, const std::u16string& description) override {
    return target_.WriteDescription(name, description);
  }
  bool RunDispatcher(const std::string& name, platform::ServiceMainFunction service_main) override {
    return target_.RunDispatcher(name, service_main);
  }
  bool RegisterControlHandler(const std::string& name, platform::ServiceControlHandler handler,
                              platform::ServiceStatusHandle* handle) override {
    return target_.RegisterControlHandler(name, handler, handle);
  }
  bool SetStatus(platform::ServiceStatusHandle handle, const platform::ServiceStatus& status) override {
    return target_.SetStatus(handle, status);
  }

 private:
  class Database final : public platform::ServiceDatabase {
   public:
    Database(std::unique_ptr<platform::ServiceDatabase> inner, OpenWatchingServiceManager* owner)
        : inner_(std::move(inner)), owner_(owner) {}
    bool Create(const platform::ServiceConfig& config, uint32_t access,
                std::unique_ptr<platform::Service>* service) override {
      return inner_->Create(config, access, service);
    }
    bool Open(const std::u16string& name, uint32_t access, std::unique_ptr<platform::Service>* service) override {
      owner_->on_open_(owner_->opened_++);
      return inner_->Open(name, access, service);
    }
    bool Enumerate(uint32_t types, uint32_t states, std::vector<platform::ServiceEntry>* entries) override {
      return inner_->Enumerate(types, states, entries);
    }

   private:
    std::unique_ptr<platform::ServiceDatabase> inner_;
    OpenWatchingServiceManager* owner_;
  };

  platform::ServiceManager& target_;
  std::function<void(int)> on_open_;
  int opened_ = 0;
};

}  // namespace orvalinth::test
