#include "platform/posix/proc_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace orvalinth::platform::posix {
namespace {

// The decimal number of a name made of digits only, or -1.
long long NumberOf(const char* name) {
  if (*name == '\0') return -1;
  long long value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > 0xFFFFFFFFLL) return -1;
    value = value * 10 + (*p - '0');
  }
  return value;
}

template <class T>
bool NumericEntries(const std::string& folder, std::vector<T>* out) {
  out->clear();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    const long long n = NumberOf(entry->d_name);
    if (n >= 0) out->push_back(static_cast<T>(n));
  }
  closedir(dir);
  std::sort(out->begin(), out->end());
  return true;
}

}  // namespace

std::vector<uint32_t> ProcessIdsOfProc() {
  std::vector<uint32_t> pids;
  NumericEntries("/proc", &pids);
  return pids;
}

bool ReadProcFile(const std::string& path, std::string* content) {
  content->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool ReadProcLink(const std::string& path, std::string* target) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return false;
  target->assign(buffer, static_cast<size_t>(n));
  return true;
}

bool DescriptorsOf(uint32_t pid, std::vector<int>* descriptors) {
  return NumericEntries("/proc/" + std::to_string(pid) + "/fd", descriptors);
}

}  // namespace orvalinth::platform::posix
