// Seeds for pe_version_fuzz: PE32 and PE32+ files with version blocks of the
// kinds the reader meets, and bare version blocks.

#include <fstream>
#include <string>

#include "tests/platform/pe_builder.h"

namespace {

void Write(const std::string& folder, const char* name, const std::string& bytes) {
  std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  using namespace orvalinth::test;  // NOLINT: the builders
  const std::string folder = argv[1];
  const std::string strings = StringFileInfo(
      {StringTable(u"040904b0", {StringEntry(u"ProductName", u"Seed"), StringEntry(u"FileVersion", u"1.0")})});
  const std::string full = VersionBlock(FixedInfo(0x10002, 0x30004), {strings, VarFileInfo({{0x409, 1200}})});
  const std::string untranslated = VersionBlock(FixedInfo(1, 0), {strings});
  const std::string translation_first = VersionBlock(FixedInfo(1, 0), {VarFileInfo({{0x407, 1252}}), strings});
  Write(folder, "pe32plus", BuildPe(full));
  Write(folder, "pe32", BuildPe(full, PeOptions{false, 1, true}));
  Write(folder, "untranslated", BuildPe(untranslated, PeOptions{true, 3, false}));
  Write(folder, "translation_first", BuildPe(translation_first));
  Write(folder, "block", full);
  Write(folder, "block_untranslated", untranslated);
  return 0;
}
