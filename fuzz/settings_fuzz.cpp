// Arbitrary bytes as the settings file "OrvalinthSrv.ini": the loader must
// take them or refuse them, never crash, and what it took must settle: the
// file written after the load, loaded and written again, is the same file
// (a setting that drifts at every save would change the agent's console or
// targets across restarts). No temporary file is left behind.
//
// Input: byte 0 chooses the encoding; bit 0 clear: the rest is the file as
// it is (8-bit text, a UTF-8 byte-order mark, or FF FE and UTF-16LE where the
// input begins so); bit 0 set: FF FE and the rest as UTF-16LE units (an odd
// last byte dropped), the loader's other encoding.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_folder.h"
#include "settings/client_settings.h"

namespace {

void WriteHostFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

std::string ReadHostFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvalinth;
  if (size < 1) return 0;
  fuzz::ScratchFolder& folder = fuzz::Scratch();
  fuzz::InFolder in_folder(folder.process());
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) file = "\xFF\xFE" + file.substr(0, file.size() & ~size_t{1});
  const std::filesystem::path host = folder.host() / "OrvalinthSrv.ini";
  const std::u16string path = folder.windows() + u"OrvalinthSrv.ini";
  WriteHostFile(host, file);

  CXClientSettings settings;
  if (settings.Load(path) != 1) std::abort();  // a file that exists is always read
  if (settings.Save() != 1) std::abort();
  const std::string first = ReadHostFile(host);
  CXClientSettings again;
  if (again.Load(path) != 1 || again.Save() != 1) std::abort();
  const std::string second = ReadHostFile(host);
  if (first != second) std::abort();
  if (again.server_address() != settings.server_address() || again.server_port() != settings.server_port() ||
      again.computer_id() != settings.computer_id() || again.snapshot_name() != settings.snapshot_name() ||
      again.snapshot_count() != settings.snapshot_count() || again.old_version() != settings.old_version()) {
    std::abort();
  }
  if (std::filesystem::exists(folder.host() / "OrvalinthSrv.ini.tmp")) std::abort();
  return 0;
}
