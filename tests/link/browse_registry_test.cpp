// Browsing registry keys: on the emulated registry (host) and on Wine's, with
// keys and links the tests make, and a scripted key for the failures.

#include <gtest/gtest.h>

#include "base/strings.h"
#include "link/browse.h"
#include "platform/errors.h"
#include "registry_scratch.h"
#include "test_support.h"
#ifndef _WIN32
#include "platform/posix/registry_emulation.h"
#endif

namespace orvalinth {
namespace {

using platform::RegistryRoot;
using test::ScratchKey;
using Listing = std::vector<std::u16string>;

const std::u16string kArrow = u" \u25BA ";

Listing Keys(const std::u16string& path) {
  Listing listing{u"left over"};
  ListRegistryKeys(path, &listing);
  return listing;
}

TEST(ListRegistryKeys, KindsOfKeysAndLinks) {
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Create(u"Branch\\Child"));
  ASSERT_TRUE(scratch.Create(u"Leaf"));
  ASSERT_TRUE(scratch.CreateLink(u"Link", u"\\Registry\\Machine\\System\\ControlSet001"));
  const Listing expected = {u"1Branch", u"0Leaf", u"2Link" + kArrow + u"HKEY_LOCAL_MACHINE\\System\\ControlSet001"};
  EXPECT_EQ(Keys(u"HKEY_CURRENT_USER\\" + scratch.path()), expected);
  EXPECT_EQ(Keys(u"hkey_current_user\\" + scratch.path() + u"\\"), expected);
  EXPECT_EQ(Keys(u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\Leaf"), Listing{});
  EXPECT_EQ(Keys(u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\Missing"), Listing{});
}

TEST(ListRegistryKeys, ListsThroughALinkOnTheWay) {
  ScratchKey machine(RegistryRoot::kLocalMachine);
  ASSERT_TRUE(machine.Create(u"Target\\Inner\\Deeper"));
  ScratchKey scratch;
  ASSERT_TRUE(scratch.CreateLink(u"Link", u"\\Registry\\Machine\\" + machine.path() + u"\\Target"));
  EXPECT_EQ(Keys(u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\Link"), Listing{u"1Inner"});
  // The target in root-name form keeps the path as written.
  EXPECT_EQ(Keys(u"HKEY_CURRENT_USER\\" + scratch.path()),
            Listing{u"2Link" + kArrow + u"HKEY_LOCAL_MACHINE\\" + machine.path() + u"\\Target"});
}

TEST(ListRegistryKeys, RootsAndWhatIsNoRoot) {
  const Listing machine = Keys(u"HKEY_LOCAL_MACHINE\\");
  bool software = false;
  for (const std::u16string& element : machine) {
    if (EqualsFolded(element, u"1software")) software = true;
  }
  EXPECT_TRUE(software) << "the top-level keys of the local machine include SOFTWARE with subkeys";
  EXPECT_EQ(Keys(u"hkey_local_machine\\"), machine);
  EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINE"), Listing{});
  EXPECT_EQ(Keys(u"HKEY_PERFORMANCE_DATA\\"), Listing{});
  EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINEX\\SOFTWARE"), Listing{});
  EXPECT_EQ(Keys(u""), Listing{});
}

TEST(OpenRegistryPath, GivesTheKeyOrTheReason) {
  ScratchKey scratch;
  uint32_t error = 99;
  EXPECT_NE(OpenRegistryPath(u"HKEY_CURRENT_USER\\" + scratch.path(), &error), nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_NE(OpenRegistryPath(u"HKEY_USERS\\", &error), nullptr);
  EXPECT_EQ(error, 0u);
  struct Case {
    std::u16string path;
    uint32_t error;
  };
  const Case cases[] = {
      {u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\Missing", platform::kErrorFileNotFound},
      {u"HKEY_CURRENT_USER\\\\" + scratch.path(), platform::kErrorBadPathname},
      // No root at all: said as missing rather than left as it was, so that a
      // caller never takes it for an empty key.
      {u"HKEY_LOCAL_MACHINE", platform::kErrorFileNotFound},
      {u"HKEY_PERFORMANCE_DATA\\", platform::kErrorFileNotFound},
      {u"SOFTWARE\\Classes", platform::kErrorFileNotFound},
  };
  for (const Case& c : cases) {
    error = 0;
    EXPECT_EQ(OpenRegistryPath(c.path, &error), nullptr) << test::N(c.path);
    EXPECT_EQ(error, c.error) << test::N(c.path);
  }
}

TEST(RegistryKeyKind, LinkValueMustNameARegistryPath) {
  ScratchKey scratch;
  // A plain key whose "SymbolicLinkValue" names a registry path counts as a link...
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_EQ(scratch.key().CreateSubKey(u"Named", platform::kRegOptionNone, &key), 0u);
  ASSERT_EQ(key->SetValue(u"SymbolicLinkValue", platform::kRegSz, platform::RegSzData(u"\\REGISTRY\\USER\\x")), 0u);
  // ...one naming anything else does not.
  ASSERT_EQ(scratch.key().CreateSubKey(u"Other", platform::kRegOptionNone, &key), 0u);
  ASSERT_EQ(key->SetValue(u"SymbolicLinkValue", platform::kRegLink, platform::RegLinkData(u"\\??\\C:\\x")), 0u);
  ASSERT_TRUE(scratch.Create(u"Other\\Child"));
  std::u16string target = u"untouched";
  EXPECT_EQ(RegistryKeyKind(scratch.key(), u"Named", &target), kBrowseLink);
  EXPECT_EQ(target, u"\\REGISTRY\\USER\\x");
  target = u"untouched";
  EXPECT_EQ(RegistryKeyKind(scratch.key(), u"Other", &target), kBrowseBranch);
  EXPECT_EQ(RegistryKeyKind(scratch.key(), u"Missing", &target), kBrowseLeaf);
  EXPECT_EQ(target, u"untouched");
  EXPECT_EQ(Keys(u"HKEY_CURRENT_USER\\" + scratch.path()),
            (Listing{u"2Named" + kArrow + u"HKEY_USERS\\x", u"1Other"}));
}

TEST(NativeToRootPath, Table) {
  struct Case {
    const char16_t* native;
    const char16_t* root_form;
  };
  const Case cases[] = {
      {u"\\registry\\machine\\software\\x", u"HKEY_LOCAL_MACHINE\\software\\x"},
      {u"\\Registry\\Machine\\System\\ControlSet001", u"HKEY_LOCAL_MACHINE\\System\\ControlSet001"},
      {u"\\REGISTRY\\USER\\S-1-5-18\\Software", u"HKEY_USERS\\S-1-5-18\\Software"},
      {u"\\Registry\\User\\.Default", u"HKEY_USERS\\.Default"},
      {u"\\Registry\\Machine", u"HKEY_LOCAL_MACHINE"},
      {u"\\Registry\\Machine\\", u"HKEY_LOCAL_MACHINE\\"},
      {u"\\Registry\\User", u"HKEY_USERS"},
      {u"\\Registry\\Machinery\\x", u"\\Registry\\Machinery\\x"},
      {u"\\Registry\\Users\\x", u"\\Registry\\Users\\x"},
      {u"\\Registry\\A\\x", u"\\Registry\\A\\x"},
      {u"\\Registr", u"\\Registr"},
      {u"HKEY_LOCAL_MACHINE\\x", u"HKEY_LOCAL_MACHINE\\x"},
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(NativeToRootPath(c.native), c.root_form) << test::N(c.native);
}

TEST(RegistryRootNames, TableInScanOrder) {
  const char16_t* names[] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_CONFIG", u"HKEY_CURRENT_USER",
                             u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"};
  const RegistryRoot roots[] = {RegistryRoot::kClassesRoot, RegistryRoot::kCurrentConfig, RegistryRoot::kCurrentUser,
                                RegistryRoot::kLocalMachine, RegistryRoot::kUsers};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(std::u16string(kRegistryRootNames[i].name), names[i]);
    EXPECT_EQ(kRegistryRootNames[i].root, roots[i]);
    RegistryRoot found = RegistryRoot::kUsers;
    EXPECT_TRUE(FindRegistryRoot(FoldedAZ(std::u16string(names[i])), &found));
    EXPECT_EQ(found, roots[i]);
  }
  RegistryRoot found;
  EXPECT_FALSE(FindRegistryRoot(u"HKEY_PERFORMANCE_DATA", &found));
  EXPECT_FALSE(FindRegistryRoot(u"HKEY_USERS ", &found));
  EXPECT_FALSE(FindRegistryRoot(u"HKLM", &found));
}

// A registry whose one key enumerates what the test scripts.
class ScriptedKey final : public platform::RegistryKey {
 public:
  struct Step {
    uint32_t result;
    std::u16string name;
  };
  explicit ScriptedKey(std::vector<Step> steps, int* calls) : steps_(std::move(steps)), calls_(calls) {}
  uint32_t EnumKey(uint32_t index, std::u16string* name, size_t) override {
    ++*calls_;
    const Step& step = index < steps_.size() ? steps_[index] : steps_.back();
    if (step.result == platform::kErrorSuccess || step.result == platform::kErrorMoreData) *name = step.name;
    return step.result;
  }
  uint32_t EnumValue(uint32_t, std::u16string*, uint32_t*, std::string*) override { return platform::kErrorNoMoreItems; }
  uint32_t QueryValue(const std::u16string&, uint32_t*, std::string*) override { return platform::kErrorFileNotFound; }
  uint32_t QueryInfo(Info* info) override {
    *info = Info();
    return platform::kErrorSuccess;
  }
  uint32_t OpenSubKey(const std::u16string&, uint32_t, uint32_t, std::unique_ptr<RegistryKey>* key) override {
    *key = std::make_unique<ScriptedKey>(std::vector<Step>{{platform::kErrorNoMoreItems, u""}}, &unused_);
    return platform::kErrorSuccess;
  }
  uint32_t CreateSubKey(const std::u16string&, uint32_t, std::unique_ptr<RegistryKey>*) override {
    return platform::kErrorAccessDenied;
  }
  uint32_t SetValue(const std::u16string&, uint32_t, const std::string&) override { return platform::kErrorAccessDenied; }
  uint32_t DeleteValue(const std::u16string&) override { return platform::kErrorAccessDenied; }
  uint32_t DeleteSubKey(const std::u16string&) override { return platform::kErrorAccessDenied; }

 private:
  std::vector<Step> steps_;
  int* calls_;
  int unused_ = 0;
};

class ScriptedRegistry final : public platform::Registry {
 public:
  std::vector<ScriptedKey::Step> steps;
  int calls = 0;
  uint32_t OpenKey(RegistryRoot, const std::u16string&, uint32_t, uint32_t,
                   std::unique_ptr<platform::RegistryKey>* key) override {
    *key = std::make_unique<ScriptedKey>(steps, &calls);
    return platform::kErrorSuccess;
  }
  uint32_t CreateKey(RegistryRoot, const std::u16string&, uint32_t, std::unique_ptr<platform::RegistryKey>*) override {
    return platform::kErrorAccessDenied;
  }
  uint32_t DeleteKey(RegistryRoot, const std::u16string&) override { return platform::kErrorAccessDenied; }
};

TEST(ListRegistryKeys, EnumerationFailures) {
  struct Case {
    const char* what;
    std::vector<ScriptedKey::Step> steps;
    Listing expected;
    int calls;
  };
  const Case cases[] = {
      {"a cut name is still listed",
       {{0, u"a"}, {platform::kErrorMoreData, u"cut"}, {0, u"b"}, {platform::kErrorNoMoreItems, u""}},
       {u"0a", u"0cut", u"0b"},
       4},
      {"an invalid handle ends it", {{0, u"a"}, {platform::kErrorInvalidHandle, u""}}, {u"0a"}, 2},
      // A key deleted meanwhile fails at every index: the listing must end.
      {"a deleted key ends it", {{0, u"a"}, {platform::kErrorKeyDeleted, u""}}, {u"0a"}, 2},
      {"access denied ends it", {{platform::kErrorAccessDenied, u""}}, {}, 1},
  };
  for (const Case& c : cases) {
    ScriptedRegistry registry;
    registry.steps = c.steps;
    platform::ScopedFacility<platform::Registry> use(registry);
    EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINE\\x"), c.expected) << c.what;
    EXPECT_EQ(registry.calls, c.calls) << c.what;
  }
}

#ifndef _WIN32
// The emulated registry can refuse a key and count open keys.
class BrowseEmulatedRegistry : public ::testing::Test {
 protected:
  ~BrowseEmulatedRegistry() override { platform::posix::ResetRegistryToHost(); }
};

TEST_F(BrowseEmulatedRegistry, MachineListingAndKeysClosedAfterwards) {
  platform::posix::ResetRegistry();
  platform::Registry& registry = platform::Registry::Get();
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_EQ(registry.CreateKey(RegistryRoot::kLocalMachine, u"SYSTEM\\ControlSet001\\Control", 0, &key), 0u);
  ASSERT_EQ(registry.CreateKey(RegistryRoot::kLocalMachine, u"SYSTEM\\CurrentControlSet", platform::kRegOptionCreateLink,
                               &key), 0u);
  ASSERT_EQ(key->SetValue(platform::kSymbolicLinkValueName, platform::kRegLink,
                          platform::RegLinkData(u"\\Registry\\Machine\\SYSTEM\\ControlSet001")), 0u);
  ASSERT_EQ(registry.CreateKey(RegistryRoot::kLocalMachine, u"SAM", 0, &key), 0u);
  ASSERT_EQ(registry.CreateKey(RegistryRoot::kLocalMachine, u"SECURITY\\Policy", 0, &key), 0u);
  key.reset();
  ASSERT_TRUE(platform::posix::SetRegistryKeyDenied(RegistryRoot::kLocalMachine, u"SECURITY", true));
  const size_t open_before = platform::posix::OpenRegistryKeys();

  // SECURITY cannot be opened: it is listed, as a key that cannot be opened further.
  EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINE\\"), (Listing{u"0SAM", u"0SECURITY", u"1SOFTWARE", u"1SYSTEM"}));
  EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINE\\SYSTEM"),
            (Listing{u"1ControlSet001", u"2CurrentControlSet" + kArrow + u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001"}));
  EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"), Listing{u"0Control"});
  EXPECT_EQ(Keys(u"HKEY_LOCAL_MACHINE\\SECURITY"), Listing{});
  EXPECT_EQ(Keys(u"HKEY_CLASSES_ROOT\\"), Listing{});
  EXPECT_EQ(platform::posix::OpenRegistryKeys(), open_before);
}
#endif

}  // namespace
}  // namespace orvalinth
