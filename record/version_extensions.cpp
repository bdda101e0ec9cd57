// The file names whose version information a scan reads. The table also
// lists common extensions that are known to carry none (mark 0), so that the
// two kinds stay apart when the table is extended.

#include <cstring>

#include "record/version_info.h"

namespace orvalinth {
namespace {

struct SXExtension {
  char units[5];  // the last four units of a name, lower case
  int mark;       // 1: version information is read; 0: listed, not read
};

constexpr SXExtension kExtensions[] = {
    {".tlb", 1}, {".exe", 1}, {".api", 1}, {".dll", 1}, {".cpl", 1}, {".com", 1}, {".fon", 1}, {".scr", 1},
    {".hxs", 1}, {".sys", 1}, {".drv", 1}, {".ocx", 1}, {".mp3", 0}, {".lib", 0}, {".gif", 0}, {".inf", 0},
    {".png", 0}, {".log", 0}, {".jpg", 0}, {".ini", 0}, {".obj", 0}, {".arj", 0}, {".lnk", 0}, {"edml", 0},
    {"html", 0}, {".xml", 0}, {".url", 0}, {".chm", 0}, {".htm", 0}, {".ico", 0}, {".php", 0}, {".zip", 0},
    {".bmp", 0}, {".cpp", 0}, {".rar", 0}, {".css", 0}, {".dat", 0}, {".txt", 0},
};

}  // namespace

bool HasVersionInfoExtension(const std::u16string& name) {
  if (name.size() <= 4) return false;
  char last[4];
  for (size_t i = 0; i < 4; ++i) {
    // Only the low byte of each unit counts.
    const char c = static_cast<char>(name[name.size() - 4 + i] & 0xFF);
    last[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  for (const SXExtension& extension : kExtensions) {
    if (std::memcmp(extension.units, last, 4) == 0) return extension.mark == 1;
  }
  return false;
}

}  // namespace orvalinth
