// CXShortcut: the installer first, then the link object, else the format
// reader; under Wine a link saved by the shell itself.

#include "record/apps/shortcut.h"

#include <gtest/gtest.h>

#include "base/strings.h"
#include "platform/com_apartment.h"
#include "platform/errors.h"
#include "platform/shell_links.h"
#include "record/apps/shell_link_file.h"
#include "test_support.h"
#include "fakes/apps_fakes.h"
#include "tests/record/apps/shell_link_builder.h"

#ifdef _WIN32
#include "platform/win32/win.h"
// clang-format off
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on
#endif

namespace orvalinth {
namespace {

using test::FakeShellLinks;

class Shortcut : public ::testing::Test {
 protected:
  FakeShellLinks fake_;
  platform::ScopedFacility<platform::ShellLinks> scoped_{fake_};
  test::TempFolder dir_;
};

TEST_F(Shortcut, AnAdvertisedShortcutResolvesToTheInstalledFile) {
  fake_.installer_error = 0;
  fake_.installer_answer = u"C:\\Program Files\\Suite\\app.exe";
  fake_.link_answer = u"";  // the shell link itself names no file
  std::u16string target;
  ASSERT_TRUE(CXShortcut().Resolve(u"C:\\menu\\App.lnk", &target));
  EXPECT_EQ(target, u"C:\\Program Files\\Suite\\app.exe");
  EXPECT_TRUE(fake_.link_asked.empty());
}

TEST_F(Shortcut, AnEmptyInstallerAnswerAsksTheLinkObject) {
  fake_.installer_error = 0;
  fake_.link_answer = u"C:\\x\\y.exe";
  std::u16string target;
  ASSERT_TRUE(CXShortcut().Resolve(u"C:\\menu\\App.lnk", &target));
  EXPECT_EQ(target, u"C:\\x\\y.exe");
}

TEST_F(Shortcut, ALinkToNoFileResolvesToTheEmptyPath) {
  std::u16string target = u"stale";
  ASSERT_TRUE(CXShortcut().Resolve(u"C:\\menu\\Computer.lnk", &target));
  EXPECT_EQ(target, u"");
  EXPECT_EQ(fake_.installer_asked.size(), 1u);
  EXPECT_EQ(fake_.link_asked.size(), 1u);
}

TEST_F(Shortcut, ALinkObjectThatFailsLeavesItUnresolved) {
  // A readable link file: not read, since the link object exists and failed,
  // even with the error that the Linux build's missing link object gives.
  test::WriteFileBytes(dir_ / u"a.lnk", test::BuildLink("", test::LocalLinkInfo("C:\\a.exe", "", false)));
  for (const uint32_t error : {platform::kErrorFileNotFound, platform::kErrorNotSupported}) {
    fake_.link_error = error;
    std::u16string target = u"stale";
    EXPECT_FALSE(CXShortcut().Resolve(dir_ / u"a.lnk", &target)) << error;
    EXPECT_EQ(target, u"");
  }
}

TEST_F(Shortcut, WithoutALinkObjectTheFileIsRead) {
  fake_.link_error = platform::kErrorNotSupported;
  fake_.has_link_object = false;
  test::WriteFileBytes(dir_ / u"a.lnk", test::BuildLink("", test::LocalLinkInfo("C:\\a.exe", "", false)));
  test::WriteFileBytes(dir_ / u"bad.lnk", "not a link");
  std::u16string target;
  ASSERT_TRUE(CXShortcut().Resolve(dir_ / u"a.lnk", &target));
  EXPECT_EQ(target, u"C:\\a.exe");
  EXPECT_FALSE(CXShortcut().Resolve(dir_ / u"bad.lnk", &target));
  EXPECT_FALSE(CXShortcut().Resolve(dir_ / u"missing.lnk", &target));
}

TEST(ComApartment, IsReadyAndNests) {
  platform::ScopedComApartment outer;
  EXPECT_TRUE(outer.ready());
  platform::ScopedComApartment inner;
  EXPECT_TRUE(inner.ready());
}

#ifndef _WIN32
TEST(ShortcutPosix, ReadsTheLinkFile) {
  test::TempFolder dir;
  test::WriteFileBytes(dir / u"app.lnk", test::BuildLink(test::IdList({test::ComputerItem(),
                                                                                test::DriveItem("C:\\"),
                                                                                test::WineFileItem(false, "app.exe")}),
                                                               ""));
  std::u16string target;
  ASSERT_TRUE(CXShortcut().Resolve(dir / u"app.lnk", &target));
  EXPECT_EQ(target, u"C:\\app.exe");
}
#endif

#ifdef _WIN32
// Saves a shell link through the system's own link object: to `target` when
// it is not empty, else to the computer.
bool SaveLink(const std::u16string& link_path, const std::u16string& target) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return false;
  }
  HRESULT result = S_OK;
  if (target.empty()) {
    LPITEMIDLIST computer = nullptr;
    result = SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &computer);
    if (SUCCEEDED(result)) {
      result = link->SetIDList(computer);
      CoTaskMemFree(computer);
    }
  } else {
    result = link->SetPath(platform::win32::W(target));
    if (SUCCEEDED(result)) result = link->SetArguments(L"-run");
  }
  IPersistFile* file = nullptr;
  if (SUCCEEDED(result)) result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(result)) {
    result = file->Save(platform::win32::W(link_path), TRUE);
    file->Release();
  }
  link->Release();
  return SUCCEEDED(result);
}

TEST(ShortcutWin32, ResolvesLinksTheShellSavedAndTheReaderAgrees) {
  platform::ScopedComApartment com;
  ASSERT_TRUE(com.ready());
  test::TempFolder dir;
  test::WriteFileBytes(dir / u"tool.exe", "MZ");
  ASSERT_TRUE(SaveLink(dir / u"tool.lnk", dir / u"tool.exe"));
  std::u16string target;
  ASSERT_TRUE(CXShortcut().Resolve(dir / u"tool.lnk", &target));
  EXPECT_TRUE(EqualsFolded(target, dir / u"tool.exe")) << test::N(target);
  const std::string bytes = test::ReadFileBytes(dir / u"tool.lnk");
  std::u16string read;
  ASSERT_TRUE(ReadShellLinkTarget(bytes.data(), bytes.size(), &read)) << test::ToHex(bytes);
  EXPECT_EQ(test::N(read), test::N(target));
  // Without its link information the link's ID list gives the same path.
  std::string list_only = bytes;
  list_only[20] = static_cast<char>(list_only[20] & ~0x02);
  ASSERT_TRUE(ReadShellLinkTarget(list_only.data(), list_only.size(), &read)) << test::ToHex(bytes);
  EXPECT_TRUE(EqualsFolded(read, target)) << test::N(read);

  ASSERT_TRUE(SaveLink(dir / u"computer.lnk", u""));
  target = u"stale";
  ASSERT_TRUE(CXShortcut().Resolve(dir / u"computer.lnk", &target));
  EXPECT_EQ(target, u"");
  const std::string computer = test::ReadFileBytes(dir / u"computer.lnk");
  read = u"stale";
  ASSERT_TRUE(ReadShellLinkTarget(computer.data(), computer.size(), &read)) << test::ToHex(computer);
  EXPECT_EQ(read, u"");

  EXPECT_FALSE(CXShortcut().Resolve(dir / u"missing.lnk", &target));
}
#endif

}  // namespace
}  // namespace orvalinth
