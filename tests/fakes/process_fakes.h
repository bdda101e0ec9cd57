#pragma once
// Test doubles of the facilities the processes phase reads: a process table
// whose processes have chosen modules and command lines (laid out in memory
// as the 64-bit process environment block), a handle table whose handles
// have chosen types and names and whose name queries can block until the
// test releases them, port tables with chosen rows, volumes with chosen
// entries, and a file system that sees chosen paths as files that cannot be
// found in a folder search. Header-only.

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/ports.h"
#include "platform/processes.h"
#include "platform/volume_devices.h"

namespace orvalinth::test {

struct FakeProcess {
  std::vector<std::u16string> modules;  // the main executable first
  std::u16string command_line;          // empty: the environment block cannot be read
};

class FakeProcessTable final : public platform::ProcessTable {
 public:
  bool Available() override { return available; }
  bool ProcessIds(uint32_t room_bytes, std::vector<uint32_t>* ids, uint32_t* bytes) override {
    ++id_queries;
    ids->clear();
    if (failing_from_query != 0 && id_queries >= failing_from_query) {
      *bytes = 0;
      return false;
    }
    for (const auto& entry : processes) ids->push_back(entry.first);
    for (uint32_t pid : unopenable) ids->push_back(pid);
    if (ids->size() > room_bytes / 4) ids->resize(room_bytes / 4);
    *bytes = static_cast<uint32_t>(ids->size() * 4);
    return true;
  }
  std::unique_ptr<platform::OpenedProcess> Open(uint32_t pid) override {
    const auto found = processes.find(pid);
    if (found == processes.end()) return nullptr;
    return std::make_unique<Opened>(found->second);
  }

  bool available = true;
  std::map<uint32_t, FakeProcess> processes;
  std::vector<uint32_t> unopenable;
  int id_queries = 0;
  int failing_from_query = 0;  // reads of the ids fail from this one on (0: none)

 private:
  // The block at 0x1000, the parameters at 0x2000, the command line at 0x3000.
  class Opened final : public platform::OpenedProcess {
   public:
    explicit Opened(const FakeProcess& process) : process_(process) {
      if (process.command_line.empty()) return;
      Put(0x1000 + platform::kPebParametersOffset, uint64_t{0x2000}, 0x1000, platform::kPebReadSize);
      Put(0x2000 + platform::kParametersCommandLengthOffset,
          static_cast<uint16_t>(process.command_line.size() * 2), 0x2000, platform::kParametersReadSize);
      Put(0x2000 + platform::kParametersCommandAddressOffset, uint64_t{0x3000}, 0x2000, 0);
      std::string& text = memory_[0x3000];
      text.assign(reinterpret_cast<const char*>(process.command_line.data()), process.command_line.size() * 2);
    }
    bool Modules(uint32_t max, std::vector<uint64_t>* modules) override {
      modules->clear();
      for (size_t i = 0; i < process_.modules.size() && i < max; ++i) modules->push_back(i + 1);
      return true;
    }
    bool ModuleFileName(uint64_t module, std::u16string* name) override {
      if (module == 0 || module > process_.modules.size()) return false;
      *name = process_.modules[module - 1];
      return true;
    }
    bool EnvironmentBlock(uint64_t* address) override {
      if (process_.command_line.empty()) return false;
      *address = 0x1000;
      return true;
    }
    bool ReadMemory(uint64_t address, void* buffer, size_t size, size_t* read) override {
      const auto found = memory_.find(address);
      if (found == memory_.end()) return false;
      *read = std::min(size, found->second.size());
      std::memcpy(buffer, found->second.data(), *read);
      return true;
    }

   private:
    template <class T>
    void Put(uint64_t address, T value, uint64_t region, size_t region_size) {
      std::string& bytes = memory_[region];
      if (bytes.size() < region_size) bytes.resize(region_size, '\0');
      std::memcpy(&bytes[address - region], &value, sizeof value);
    }
    const FakeProcess process_;
    std::map<uint64_t, std::string> memory_;
  };
};

// One handle of the fake table.
struct FakeHandle {
  uint32_t pid = 0;
  uint16_t handle = 0;
  std::u16string type;  // "File", "Key", "Directory", "Event", ...
  std::u16string name;
  bool blocks = false;  // the name query waits until the table's release
};

class FakeHandleTable final : public platform::HandleTable {
 public:
  FakeHandleTable() : release_(std::make_shared<platform::Event>(platform::Event::Mode::kManualReset)) {}
  // Lets every blocked query go (the abandoned workers then end).
  ~FakeHandleTable() override { release_->Set(); }

  bool Entries(std::vector<platform::SystemHandleEntry>* entries, std::string* error) override {
    entries->clear();
    if (!error_text.empty()) {
      *error = error_text;
      return false;
    }
    for (const FakeHandle& h : handles) entries->push_back({h.pid, h.handle});
    return true;
  }
  std::unique_ptr<platform::HandleOwner> OpenOwner(uint32_t pid) override {
    ++owners_opened;
    if (closed_owners.count(pid) != 0) return nullptr;
    std::vector<FakeHandle> own;
    for (const FakeHandle& h : handles) {
      if (h.pid == pid) own.push_back(h);
    }
    return std::make_unique<Owner>(std::move(own), release_);
  }
  bool SkipFileHandles() override { return skip_files; }

  std::vector<FakeHandle> handles;
  std::set<uint32_t> closed_owners;
  std::string error_text;
  bool skip_files = false;
  int owners_opened = 0;

 private:
  // Holds its own copy of what it answers, so that a worker abandoned on it
  // may outlive the table's users.
  class Duplicate final : public platform::DuplicatedHandle {
   public:
    Duplicate(FakeHandle handle, std::shared_ptr<platform::Event> release)
        : handle_(std::move(handle)), release_(std::move(release)) {}
    bool TypeName(std::u16string* type) override {
      *type = handle_.type;
      return true;
    }
    bool QueryName(void*, uint32_t, uint32_t* needed, std::u16string* name) override {
      *needed = 0;
      if (handle_.blocks) release_->Wait(platform::Event::kInfinite);
      *name = handle_.name;
      return true;
    }

   private:
    const FakeHandle handle_;
    const std::shared_ptr<platform::Event> release_;
  };
  class Owner final : public platform::HandleOwner {
   public:
    Owner(std::vector<FakeHandle> handles, std::shared_ptr<platform::Event> release)
        : handles_(std::move(handles)), release_(std::move(release)) {}
    std::unique_ptr<platform::DuplicatedHandle> Duplicate(uint16_t value) override {
      for (const FakeHandle& h : handles_) {
        if (h.handle == value) return std::make_unique<class Duplicate>(h, release_);
      }
      return nullptr;
    }

   private:
    const std::vector<FakeHandle> handles_;
    const std::shared_ptr<platform::Event> release_;
  };

  std::shared_ptr<platform::Event> release_;
};

class FakePortTables final : public platform::PortTables {
 public:
  bool Available() override { return available; }
  bool Read(platform::PortTableId table, std::vector<platform::PortRow>* rows) override {
    *rows = tables[table];
    return true;
  }
  // A row: IPv4 when `address` has 4 bytes; `port` in host order.
  static platform::PortRow Row(uint32_t pid, std::vector<uint8_t> address, uint16_t port, uint32_t state = 0,
                               std::vector<uint8_t> remote = {}, uint16_t remote_port = 0) {
    platform::PortRow row;
    row.pid = pid;
    std::memcpy(row.local_address, address.data(), address.size());
    row.local_port = static_cast<uint32_t>((port >> 8) | ((port & 0xFF) << 8));
    if (!remote.empty()) std::memcpy(row.remote_address, remote.data(), remote.size());
    row.remote_port = static_cast<uint32_t>((remote_port >> 8) | ((remote_port & 0xFF) << 8));
    row.state = state;
    return row;
  }

  bool available = true;
  std::vector<platform::PortRow> tables[4];
};

class FakeVolumeDevices final : public platform::VolumeDevices {
 public:
  bool List(std::vector<platform::VolumeEntry>* out, std::string*) override {
    *out = entries;
    return true;
  }
  std::vector<platform::VolumeEntry> entries;
};

// The real file system, except that the paths in `files` exist as plain files
// for attribute queries but are found by no folder search (so their file
// records are marked missing and hold nothing that changes).
class PhantomFiles final : public platform::FileSystem {
 public:
  std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override { return real().Open(path, mode); }
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    if (files.count(pattern) != 0) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return nullptr;
    }
    return real().FindFirst(pattern, first);
  }
  bool RemoveFile(const std::u16string& path) override { return real().RemoveFile(path); }
  bool RenameFile(const std::u16string& from, const std::u16string& to) override { return real().RenameFile(from, to); }
  bool SyncFolder(const std::u16string& path) override { return real().SyncFolder(path); }
  bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail) override {
    return real().CopyFileTo(from, to, fail);
  }
  bool CreateFolder(const std::u16string& path) override { return real().CreateFolder(path); }
  bool RemoveFolder(const std::u16string& path) override { return real().RemoveFolder(path); }
  uint32_t Attributes(const std::u16string& path) override {
    return files.count(path) != 0 ? 0x80u : real().Attributes(path);
  }
  bool DeleteAtReboot(const std::u16string& path) override { return real().DeleteAtReboot(path); }
  std::u16string TempFolder() override { return real().TempFolder(); }

  std::set<std::u16string> files;

 private:
  static platform::FileSystem& real() { return platform::FileSystem::Real(); }
};

}  // namespace orvalinth::test
