// Environment variables on POSIX, PATH in Windows form (platform/environment.h).

#include "platform/environment.h"

#include <stdlib.h>
#include <string.h>

#include "platform/errors.h"
#include "platform/posix/drive_table.h"

extern char** environ;

namespace orvalinth::platform {
namespace {

bool SameFoldedAZ(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// The host's ":" list with every piece in Windows form, joined with ";".
std::u16string WindowsPathList(const std::string& list) {
  std::u16string out;
  size_t start = 0;
  for (;;) {
    size_t colon = list.find(':', start);
    if (colon == std::string::npos) colon = list.size();
    const std::string piece = list.substr(start, colon - start);
    if (start != 0) out += u';';
    if (!piece.empty() && piece[0] == '/') {
      out += posix::FromHostPath(piece);
    } else {
      for (char16_t c : posix::FromUtf8(piece)) out += c == u'/' ? u'\\' : c;
    }
    if (colon == list.size()) break;
    start = colon + 1;
  }
  return out;
}

class PosixEnvironment final : public Environment {
 public:
  bool Variable(const std::u16string& name, std::u16string* value) override {
    const std::string narrow = posix::ToUtf8(name);
    const char* found = getenv(narrow.c_str());
    for (char** entry = environ; found == nullptr && entry != nullptr && *entry != nullptr; ++entry) {
      const char* equals = strchr(*entry, '=');
      if (equals != nullptr && SameFoldedAZ(std::string(*entry, static_cast<size_t>(equals - *entry)), narrow)) {
        found = equals + 1;
      }
    }
    if (found == nullptr) {
      value->clear();
      SetLastError(kErrorEnvVarNotFound);
      return false;
    }
    *value = SameFoldedAZ(narrow, "PATH") ? WindowsPathList(found) : posix::FromUtf8(found);
    return true;
  }
};

}  // namespace

template <>
Environment& Facility<Environment>::Real() {
  static PosixEnvironment instance;
  return instance;
}

}  // namespace orvalinth::platform
