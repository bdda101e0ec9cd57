// Writes seed inputs for frame_fuzz into the folder given as the argument:
// the worked frames, the greeting, the decode edge cases and bad lengths, each
// once handed out whole and once in pieces of 3 bytes.

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Frame(const std::string& body) {
  const unsigned n = static_cast<unsigned>(body.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  return out + body;
}

const std::string FE = "\xFE";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::vector<std::string> streams = {
      Frame("ping"),
      Frame("scan" + FE + "ok" + FE + "1"),
      Frame("down-block" + FE + FE + "\xAA\xBB\xCC"),
      Frame("hello" + FE + "ver" + FE + "QELMv1.0" + FE + "app" + FE + "6"),
      Frame("get-dir" + FE + "path" + FE + "C:\\" + FE + "list" + FE + "\xFF" "a\xFF\xFF" "b\xFF\xC3\xA9"),
      Frame("") + Frame("x") + Frame("x" + FE + "k" + FE),
      Frame("x" + FE),
      Frame("x" + FE + "k"),
      Frame("x" + FE + "k" + FE + "v" + FE),
      Frame("x" + FE + "k" + FE + FE + FE + "\xAA"),
      Frame("x" + FE + "n" + FE + " -2147483649z"),
      std::string("\x01\x00\xA0\x00", 4) + "xx",      // 10,485,761: too long
      std::string("\xFF\xFF\xFF\xFF", 4) + "xx",      // negative
      std::string("\x10\x00\x00\x00", 4) + "short",  // cut off
  };
  int n = 0;
  for (const std::string& stream : streams) {
    for (const char* head : {"\x00\x01", "\x03\x00"}) {
      const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(n++);
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (f == nullptr) return 1;
      std::fwrite(head, 1, 2, f);
      std::fwrite(stream.data(), 1, stream.size(), f);
      std::fclose(f);
    }
  }
  return 0;
}
