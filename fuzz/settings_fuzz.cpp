// Arbitrary bytes as the settings file "OrvalinthSrv.ini": the loader must
// take them, never crash, and what it took must survive a save and a
// restart: the settings loaded back after a save are those loaded first
// (unless an entry reads back as a key line, which the format lets set its
// key again), and the file settles after one save (a setting that drifts at
// every save would change the agent's console or targets across restarts).
// No temporary file is left behind.
//
// Input: byte 0 chooses the encoding; bit 0 clear: the rest is the file as
// it is (8-bit text, a UTF-8 byte-order mark, or FF FE and UTF-16LE where the
// input begins so); bit 0 set: FF FE and the rest as UTF-16LE units (an odd
// last byte dropped), the loader's other encoding.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_folder.h"
#include "settings/client_settings.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// An entry the file gives back unchanged: storable as it stands, or an
// exclusion of a storable one.
bool Storable(const std::u16string& entry) {
  using orvalinth::CXClientSettings;
  if (CXClientSettings::IsStorableTarget(entry)) return true;
  return entry.size() > 1 && entry[0] == u'-' && CXClientSettings::IsStorableTarget(entry.substr(1));
}

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

  // First load and save, then twice more: the file settles after one save
  // (the sections in their order, the values as the writer spells them).
  CXClientSettings settings;
  Check(settings.Load(path) == 1);  // a file that exists is always read
  Check(settings.Save() == 1);
  CXClientSettings again;
  Check(again.Load(path) == 1 && again.Save() == 1);
  const std::string second = ReadHostFile(host);
  CXClientSettings third;
  Check(third.Load(path) == 1 && third.Save() == 1);
  const std::string settled = ReadHostFile(host);
  if (second != settled) {
    // What drifted, for the one who reads the crash.
    std::fprintf(stderr, "the settings file changed at its third save:\n--- second\n%s\n--- third\n%s\n",
                 second.c_str(), settled.c_str());
    std::abort();
  }
  // What the agent loaded is what it loads after a save and a restart. The
  // one exception the format has: an entry that reads back as a key line
  // sets that key again from where the writer puts it.
  bool storable = true;
  for (const auto& list : {settings.registry_targets(), settings.file_targets(), settings.application_targets()}) {
    for (const std::u16string& entry : list) storable = storable && Storable(entry);
  }
  Check(again.server_address() == settings.server_address() || !storable);
  Check(again.server_port() == settings.server_port() || !storable);
  Check(again.computer_id() == settings.computer_id() || !storable);
  Check(again.snapshot_name() == settings.snapshot_name() || !storable);
  Check(again.snapshot_count() == settings.snapshot_count() || !storable);
  Check(again.saved_snapshots() == settings.saved_snapshots() || !storable);
  Check(again.old_version() == settings.old_version() || !storable);
  Check(again.full_scan() == settings.full_scan() || !storable);
  Check(again.add_version_info() == settings.add_version_info() || !storable);
  Check(again.show_removable_disks() == settings.show_removable_disks() || !storable);
  if (storable) {
    Check(again.registry_targets() == settings.registry_targets());
    Check(again.file_targets() == settings.file_targets());
    Check(again.application_targets() == settings.application_targets());
  }
  Check(!std::filesystem::exists(folder.host() / "OrvalinthSrv.ini.tmp"));
  return 0;
}
