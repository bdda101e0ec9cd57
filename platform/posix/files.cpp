// Files and folders on POSIX: real files and directories through the drive
// table, with the attributes and error codes a Windows program would see.

#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/extended_path.h"
#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

using posix::HostPathAt;
using posix::OpenHostPath;
using posix::ResolveHostPath;
using posix::SetLastErrorFromErrno;

// Windows refuses a path longer than any of its calls takes; so does this backend.
bool Refused(const std::u16string& path) {
  if (!PathTooLong(path)) return false;
  SetLastError(kErrorFilenameTooLong);
  return true;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }

  bool Read(void* buffer, uint32_t n, uint32_t* got) override {
    *got = 0;
    for (;;) {
      const ssize_t r = read(fd_, buffer, n);
      if (r >= 0) {
        *got = static_cast<uint32_t>(r);
        return true;
      }
      if (errno != EINTR) break;
    }
    SetLastErrorFromErrno(errno);
    return false;
  }

  bool Write(const void* buffer, uint32_t n, uint32_t* written) override {
    *written = 0;
    const auto* p = static_cast<const char*>(buffer);
    while (*written < n) {
      const ssize_t r = write(fd_, p + *written, n - *written);
      if (r < 0) {
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno);
        return false;
      }
      *written += static_cast<uint32_t>(r);
    }
    return true;
  }

  bool Seek(int64_t offset) override {
    if (lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    return true;
  }

  bool SeekToEnd(int64_t* position) override {
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    *position = end;
    return true;
  }

  bool Size(uint64_t* size) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool Flush() override {
    if (fsync(fd_) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    return true;
  }

 private:
  int fd_;
};

// Windows wildcard matching of one name: * any run, ? any one unit, A-Z folded.
bool Match(const char16_t* p, const char16_t* pe, const char16_t* s, const char16_t* se) {
  auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
  const char16_t* star = nullptr;
  const char16_t* resume = nullptr;
  while (s < se) {
    if (p < pe && (*p == u'?' || fold(*p) == fold(*s))) {
      ++p;
      ++s;
    } else if (p < pe && *p == u'*') {
      star = p++;
      resume = s;
    } else if (star != nullptr) {
      p = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (p < pe && *p == u'*') ++p;
  return p == pe;
}

bool MatchesPattern(const std::u16string& pattern, const std::u16string& name) {
  if (pattern == u"*" || pattern == u"*.*") return true;
  const char16_t* p = pattern.data();
  if (Match(p, p + pattern.size(), name.data(), name.data() + name.size())) return true;
  // As on Windows, a pattern ending in ".*" also matches names without that dot.
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, u".*") == 0) {
    return Match(p, p + pattern.size() - 2, name.data(), name.data() + name.size());
  }
  return false;
}

// Fills attributes, time and size from the entry's own status (links not followed).
bool Describe(int dir_fd, const char* name, FindData* entry) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  uint32_t attributes = 0;
  bool is_dir = S_ISDIR(st.st_mode);
  if (S_ISLNK(st.st_mode)) {
    // A symbolic link is a reparse point; one to a folder is a folder too.
    struct stat target;
    attributes |= kAttrReparsePoint;
    if (fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
      is_dir = true;
    }
    st.st_size = 0;
  }
  if (is_dir) {
    attributes |= kAttrDirectory;
  } else {
    attributes |= kAttrArchive;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  }
  if (name[0] == '.' && !(name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) attributes |= kAttrHidden;
  entry->attributes = attributes;
  entry->last_write = UnixToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  entry->size = is_dir ? 0 : static_cast<uint64_t>(st.st_size);
  return true;
}

class PosixFind final : public FindHandle {
 public:
  PosixFind(DIR* dir, std::u16string pattern, bool skip_dots)
      : dir_(dir), pattern_(std::move(pattern)), skip_dots_(skip_dots), match_all_(pattern_ == u"*" || pattern_ == u"*.*") {}
  ~PosixFind() override { closedir(dir_); }

  bool Next(FindData* entry) override {
    for (;;) {
      errno = 0;
      const dirent* d = readdir(dir_);
      if (d == nullptr) {
        SetLastError(errno == 0 ? kErrorNoMoreFiles : posix::ErrnoToWindowsError(errno));
        return false;
      }
      const bool dot = d->d_name[0] == '.' && (d->d_name[1] == '\0' || (d->d_name[1] == '.' && d->d_name[2] == '\0'));
      if (dot && skip_dots_) continue;
      // Decoded into the caller's entry, whose room serves name after name.
      entry->name.clear();
      posix::AppendFromUtf8(d->d_name, strlen(d->d_name), &entry->name);
      if (!match_all_ && !MatchesPattern(pattern_, entry->name)) continue;
      if (!Describe(dirfd(dir_), d->d_name, entry)) continue;  // vanished meanwhile
      return true;
    }
  }

 private:
  DIR* dir_;
  std::u16string pattern_;
  bool skip_dots_;
  bool match_all_;
};

// A search for one name without wildcards.
class SingleFind final : public FindHandle {
 public:
  bool Next(FindData*) override {
    SetLastError(kErrorNoMoreFiles);
    return false;
  }
};

int OpenFlags(unsigned mode, bool* ok) {
  *ok = true;
  if (mode & kOpenCreate) return O_RDWR | O_CREAT | O_TRUNC;
  if (mode & kOpenRead) return (mode & kOpenWrite) ? O_RDWR : O_RDONLY;
  if (mode & kOpenWrite) return O_WRONLY | O_CREAT | ((mode & kOpenAppend) ? O_APPEND : 0);
  *ok = false;
  return 0;
}

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::u16string& path, unsigned mode) override {
    bool ok = false;
    const int flags = OpenFlags(mode, &ok);
    if (!ok || path.empty()) {
      SetLastError(path.empty() ? kErrorPathNotFound : kErrorInvalidParameter);
      return nullptr;
    }
    if (Refused(path)) return nullptr;
    const std::string host = ResolveHostPath(path);
    const int fd = OpenHostPath(host, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
      SetLastErrorFromErrno(errno, host);
      return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      // Windows does not open a folder as a file.
      close(fd);
      SetLastError(kErrorAccessDenied);
      return nullptr;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    if (mode & kOpenSequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return std::make_unique<PosixFile>(fd);
  }

  std::unique_ptr<FindHandle> FindFirst(const std::u16string& pattern, FindData* first) override {
    if (Refused(pattern)) return nullptr;
    const size_t cut = pattern.find_last_of(u"\\/");
    const std::u16string folder = cut == std::u16string::npos ? std::u16string() : pattern.substr(0, cut + 1);
    const std::u16string name = cut == std::u16string::npos ? pattern : pattern.substr(cut + 1);
    if (name.empty()) {
      SetLastError(kErrorFileNotFound);
      return nullptr;
    }
    // The folder as written first: a scan opens folder after folder that
    // exist as listed, and looking each up once more before opening it (to
    // match its case) would walk every path from the root twice. Only a
    // folder missing as written is looked up without regard to case.
    std::string host_folder = folder.empty() ? std::string(".") : posix::ToHostPath(folder);
    if (host_folder.empty()) host_folder = ".";
    int fd = OpenHostPath(host_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR) && !folder.empty()) {
      host_folder = ResolveHostPath(folder);
      if (host_folder.empty()) host_folder = ".";
      fd = OpenHostPath(host_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
      const int e = errno;
      if (fd >= 0) close(fd);
      SetLastErrorFromErrno(e == ENOENT || e == ENOTDIR ? ENOTDIR : e);
      return nullptr;
    }
    if (name.find_first_of(u"*?") == std::u16string::npos) {
      // One name: take it as written when it exists, else search without regard to case.
      const bool found = Describe(dirfd(dir), posix::ToUtf8(name).c_str(), first);
      if (found) {
        closedir(dir);
        first->name = name;
        return std::make_unique<SingleFind>();
      }
    }
    // Drive roots have no "." and ".." entries on Windows.
    const bool drive_root = folder.size() == 3 && folder[1] == u':';
    auto search = std::make_unique<PosixFind>(dir, name, drive_root);
    if (!search->Next(first)) {
      if (LastError() == kErrorNoMoreFiles) SetLastError(kErrorFileNotFound);
      return nullptr;
    }
    return search;
  }

  bool RemoveFile(const std::u16string& path) override {
    if (Refused(path)) return false;
    const std::string host = ResolveHostPath(path);
    const HostPathAt at(host);
    if (!at.ok() || unlinkat(at.folder(), at.name(), 0) != 0) {
      SetLastErrorFromErrno(errno, host);
      return false;
    }
    return true;
  }

  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    if (Refused(from) || Refused(to)) return false;
    const std::string source = ResolveHostPath(from);
    const std::string target = ResolveHostPath(to);
    const HostPathAt a(source);
    const HostPathAt b(target);
    if (!a.ok() || !b.ok() || renameat(a.folder(), a.name(), b.folder(), b.name()) != 0) {
      SetLastErrorFromErrno(errno, source);
      return false;
    }
    return true;
  }

  bool SyncFolder(const std::u16string& path) override {
    if (Refused(path)) return false;
    const std::string host = ResolveHostPath(path);
    const int fd = OpenHostPath(host.empty() ? std::string(".") : host, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      SetLastErrorFromErrno(errno, host);
      return false;
    }
    const bool ok = fsync(fd) == 0;
    const int e = errno;
    close(fd);
    if (!ok) SetLastErrorFromErrno(e, host);
    return ok;
  }

  bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail_if_exists) override {
    if (Refused(from) || Refused(to)) return false;
    const std::string source = ResolveHostPath(from);
    const std::string target = ResolveHostPath(to);
    const HostPathAt at(target);
    const int in = OpenHostPath(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      SetLastErrorFromErrno(errno, source);
      return false;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
      close(in);
      SetLastError(kErrorAccessDenied);
      return false;
    }
    // Write a new file rather than into the old one, so that a running
    // program's image is never changed under it.
    if (!fail_if_exists) unlinkat(at.folder(), at.name(), 0);
    const int out = openat(at.folder(), at.name(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
      const int e = errno;
      close(in);
      SetLastErrorFromErrno(e == EEXIST ? EEXIST : e, target);
      if (e == EEXIST) SetLastError(kErrorFileExists);
      return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
      const ssize_t r = read(in, buffer, sizeof buffer);
      if (r == 0) break;
      if (r < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      ssize_t done = 0;
      while (done < r) {
        const ssize_t w = write(out, buffer + done, static_cast<size_t>(r - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          ok = false;
          break;
        }
        done += w;
      }
      if (!ok) break;
    }
    const int e = errno;
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok) {
      SetLastErrorFromErrno(e);
      unlinkat(at.folder(), at.name(), 0);
    }
    return ok;
  }

  bool CreateFolder(const std::u16string& path) override {
    if (Refused(path)) return false;
    const std::string host = ResolveHostPath(path);
    const HostPathAt at(host);
    if (!at.ok() || mkdirat(at.folder(), at.name(), 0777) != 0) {
      SetLastErrorFromErrno(errno, host);
      return false;
    }
    return true;
  }

  bool RemoveFolder(const std::u16string& path) override {
    if (Refused(path)) return false;
    const std::string host = ResolveHostPath(path);
    const HostPathAt at(host);
    if (!at.ok() || unlinkat(at.folder(), at.name(), AT_REMOVEDIR) != 0) {
      SetLastErrorFromErrno(errno == EEXIST ? ENOTEMPTY : errno, host);
      return false;
    }
    return true;
  }

  uint32_t Attributes(const std::u16string& path) override {
    if (Refused(path)) return kInvalidAttributes;
    std::string host = ResolveHostPath(path);
    while (host.size() > 1 && host.back() == '/') host.pop_back();
    const size_t slash = host.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : host.substr(0, slash));
    const std::string name = slash == std::string::npos ? host : host.substr(slash + 1);
    const int dir_fd = OpenHostPath(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
      SetLastErrorFromErrno(errno == ENOENT ? ENOTDIR : errno);
      return kInvalidAttributes;
    }
    FindData entry;
    const bool ok = Describe(dir_fd, name.empty() ? "." : name.c_str(), &entry);
    const int e = errno;
    close(dir_fd);
    if (!ok) {
      SetLastErrorFromErrno(e, host);
      return kInvalidAttributes;
    }
    return entry.attributes;
  }

  // A running program's file can be unlinked on POSIX, so the deletion that
  // Windows must leave to the next restart happens at once.
  bool DeleteAtReboot(const std::u16string& path) override { return RemoveFile(path); }

  std::u16string TempFolder() override {
    const char* tmp = getenv("TMPDIR");
    std::string folder = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    std::u16string out = posix::FromHostPath(folder);
    if (out.empty() || out.back() != u'\\') out += u'\\';
    return out;
  }
};

}  // namespace

template <>
FileSystem& Facility<FileSystem>::Real() {
  static PosixFileSystem instance;
  return instance;
}

}  // namespace orvalinth::platform
