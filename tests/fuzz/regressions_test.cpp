// Every input that once made a fuzz target find a fault is kept in
// fuzz/regressions/<target>/ and replayed here through that target's own
// entry point (its LLVMFuzzerTestOneInput, compiled under another name for
// the tests): a fault that comes back aborts or trips a sanitizer here.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#define ORVALINTH_FUZZ_ENTRY(name) extern "C" int FuzzEntry_##name(const uint8_t* data, size_t size);
ORVALINTH_FUZZ_ENTRY(app_items)
ORVALINTH_FUZZ_ENTRY(compare)
ORVALINTH_FUZZ_ENTRY(dispatcher)
ORVALINTH_FUZZ_ENTRY(frame)
ORVALINTH_FUZZ_ENTRY(pe_version)
ORVALINTH_FUZZ_ENTRY(reader)
ORVALINTH_FUZZ_ENTRY(reparse_data)
ORVALINTH_FUZZ_ENTRY(settings)
ORVALINTH_FUZZ_ENTRY(shortcut)
ORVALINTH_FUZZ_ENTRY(signed_upgrade)

namespace orvalinth {
namespace {

using Entry = int (*)(const uint8_t*, size_t);

TEST(FuzzRegressions, EveryKeptInputPassesItsTarget) {
  const std::map<std::string, Entry> targets = {
      {"app_items", FuzzEntry_app_items}, {"compare", FuzzEntry_compare},
      {"dispatcher", FuzzEntry_dispatcher}, {"frame", FuzzEntry_frame},
      {"pe_version", FuzzEntry_pe_version}, {"reader", FuzzEntry_reader},
      {"reparse_data", FuzzEntry_reparse_data}, {"settings", FuzzEntry_settings},
      {"shortcut", FuzzEntry_shortcut},         {"signed_upgrade", FuzzEntry_signed_upgrade}};
  int replayed = 0;
  for (const auto& folder : std::filesystem::directory_iterator(ORVALINTH_FUZZ_REGRESSIONS)) {
    const std::string target = folder.path().filename().string();
    const auto entry = targets.find(target);
    ASSERT_NE(entry, targets.end()) << "fuzz/regressions/" << target << " names no fuzz target";
    for (const auto& file : std::filesystem::directory_iterator(folder.path())) {
      std::ifstream in(file.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // Named before it runs: a fault that comes back ends the process.
      std::fprintf(stderr, "replaying %s\n", file.path().string().c_str());
      EXPECT_EQ(entry->second(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0) << file.path();
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace orvalinth
