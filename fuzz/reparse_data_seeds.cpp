// Seeds for reparse_data_fuzz: a junction and an absolute and a relative
// symbolic link, as the system lays them out.

#include <string>

#include "seed_folder.h"

namespace {

std::string Units(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  using orvalinth::fuzz::WriteSeed;
  const std::string folder = argv[1];
  WriteSeed(folder, "junction",
        Bytes({0x03, 0, 0, 0xA0, 0x34, 0, 0, 0, 0, 0, 0x18, 0, 0x1A, 0, 0x10, 0}) + Units("\\??\\C:\\Users") +
            Bytes({0, 0}) + Units("C:\\Users") + Bytes({0, 0}));
  WriteSeed(folder, "symlink",
        Bytes({0x0C, 0, 0, 0xA0, 0x34, 0, 0, 0, 0x10, 0, 0x18, 0, 0, 0, 0x10, 0, 0, 0, 0, 0}) + Units("C:\\Users") +
            Units("\\??\\C:\\Users"));
  WriteSeed(folder, "relative",
        Bytes({0x0C, 0, 0, 0xA0, 0x20, 0, 0, 0, 0, 0, 0x0A, 0, 0x0A, 0, 0x0A, 0, 1, 0, 0, 0}) + Units("..\\up") +
            Units("..\\up"));
  return 0;
}
