// Writes seed inputs for settings_fuzz into the folder given as the argument:
// a full settings file as the service writes it, one with CR LF and a UTF-8
// byte-order mark, exclusions and key lines inside sections, odd numbers, and
// each of these also in the UTF-16LE form (first byte 1).

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool WriteSeed(const std::string& folder, int n, const std::string& bytes) {
  const std::string path = folder + "/seed-" + std::to_string(n);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  return std::fclose(f) == 0;
}

// ASCII and UTF-8 text as UTF-16LE units (code points below 0x10000).
std::string Utf16(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned unit = c;
    size_t n = 1;
    if (c >= 0xE0 && i + 2 < text.size()) {
      unit = (c & 0x0F) << 12 | (text[i + 1] & 0x3F) << 6 | (text[i + 2] & 0x3F);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < text.size()) {
      unit = (c & 0x1F) << 6 | (text[i + 1] & 0x3F);
      n = 2;
    }
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
    i += n;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::vector<std::string> files = {
      "ServerAddr:console.example\nServerPort:51000\nComputerID:17\nSnapshotCnt:4\nSnapshotName:PC - snapshot #5\n"
      "SavedSnapshots:2,3\nScanAll:1\nShowRemDsk:0\nAddExeVerInfo:1\nOldVer:5\n"
      "Registry:\nHKEY_LOCAL_MACHINE\\SOFTWARE\\\n\nFiles:\nC:\\windows\\\n-C:\\windows\\temp\\\n\n"
      "Applications:\n*\n\n",
      "\xEF\xBB\xBFserveraddr:10.0.0.1\r\nSERVERPORT:-1\r\n- a comment\r\nFiles:\r\nC:\\caf\xC3\xA9\\\r\n"
      "ServerPort:99\r\nRegistry:\r\n\r\n",
      std::string("ComputerID:2147483648\nSnapshotCnt: 12x\nScanAll:\nFiles:\nApplications:\nRegistry:\n-\n--\nx\0y\n", 88),
      "Files:\nZ:\\a\\\nFiles:\nZ:\\b\\\nSavedSnapshots:1,,x,999999999999\n",
      "",
  };
  int n = 0;
  for (const std::string& file : files) {
    if (!WriteSeed(argv[1], n++, std::string(1, '\0') + file) || !WriteSeed(argv[1], n++, std::string(1, '\x01') + Utf16(file))) {
      return 1;
    }
  }
  return 0;
}
