#include "platform/posix/drive_table.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/utf8.h"
#include "platform/volumes.h"

namespace orvalinth::platform::posix {
namespace {

struct Drive {
  bool present = false;
  std::string root;  // host folder, without a trailing "/" (empty for "/")
  uint32_t type = kDriveNoRootDir;
};

struct Table {
  std::mutex lock;
  std::array<Drive, 26> drives;
  Table() { drives['z' - 'a'] = Drive{true, "", kDriveFixed}; }
};

Table& table() {
  static Table instance;
  return instance;
}

int LetterIndex(char16_t letter) {
  if (letter >= u'a' && letter <= u'z') return letter - u'a';
  if (letter >= u'A' && letter <= u'Z') return letter - u'A';
  return -1;
}

std::string StripTrailingSlashes(std::string root) {
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

std::string TurnSlashes(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

bool Exists(const std::string& host_path) {
  struct stat st;
  return host_path.size() < PATH_MAX && lstat(host_path.c_str(), &st) == 0;
}

void CloseFolder(int fd) {
  if (fd >= 0) close(fd);
}

bool IsDots(const char* name, size_t n) { return (n == 1 && name[0] == '.') || (n == 2 && name[0] == '.' && name[1] == '.'); }

// The entry of the open folder `folder` equal to `wanted` with A-Z folded,
// into *found; false when there is none.
bool FindFolded(int folder, const std::string& wanted, std::string* found) {
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return false;
  DIR* dir = fdopendir(listing);
  if (dir == nullptr) {
    close(listing);
    return false;
  }
  const std::u16string want = FromUtf8(wanted);
  auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
  std::u16string name;
  bool matched = false;
  while (dirent* entry = readdir(dir)) {
    name.clear();
    AppendFromUtf8(entry->d_name, strlen(entry->d_name), &name);
    if (name.size() != want.size()) continue;
    matched = true;
    for (size_t i = 0; i < name.size() && matched; ++i) matched = fold(name[i]) == fold(want[i]);
    if (matched) {
      *found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return matched;
}

// The part of a rooted path below its drive's folder, as Windows reads it
// before it opens anything: "/" first, "." components and repeated
// separators gone, ".." taking the component before it away but never
// leaving the drive ("C:\\..\\..\\etc" is "C:\\etc"), a final "/" kept.
// Linear in the length of the path.
std::string DriveRelative(const std::string& tail) {
  std::string out;
  out.reserve(tail.size() + 1);
  std::vector<size_t> starts;  // where each kept component's "/" is in `out`
  size_t start = 0;
  while (start <= tail.size()) {
    size_t end = tail.find('/', start);
    if (end == std::string::npos) end = tail.size();
    const size_t n = end - start;
    if (n == 2 && tail[start] == '.' && tail[start + 1] == '.') {
      if (!starts.empty()) {
        out.resize(starts.back());
        starts.pop_back();
      }
    } else if (n > 0 && !(n == 1 && tail[start] == '.')) {
      starts.push_back(out.size());
      out += '/';
      out.append(tail, start, n);
    }
    start = end + 1;
  }
  if (out.empty() || (!tail.empty() && tail.back() == '/')) out += '/';
  return out;
}

}  // namespace

void SetDrive(char letter, const std::string& host_root, uint32_t drive_type) {
  const int i = LetterIndex(static_cast<char16_t>(letter));
  if (i < 0) return;
  std::lock_guard<std::mutex> guard(table().lock);
  table().drives[i] = Drive{true, StripTrailingSlashes(host_root), drive_type};
}

void RemoveDrive(char letter) {
  const int i = LetterIndex(static_cast<char16_t>(letter));
  if (i < 0) return;
  std::lock_guard<std::mutex> guard(table().lock);
  table().drives[i] = Drive{};
}

void ResetDrives() {
  std::lock_guard<std::mutex> guard(table().lock);
  table().drives = {};
  table().drives['z' - 'a'] = Drive{true, "", kDriveFixed};
}

uint32_t DriveMask() {
  std::lock_guard<std::mutex> guard(table().lock);
  uint32_t mask = 0;
  for (int i = 0; i < 26; ++i) {
    if (table().drives[i].present) mask |= 1u << i;
  }
  return mask;
}

uint32_t DriveTypeOf(char letter) {
  const int i = LetterIndex(static_cast<char16_t>(letter));
  if (i < 0) return kDriveNoRootDir;
  std::lock_guard<std::mutex> guard(table().lock);
  return table().drives[i].present ? table().drives[i].type : kDriveNoRootDir;
}

std::string ToHostPath(const std::u16string& windows_path) {
  std::u16string rest = windows_path;
  std::string root;
  bool rooted = false;
  if (rest.size() >= 2 && rest[1] == u':' && LetterIndex(rest[0]) >= 0) {
    std::lock_guard<std::mutex> guard(table().lock);
    const Drive& drive = table().drives[LetterIndex(rest[0])];
    // An unknown drive maps nowhere: "/nonexistent-drive-x" never exists.
    root = drive.present ? drive.root : "/nonexistent-drive-" + std::string(1, static_cast<char>(u'a' + LetterIndex(rest[0])));
    rest.erase(0, 2);
    rooted = true;
  } else if (!rest.empty() && rest[0] == u'\\') {
    std::lock_guard<std::mutex> guard(table().lock);
    root = table().drives['z' - 'a'].root;
    rooted = true;
  }
  std::string tail = TurnSlashes(ToUtf8(rest), '\\', '/');
  if (!rooted) return tail;
  return root + DriveRelative(tail);
}

std::u16string FromHostPath(const std::string& host_path) {
  int best = -1;
  size_t best_length = 0;
  {
    std::lock_guard<std::mutex> guard(table().lock);
    for (int i = 0; i < 26; ++i) {
      const Drive& drive = table().drives[i];
      if (!drive.present) continue;
      const std::string& root = drive.root;
      const bool matches = host_path.compare(0, root.size(), root) == 0 &&
                           (host_path.size() == root.size() || host_path[root.size()] == '/');
      if (matches && (best < 0 || root.size() > best_length)) {
        best = i;
        best_length = root.size();
      }
    }
  }
  if (best < 0 || host_path.empty() || host_path[0] != '/') {
    return FromUtf8(TurnSlashes(host_path, '/', '\\'));
  }
  std::string rest = host_path.substr(best_length);
  if (rest.empty()) rest = "/";
  std::u16string out;
  out += static_cast<char16_t>(u'A' + best);
  out += u':';
  out += FromUtf8(TurnSlashes(rest, '/', '\\'));
  return out;
}

std::string ResolveHostPath(const std::u16string& windows_path) {
  const std::string host = ToHostPath(windows_path);
  if (host.empty() || Exists(host)) return host;
  const bool absolute = host[0] == '/';
  const bool trailing = host.back() == '/';
  // Component by component, each looked up in the folder opened before it;
  // the resolved path grows by appending only.
  std::string done = absolute ? "" : ".";
  int folder = open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string component;
  std::string found;
  size_t pos = 0;
  while (pos < host.size()) {
    size_t slash = host.find('/', pos);
    if (slash == std::string::npos) slash = host.size();
    const size_t length = slash - pos;
    const size_t start = pos;
    pos = slash + 1;
    if (length == 0) continue;
    component.assign(host, start, length);
    done += '/';
    if (folder < 0) {
      // Below a missing folder (or a file) nothing exists: the rest as written.
      done += component;
      continue;
    }
    struct stat st;
    const std::string* name = &component;
    bool present = IsDots(component.data(), length) || fstatat(folder, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    // Windows file systems ignore case: take the entry that matches with A-Z folded.
    if (!present && FindFolded(folder, component, &found)) {
      name = &found;
      present = true;
    }
    done += *name;
    int next = -1;
    if (present && pos < host.size()) next = openat(folder, name->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    CloseFolder(folder);
    folder = next;
  }
  CloseFolder(folder);
  if (!absolute) done.erase(0, done.size() >= 2 ? 2 : done.size());  // drop the leading "./"
  if (done.empty()) done = absolute ? "/" : host;
  if (trailing && done.back() != '/') done += '/';
  return done;
}

int OpenHostPath(const std::string& host_path, int flags, unsigned mode) {
  if (host_path.size() < PATH_MAX) return open(host_path.c_str(), flags, static_cast<mode_t>(mode));
  int folder = AT_FDCWD;
  size_t pos = 0;
  if (host_path[0] == '/') {
    folder = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return -1;
    pos = 1;
  }
  for (;;) {
    if (host_path.size() - pos < PATH_MAX) {
      const int fd = openat(folder, host_path.c_str() + pos, flags, static_cast<mode_t>(mode));
      const int e = errno;
      if (folder != AT_FDCWD) close(folder);
      errno = e;
      return fd;
    }
    // The longest run of whole components shorter than the limit; names are
    // far shorter than it, so every step consumes most of a limit's length.
    const size_t cut = host_path.rfind('/', pos + PATH_MAX - 2);
    if (cut == std::string::npos || cut <= pos) {
      if (folder != AT_FDCWD) close(folder);
      errno = ENAMETOOLONG;
      return -1;
    }
    const std::string step = host_path.substr(pos, cut - pos);
    const int next = openat(folder, step.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int e = errno;
    if (folder != AT_FDCWD) close(folder);
    if (next < 0) {
      errno = e;
      return -1;
    }
    folder = next;
    pos = cut + 1;
  }
}

HostPathAt::HostPathAt(const std::string& host_path) : folder_(AT_FDCWD) {
  if (host_path.size() < PATH_MAX) {
    name_ = host_path;
    return;
  }
  size_t end = host_path.size();
  while (end > 1 && host_path[end - 1] == '/') --end;
  const size_t slash = host_path.rfind('/', end - 1);
  if (slash == std::string::npos) {
    name_ = host_path;  // one name beyond the limit: the call itself refuses it
    return;
  }
  const std::string parent = slash == 0 ? std::string("/") : host_path.substr(0, slash);
  name_ = host_path.substr(slash + 1, end - slash - 1);
  folder_ = OpenHostPath(parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
  ok_ = folder_ >= 0;
}

HostPathAt::~HostPathAt() {
  if (folder_ >= 0) close(folder_);
}

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  AppendFromUtf8(text.data(), text.size(), &out);
  return out;
}

void AppendFromUtf8(const char* text, size_t length, std::u16string* out) {
  out->reserve(out->size() + length);
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const size_t n = length;
  size_t i = 0;
  auto continuation = [&](size_t k) { return k < n && (s[k] & 0xC0) == 0x80; };
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      *out += b;
      ++i;
    } else if ((b & 0xE0) == 0xC0 && b >= 0xC2 && continuation(i + 1)) {
      *out += static_cast<char16_t>(((b & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if ((b & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
      *out += static_cast<char16_t>(((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 3;
    } else if ((b & 0xF8) == 0xF0 && continuation(i + 1) && continuation(i + 2) && continuation(i + 3)) {
      uint32_t c = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        *out += static_cast<char16_t>(0xD800 + (c >> 10));
        *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
      } else {
        *out += b;
        i += 1;
        continue;
      }
      i += 4;
    } else {
      *out += b;
      ++i;
    }
  }
}

uint32_t ErrnoToWindowsError(int errno_value) {
  switch (errno_value) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EROFS: return kErrorWriteProtect;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kErrorInvalidParameter;
    case EPIPE: return kErrorBrokenPipe;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ELOOP: return kErrorCantAccessFile;
    case ENOSYS:
    case EOPNOTSUPP: return kErrorNotSupported;
    case EXDEV: return 17;  // ERROR_NOT_SAME_DEVICE
    case EIO: return 1117;  // ERROR_IO_DEVICE
    default: return kErrorGenFailure;
  }
}

void SetLastErrorFromErrno(int errno_value, const std::string& host_path) {
  uint32_t code = ErrnoToWindowsError(errno_value);
  if (errno_value == ENOENT && !host_path.empty()) {
    // Windows tells a missing file (2) from a missing folder on the way (3).
    const size_t slash = host_path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      const int parent = OpenHostPath(host_path.substr(0, slash), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (parent < 0) {
        code = kErrorPathNotFound;
      } else {
        close(parent);
      }
    }
  }
  SetLastError(code);
}

}  // namespace orvalinth::platform::posix
