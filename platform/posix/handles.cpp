// The open handles of the machine on Linux: the descriptors under
// /proc/<pid>/fd (see platform/handles.h).

#include "platform/handles.h"

#include <sys/stat.h>

#include "platform/errors.h"
#include "platform/posix/drive_table.h"
#include "platform/posix/proc_files.h"

namespace orvalinth::platform {
namespace {

class PosixDescriptor final : public DuplicatedHandle {
 public:
  explicit PosixDescriptor(std::string link) : link_(std::move(link)) {}

  bool TypeName(std::u16string* type) override {
    struct stat info;
    if (stat(link_.c_str(), &info) != 0) {
      *type = u"Other";  // gone, or a target we may not look at
    } else if (S_ISREG(info.st_mode)) {
      *type = u"File";
    } else if (S_ISDIR(info.st_mode)) {
      *type = u"Directory";
    } else if (S_ISSOCK(info.st_mode)) {
      *type = u"Socket";
    } else if (S_ISFIFO(info.st_mode)) {
      *type = u"Pipe";
    } else {
      *type = u"Other";
    }
    return true;
  }

  bool QueryName(void* /*buffer*/, uint32_t /*size*/, uint32_t* needed, std::u16string* name) override {
    *needed = 0;
    std::string target;
    if (!posix::ReadProcLink(link_, &target)) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    *name = !target.empty() && target[0] == '/' ? posix::FromHostPath(target) : posix::FromUtf8(target);
    return true;
  }

 private:
  const std::string link_;  // /proc/<pid>/fd/<n>
};

class PosixOwner final : public HandleOwner {
 public:
  explicit PosixOwner(uint32_t pid) : folder_("/proc/" + std::to_string(pid) + "/fd/") {}
  std::unique_ptr<DuplicatedHandle> Duplicate(uint16_t handle) override {
    return std::make_unique<PosixDescriptor>(folder_ + std::to_string(handle));
  }

 private:
  const std::string folder_;
};

class PosixHandleTable final : public HandleTable {
 public:
  bool Entries(std::vector<SystemHandleEntry>* entries, std::string* error) override {
    entries->clear();
    std::vector<int> descriptors;
    for (const uint32_t pid : posix::ProcessIdsOfProc()) {
      if (!posix::DescriptorsOf(pid, &descriptors)) continue;  // not ours to read: no entries
      for (const int fd : descriptors) {
        if (fd > 0xFFFF) continue;  // beyond what a handle value holds
        entries->push_back({pid, static_cast<uint16_t>(fd)});
      }
    }
    error->clear();
    return true;
  }

  std::unique_ptr<HandleOwner> OpenOwner(uint32_t pid) override {
    std::vector<int> descriptors;
    if (!posix::DescriptorsOf(pid, &descriptors)) {
      SetLastError(kErrorAccessDenied);
      return nullptr;
    }
    return std::make_unique<PosixOwner>(pid);
  }

  bool SkipFileHandles() override { return false; }
};

}  // namespace

template <>
HandleTable& Facility<HandleTable>::Real() {
  static PosixHandleTable instance;
  return instance;
}

}  // namespace orvalinth::platform
