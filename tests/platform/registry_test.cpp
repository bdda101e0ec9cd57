// The registry facility: the same tests run on the emulation (host) and on
// Wine's registry, so that the emulation keeps the real one's semantics.

#include "platform/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"
#include "registry_scratch.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;
using test::ScratchKey;
using Names = std::vector<std::u16string>;
using Key = std::unique_ptr<RegistryKey>;

struct Value {
  std::u16string name;
  uint32_t type;
  std::string data;
  bool operator==(const Value& other) const {
    return name == other.name && type == other.type && data == other.data;
  }
};

Names SubkeyNames(RegistryKey& key) {
  Names names;
  std::u16string name;
  uint32_t i = 0;
  uint32_t result;
  while ((result = key.EnumKey(i++, &name, 1024)) == platform::kErrorSuccess) names.push_back(name);
  EXPECT_EQ(result, platform::kErrorNoMoreItems);
  return names;
}

std::vector<Value> Values(RegistryKey& key) {
  std::vector<Value> values;
  Value value;
  uint32_t i = 0;
  uint32_t result;
  while ((result = key.EnumValue(i++, &value.name, &value.type, &value.data)) == platform::kErrorSuccess) {
    values.push_back(value);
  }
  EXPECT_EQ(result, platform::kErrorNoMoreItems);
  return values;
}

Key Open(RegistryKey& parent, const std::u16string& path, uint32_t options = platform::kRegOptionNone,
         uint32_t* error = nullptr) {
  Key key;
  const uint32_t result = parent.OpenSubKey(path, options, platform::kRegRead, &key);
  if (error != nullptr) *error = result;
  return key;
}

// The native path of a key below HKEY_LOCAL_MACHINE.
std::u16string MachinePath(const std::u16string& path) { return u"\\Registry\\Machine\\" + path; }

TEST(Registry, SubkeysComeInNameOrderValuesInCreationOrder) {
  ScratchKey scratch;
  for (const char16_t* name : {u"b", u"A", u"_x", u"c", u"Zed", u"a1", u"[q"}) ASSERT_TRUE(scratch.Create(name));
  // Name order folds A-Z onto a-z, so "_" and "[" come before letters.
  EXPECT_EQ(SubkeyNames(scratch.key()), (Names{u"[q", u"_x", u"A", u"a1", u"b", u"c", u"Zed"}));

  RegistryKey& key = scratch.key();
  ASSERT_EQ(key.SetValue(u"zeta", platform::kRegSz, platform::RegSzData(u"z")), 0u);
  ASSERT_EQ(key.SetValue(u"Alpha", platform::kRegDword, platform::RegDwordData(1)), 0u);
  ASSERT_EQ(key.SetValue(u"mid", platform::kRegBinary, "\x01\x02"), 0u);
  // Setting a value again keeps its place and its name as first written.
  ASSERT_EQ(key.SetValue(u"ZETA", platform::kRegDword, platform::RegDwordData(7)), 0u);
  ASSERT_EQ(key.DeleteValue(u"alpha"), 0u);
  const Value zeta{u"zeta", platform::kRegDword, platform::RegDwordData(7)};
  const Value mid{u"mid", platform::kRegBinary, "\x01\x02"};
  if (test::running_under_wine()) {
    // Wine keeps values sorted by name; Windows, like the emulation, keeps them as set.
    EXPECT_EQ(Values(key), (std::vector<Value>{mid, zeta}));
  } else {
    EXPECT_EQ(Values(key), (std::vector<Value>{zeta, mid}));
  }
}

TEST(Registry, NamesIgnoreTheCaseOfAtoZ) {
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Create(u"MixedCase\\Inner"));
  Key key;
  ASSERT_EQ(scratch.key().OpenSubKey(u"mIXEDcASE\\INNER", platform::kRegOptionNone,
                                     platform::kRegRead | platform::kRegWrite, &key), 0u);
  ASSERT_EQ(key->SetValue(u"Value", platform::kRegSz, platform::RegSzData(u"x")), 0u);
  uint32_t type = 0;
  std::string data;
  EXPECT_EQ(key->QueryValue(u"VALUE", &type, &data), 0u);
  EXPECT_EQ(data, platform::RegSzData(u"x"));
  // The stored name is the one first written.
  EXPECT_EQ(SubkeyNames(scratch.key()), Names{u"MixedCase"});
}

TEST(Registry, ValuesOfEveryTypeRoundTrip) {
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  const std::vector<Value> table = {
      {u"", platform::kRegSz, platform::RegSzData(u"the default value")},
      {u"none", platform::kRegNone, std::string("\x00\xFF", 2)},
      {u"sz", platform::kRegSz, platform::RegSzData(u"caf\u00E9 \u25BA")},
      {u"expand", platform::kRegExpandSz, platform::RegSzData(u"%SystemRoot%\\x")},
      {u"binary", platform::kRegBinary, big},
      {u"empty binary", platform::kRegBinary, std::string()},
      {u"dword", platform::kRegDword, platform::RegDwordData(0xDEADBEEF)},
      {u"big endian", platform::kRegDwordBigEndian, test::Hex("12 34 56 78")},
      {u"multi", platform::kRegMultiSz, test::Hex("61 00 00 00 62 00 00 00 00 00")},
      {u"resources", platform::kRegResourceList, test::Hex("01 00 00 00 02")},
      {u"descriptor", platform::kRegFullResourceDescriptor, test::Hex("09")},
      {u"requirements", platform::kRegResourceRequirementsList, test::Hex("0A 0B")},
      {u"qword", platform::kRegQword, test::Hex("01 02 03 04 05 06 07 08")},
      {u"odd sz", platform::kRegSz, test::Hex("41 00 42")},
  };
  ScratchKey scratch;
  RegistryKey& key = scratch.key();
  for (const Value& value : table) ASSERT_EQ(key.SetValue(value.name, value.type, value.data), 0u) << test::N(value.name);
  for (const Value& value : table) {
    uint32_t type = 0;
    std::string data;
    ASSERT_EQ(key.QueryValue(value.name, &type, &data), 0u) << test::N(value.name);
    EXPECT_EQ(type, value.type) << test::N(value.name);
    EXPECT_EQ(test::ToHex(data.substr(0, 64)), test::ToHex(value.data.substr(0, 64))) << test::N(value.name);
    EXPECT_EQ(data.size(), value.data.size()) << test::N(value.name);
  }
  // Every value once (their order is tested above).
  auto by_name = [](std::vector<Value> values) {
    std::sort(values.begin(), values.end(), [](const Value& a, const Value& b) { return a.name < b.name; });
    return values;
  };
  EXPECT_TRUE(by_name(Values(key)) == by_name(table));
  RegistryKey::Info info;
  ASSERT_EQ(key.QueryInfo(&info), 0u);
  EXPECT_EQ(info.subkeys, 0u);
  EXPECT_EQ(info.values, table.size());
  EXPECT_EQ(info.max_value_name_length, 12u);  // "requirements"
  EXPECT_EQ(info.max_value_data, 100000u);
}

TEST(Registry, ErrorCodes) {
  ScratchKey scratch;
  RegistryKey& key = scratch.key();
  ASSERT_TRUE(scratch.Create(u"Parent\\Child"));
  ASSERT_TRUE(scratch.Create(u"LongerName"));
  uint32_t error = 0;
  uint32_t type = 0;
  std::string data;
  std::u16string name;
  EXPECT_EQ(Open(key, u"Missing", platform::kRegOptionNone, &error), nullptr);
  EXPECT_EQ(error, platform::kErrorFileNotFound);
  EXPECT_EQ(key.QueryValue(u"missing", &type, &data), platform::kErrorFileNotFound);
  EXPECT_EQ(key.DeleteValue(u"missing"), platform::kErrorFileNotFound);
  EXPECT_EQ(key.DeleteSubKey(u"Missing"), platform::kErrorFileNotFound);
  EXPECT_EQ(key.EnumKey(2, &name, 1024), platform::kErrorNoMoreItems);
  EXPECT_EQ(key.EnumValue(0, &name, &type, &data), platform::kErrorNoMoreItems);
  // A name longer than the room given is cut.
  EXPECT_EQ(key.EnumKey(0, &name, 4), platform::kErrorMoreData);
  EXPECT_EQ(name, u"Long");
  // A leading backslash is refused; empty components and a trailing one are not.
  EXPECT_EQ(Open(key, u"\\Parent", platform::kRegOptionNone, &error), nullptr);
  EXPECT_EQ(error, platform::kErrorBadPathname);
  Key created;
  EXPECT_EQ(key.CreateSubKey(u"\\Other", platform::kRegOptionNone, &created), platform::kErrorBadPathname);
  EXPECT_NE(Open(key, u"Parent\\\\Child\\"), nullptr);
  // A key with subkeys stays.
  EXPECT_EQ(key.DeleteSubKey(u"Parent"), platform::kErrorAccessDenied);
  EXPECT_NE(Open(key, u"Parent\\Child"), nullptr);
  EXPECT_EQ(key.DeleteSubKey(u""), platform::kErrorInvalidParameter);
  EXPECT_EQ(platform::Registry::Get().DeleteKey(RegistryRoot::kCurrentUser, u""), platform::kErrorAccessDenied);
  // A key opened for reading takes no values.
  Key reader = Open(key, u"Parent");
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->SetValue(u"v", platform::kRegSz, platform::RegSzData(u"x")), platform::kErrorAccessDenied);
  // A key deleted while open.
  Key child = Open(key, u"Parent\\Child");
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(key.DeleteSubKey(u"Parent\\Child"), 0u);
  EXPECT_EQ(child->EnumKey(0, &name, 1024), platform::kErrorKeyDeleted);
  RegistryKey::Info info;
  EXPECT_EQ(child->QueryInfo(&info), platform::kErrorKeyDeleted);
  EXPECT_EQ(SubkeyNames(*reader), Names{});
}

TEST(Registry, LinksAreFollowedUnlessOpenedThemselves) {
  ScratchKey machine(RegistryRoot::kLocalMachine);
  ASSERT_TRUE(machine.Create(u"Target\\Inner"));
  Key target;
  ASSERT_EQ(machine.key().CreateSubKey(u"Target", platform::kRegOptionNone, &target), 0u);
  ASSERT_EQ(target->SetValue(u"v", platform::kRegDword, platform::RegDwordData(5)), 0u);
  const std::u16string native = MachinePath(machine.path() + u"\\Target");

  ScratchKey scratch;
  ASSERT_TRUE(scratch.CreateLink(u"Link", native));
  Key through = Open(scratch.key(), u"Link");
  ASSERT_NE(through, nullptr);
  EXPECT_EQ(SubkeyNames(*through), Names{u"Inner"});
  EXPECT_EQ(Values(*through), (std::vector<Value>{{u"v", platform::kRegDword, platform::RegDwordData(5)}}));
  EXPECT_NE(Open(scratch.key(), u"link\\inner", platform::kRegOptionOpenLink), nullptr);

  // The link itself: no subkeys, one value without a terminating zero.
  Key itself = Open(scratch.key(), u"Link", platform::kRegOptionOpenLink);
  ASSERT_NE(itself, nullptr);
  EXPECT_EQ(SubkeyNames(*itself), Names{});
  EXPECT_EQ(Values(*itself), (std::vector<Value>{{u"SymbolicLinkValue", platform::kRegLink, platform::RegLinkData(native)}}));
  RegistryKey::Info info;
  ASSERT_EQ(itself->QueryInfo(&info), 0u);
  EXPECT_EQ(info.subkeys, 0u);
  EXPECT_EQ(info.values, 1u);
  EXPECT_EQ(info.max_value_data, native.size() * 2);

  // Creating through a link creates at the target; a link where a key is, is refused.
  ASSERT_TRUE(scratch.Create(u"Link\\Made"));
  EXPECT_EQ(SubkeyNames(*through), (Names{u"Inner", u"Made"}));
  Key refused;
  EXPECT_EQ(scratch.key().CreateSubKey(u"Link", platform::kRegOptionCreateLink, &refused), platform::kErrorAlreadyExists);
  ASSERT_TRUE(scratch.Create(u"Plain"));
  EXPECT_EQ(scratch.key().CreateSubKey(u"Plain", platform::kRegOptionCreateLink, &refused), platform::kErrorAlreadyExists);

  // The native path ignores A-Z case.
  std::u16string upper = native;
  for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  ASSERT_TRUE(scratch.CreateLink(u"Upper", upper));
  EXPECT_NE(Open(scratch.key(), u"Upper\\Inner"), nullptr);

  // Deleting a link deletes the link, not its target.
  ASSERT_EQ(scratch.key().DeleteSubKey(u"Link"), 0u);
  uint32_t error = 0;
  EXPECT_EQ(Open(scratch.key(), u"Link", platform::kRegOptionOpenLink, &error), nullptr);
  EXPECT_EQ(error, platform::kErrorFileNotFound);
  EXPECT_EQ(SubkeyNames(*Open(machine.key(), u"Target")), (Names{u"Inner", u"Made"}));
}

TEST(Registry, BrokenLinks) {
  ScratchKey machine(RegistryRoot::kLocalMachine);
  ScratchKey scratch;
  ASSERT_TRUE(machine.Create(u"Target"));
  ASSERT_TRUE(scratch.CreateLink(u"Dangling", MachinePath(machine.path() + u"\\Missing")));
  // A terminating zero stored with the path makes it name nothing.
  ASSERT_TRUE(scratch.CreateLink(u"Zero", MachinePath(machine.path() + u"\\Target") + std::u16string(1, u'\0')));
  Key empty;
  ASSERT_EQ(scratch.key().CreateSubKey(u"NoValue", platform::kRegOptionCreateLink, &empty), 0u);
  ASSERT_TRUE(machine.CreateLink(u"Loop", MachinePath(machine.path() + u"\\Loop")));
  uint32_t error = 0;
  for (const char16_t* name : {u"Dangling", u"Zero", u"NoValue"}) {
    EXPECT_EQ(Open(scratch.key(), name, platform::kRegOptionNone, &error), nullptr) << test::N(name);
    EXPECT_EQ(error, platform::kErrorFileNotFound) << test::N(name);
    EXPECT_NE(Open(scratch.key(), name, platform::kRegOptionOpenLink), nullptr) << test::N(name);
  }
  EXPECT_EQ(Open(machine.key(), u"Loop", platform::kRegOptionNone, &error), nullptr);
  EXPECT_EQ(error, platform::kErrorInvalidParameter);
}

TEST(Registry, ClassesRootShowsTheMachineClasses) {
  platform::Registry& registry = platform::Registry::Get();
  const std::u16string name = u".orvalinthtest-" + test::W(std::to_string(platform::CurrentProcessId()));
  Key created;
  ASSERT_EQ(registry.CreateKey(RegistryRoot::kClassesRoot, name, platform::kRegOptionNone, &created), 0u);
  created.reset();
  Key seen;
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, u"Software\\Classes\\" + name, platform::kRegOptionNone,
                             platform::kRegRead, &seen), 0u);
  seen.reset();
  EXPECT_EQ(registry.DeleteKey(RegistryRoot::kLocalMachine, u"Software\\Classes\\" + name), 0u);
  EXPECT_NE(registry.OpenKey(RegistryRoot::kClassesRoot, name, platform::kRegOptionNone, platform::kRegRead, &seen), 0u);
}

TEST(Registry, ConcurrentWritersAllLand) {
  ScratchKey scratch;
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 50;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeysEach; ++i) {
        Key key;
        const std::u16string name = test::W("t" + std::to_string(t) + "-" + std::to_string(i));
        if (scratch.key().CreateSubKey(name, platform::kRegOptionNone, &key) != 0 ||
            key->SetValue(u"n", platform::kRegDword, platform::RegDwordData(static_cast<uint32_t>(i))) != 0 ||
            scratch.key().SetValue(name, platform::kRegSz, platform::RegSzData(name)) != 0) {
          ++failures;
        }
        SubkeyNames(scratch.key());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(SubkeyNames(scratch.key()).size(), static_cast<size_t>(kThreads * kKeysEach));
  EXPECT_EQ(Values(scratch.key()).size(), static_cast<size_t>(kThreads * kKeysEach));
}

TEST(Registry, DataHelpers) {
  EXPECT_EQ(test::ToHex(platform::RegSzData(u"A\u25BA")), "41 00 BA 25 00 00");
  EXPECT_EQ(test::ToHex(platform::RegLinkData(u"\\R")), "5C 00 52 00");
  EXPECT_EQ(test::ToHex(platform::RegDwordData(0x01020304)), "04 03 02 01");
  EXPECT_EQ(platform::RegDataText(test::Hex("41 00 BA 25 00 00 42 00")), u"A\u25BA");
  EXPECT_EQ(platform::RegDataText(test::Hex("41 00 42")), u"A");
  EXPECT_EQ(platform::RegDataText(std::string()), u"");
}

}  // namespace
}  // namespace orvalinth
