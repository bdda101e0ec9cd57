#pragma once
// Folders where the host's symbolic links can be made: below Z:\tmp, which
// is the host's /tmp both on the host build (the drive table's Z:) and under
// Wine (its Z: drive is the Linux root). Links are made with the host's
// /bin/ln, which Wine starts like any program (but does not wait for).

#include <string>

namespace orvalinth::test {

class HostTmpFolder {
 public:
  HostTmpFolder();
  ~HostTmpFolder();
  HostTmpFolder(const HostTmpFolder&) = delete;
  HostTmpFolder& operator=(const HostTmpFolder&) = delete;

  // "Z:\tmp\orvalinth-links-<pid>-<n>\" and the same folder as a host path.
  const std::u16string& path() const { return path_; }
  const std::string& host_path() const { return host_path_; }
  std::u16string operator/(const std::u16string& name) const { return path_ + name; }

  // Makes the symbolic link `name` in the folder pointing at `target` (taken
  // as written: a host path or a relative one); false when it cannot.
  bool Link(const std::string& target, const std::string& name);

 private:
  std::u16string path_;
  std::string host_path_;
};

}  // namespace orvalinth::test
