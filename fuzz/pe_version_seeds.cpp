// Seeds for pe_version_fuzz: PE32 and PE32+ files with version blocks of the
// kinds the reader meets, and bare version blocks.

#include <string>

#include "seed_folder.h"
#include "tests/platform/pe_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  using namespace orvalinth::test;  // NOLINT: the builders
  using orvalinth::fuzz::WriteSeed;
  const std::string folder = argv[1];
  const std::string strings = StringFileInfo(
      {StringTable(u"040904b0", {StringEntry(u"ProductName", u"Seed"), StringEntry(u"FileVersion", u"1.0")})});
  const std::string full = VersionBlock(FixedInfo(0x10002, 0x30004), {strings, VarFileInfo({{0x409, 1200}})});
  const std::string untranslated = VersionBlock(FixedInfo(1, 0), {strings});
  const std::string translation_first = VersionBlock(FixedInfo(1, 0), {VarFileInfo({{0x407, 1252}}), strings});
  WriteSeed(folder, "pe32plus", BuildPe(full));
  WriteSeed(folder, "pe32", BuildPe(full, PeOptions{false, 1, true}));
  WriteSeed(folder, "untranslated", BuildPe(untranslated, PeOptions{true, 3, false}));
  WriteSeed(folder, "translation_first", BuildPe(translation_first));
  WriteSeed(folder, "block", full);
  WriteSeed(folder, "block_untranslated", untranslated);
  return 0;
}
