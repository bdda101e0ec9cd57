// What only the emulated registry of the POSIX backend does: its start from
// the machine's own facts, resets, refused keys and the count of open keys.

#ifndef _WIN32

#include "platform/posix/registry_emulation.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::RegistryRoot;
using Key = std::unique_ptr<platform::RegistryKey>;
using Names = std::vector<std::u16string>;

Key OpenKey(RegistryRoot root, const std::u16string& path, uint32_t* error = nullptr) {
  Key key;
  const uint32_t result =
      platform::Registry::Get().OpenKey(root, path, platform::kRegOptionNone, platform::kRegRead, &key);
  if (error != nullptr) *error = result;
  return key;
}

Names SubkeyNames(RegistryRoot root, const std::u16string& path) {
  Names names;
  Key key = OpenKey(root, path);
  if (key == nullptr) return {u"<cannot open>"};
  std::u16string name;
  for (uint32_t i = 0; key->EnumKey(i, &name, 1024) == platform::kErrorSuccess; ++i) names.push_back(name);
  return names;
}

std::u16string TextValue(RegistryRoot root, const std::u16string& path, const std::u16string& name) {
  Key key = OpenKey(root, path);
  uint32_t type = 0;
  std::string data;
  if (key == nullptr || key->QueryValue(name, &type, &data) != 0) return u"<missing>";
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(data.substr(data.size() - 2), std::string(2, '\0'));
  return platform::RegDataText(data);
}

// The first line of `path` starting with `key`, without the key.
std::string LineAfter(const char* path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  }
  return std::string();
}

class RegistryEmulation : public ::testing::Test {
 protected:
  ~RegistryEmulation() override { platform::posix::ResetRegistryToHost(); }
};

TEST_F(RegistryEmulation, StartsWithWhatTheMachineSaysOfItself) {
  platform::posix::ResetRegistryToHost();
  const std::u16string version = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  std::string pretty = LineAfter("/etc/os-release", "PRETTY_NAME=");
  ASSERT_FALSE(pretty.empty()) << "this machine has no /etc/os-release";
  if (pretty.front() == '"') pretty = pretty.substr(1, pretty.size() - 2);
  EXPECT_EQ(test::N(TextValue(RegistryRoot::kLocalMachine, version, u"ProductName")), pretty);
  EXPECT_NE(TextValue(RegistryRoot::kLocalMachine, version, u"CurrentVersion"), u"<missing>");
  const std::string model = LineAfter("/proc/cpuinfo", "model name");
  if (!model.empty()) {
    const std::string expected = model.substr(model.find(':') + 2);
    EXPECT_EQ(test::N(TextValue(RegistryRoot::kLocalMachine, u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                   u"ProcessorNameString")),
              expected);
  }
}

TEST_F(RegistryEmulation, ResetLeavesTheRootsAndTheKeysBehindViews) {
  Key before = OpenKey(RegistryRoot::kLocalMachine, u"SOFTWARE");
  ASSERT_NE(before, nullptr);
  platform::posix::ResetRegistry();
  std::u16string name;
  EXPECT_EQ(before->EnumKey(0, &name, 1024), platform::kErrorInvalidHandle);
  EXPECT_EQ(SubkeyNames(RegistryRoot::kLocalMachine, u""), Names{u"SOFTWARE"});
  EXPECT_EQ(SubkeyNames(RegistryRoot::kLocalMachine, u"SOFTWARE"), Names{u"Classes"});
  EXPECT_EQ(SubkeyNames(RegistryRoot::kUsers, u""), Names{u"S-1-5-18"});
  EXPECT_EQ(SubkeyNames(RegistryRoot::kCurrentUser, u""), Names{});
  EXPECT_EQ(SubkeyNames(RegistryRoot::kCurrentConfig, u""), Names{});
  EXPECT_EQ(SubkeyNames(RegistryRoot::kClassesRoot, u""), Names{});

  // HKEY_CURRENT_USER is the service account's hive.
  Key created;
  ASSERT_EQ(platform::Registry::Get().CreateKey(RegistryRoot::kCurrentUser, u"Software", platform::kRegOptionNone,
                                                  &created), 0u);
  EXPECT_EQ(SubkeyNames(RegistryRoot::kUsers, u"S-1-5-18"), Names{u"Software"});
  // The keys behind the views stay.
  platform::Registry& registry = platform::Registry::Get();
  EXPECT_EQ(registry.DeleteKey(RegistryRoot::kLocalMachine, u"SOFTWARE\\Classes"), platform::kErrorAccessDenied);
  EXPECT_EQ(registry.DeleteKey(RegistryRoot::kUsers, u"S-1-5-18\\Software"), 0u);
  EXPECT_EQ(registry.DeleteKey(RegistryRoot::kUsers, u"S-1-5-18"), platform::kErrorAccessDenied);
}

TEST_F(RegistryEmulation, RefusedKeysAreListedButNotOpened) {
  platform::posix::ResetRegistry();
  Key created;
  ASSERT_EQ(platform::Registry::Get().CreateKey(RegistryRoot::kLocalMachine, u"SYSTEM\\Secret",
                                                  platform::kRegOptionNone, &created), 0u);
  ASSERT_TRUE(platform::posix::SetRegistryKeyDenied(RegistryRoot::kLocalMachine, u"system\\secret", true));
  EXPECT_FALSE(platform::posix::SetRegistryKeyDenied(RegistryRoot::kLocalMachine, u"SYSTEM\\Missing", true));
  uint32_t error = 0;
  EXPECT_EQ(OpenKey(RegistryRoot::kLocalMachine, u"SYSTEM\\Secret", &error), nullptr);
  EXPECT_EQ(error, platform::kErrorAccessDenied);
  EXPECT_EQ(SubkeyNames(RegistryRoot::kLocalMachine, u"SYSTEM"), Names{u"Secret"});
  // A key object opened before keeps working.
  EXPECT_EQ(created->SetValue(u"v", platform::kRegSz, platform::RegSzData(u"x")), 0u);
  ASSERT_TRUE(platform::posix::SetRegistryKeyDenied(RegistryRoot::kLocalMachine, u"SYSTEM\\Secret", false));
  EXPECT_NE(OpenKey(RegistryRoot::kLocalMachine, u"SYSTEM\\Secret"), nullptr);
}

TEST_F(RegistryEmulation, CountsTheKeyObjectsInExistence) {
  const size_t before = platform::posix::OpenRegistryKeys();
  {
    Key a = OpenKey(RegistryRoot::kLocalMachine, u"");
    Key b = OpenKey(RegistryRoot::kUsers, u"");
    EXPECT_EQ(platform::posix::OpenRegistryKeys(), before + 2);
  }
  EXPECT_EQ(platform::posix::OpenRegistryKeys(), before);
}

}  // namespace
}  // namespace orvalinth

#endif  // _WIN32
