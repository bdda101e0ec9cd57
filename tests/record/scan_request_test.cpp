#include "record/scan_request.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvalinth {
namespace {

using List = std::vector<std::u16string>;

TEST(ScanRequest, TargetRule) {
  CXScanRequest request;
  request.Build(false, true, true, {u"HKLM", u"", u"-HKLM\\SOFTWARE\\Classes", u"*"},
                {u"C:", u"\\", u"a", u"ab", u"-C:\\Temp", u"-C", u"D:\\", u"*x"}, {u"*"});
  EXPECT_EQ(request.include[kScanRegistry], (List{u"HKLM\\", u"*"}));
  EXPECT_EQ(request.exclude[kScanRegistry], (List{u"-HKLM\\SOFTWARE\\Classes\\"}));
  // "\" and "a\" are too short for a folder; "-C\" is too short without its "-".
  EXPECT_EQ(request.include[kScanFiles], (List{u"C:\\", u"ab\\", u"D:\\", u"*x"}));
  EXPECT_EQ(request.exclude[kScanFiles], (List{u"-C:\\Temp\\"}));
  EXPECT_EQ(request.include[kScanApps], (List{u"*"}));
  EXPECT_FALSE(request.full);
  EXPECT_TRUE(request.removable_drives);
  EXPECT_TRUE(request.version_info);
}

TEST(ScanRequest, BuildStartsOver) {
  CXScanRequest request;
  request.Build(true, false, false, {u"A"}, {u"C:"}, {u"*"});
  request.Build(true, false, false, {}, {u"D:"}, {});
  EXPECT_TRUE(request.include[kScanRegistry].empty());
  EXPECT_EQ(request.include[kScanFiles], (List{u"D:\\"}));
  EXPECT_TRUE(request.include[kScanApps].empty());
  EXPECT_TRUE(request.full);
}

TEST(ScanRequest, FullRequestStoresAStarForEveryKind) {
  CXScanRequest request;
  request.Build(true, false, false, {u"HKLM"}, {u"C:", u"-C:\\x"}, {});
  for (int32_t k = 0; k < kScanKinds; ++k) EXPECT_EQ(request.InfoTargets(k), (List{u"*"})) << k;
}

TEST(ScanRequest, InfoTargetsKeepOnlyExclusionsInsideAnIncludedTree) {
  CXScanRequest request;
  request.Build(false, false, false, {}, {u"C:\\", u"D:\\", u"-C:\\Temp", u"-E:\\x", u"-c:\\", u"-D:\\a"}, {});
  // "-E:\x\" lies in no included tree, "-c:\" is one itself, "-D:\a\" is D:\ plus two units.
  EXPECT_EQ(request.InfoTargets(kScanFiles), (List{u"C:\\", u"-C:\\Temp\\", u"D:\\", u"-D:\\a\\"}));
}

TEST(ScanRequest, InfoOrderPutsBackslashFirstAndFoldsCase) {
  CXScanRequest request;
  request.Build(false, false, false, {}, {u"C:\\a b", u"C:\\a\\b", u"c:\\B", u"C:\\A\\"}, {});
  // "C:\A\" swallows "C:\a\b\" (equal over the shorter length).
  EXPECT_EQ(request.InfoTargets(kScanFiles), (List{u"C:\\A\\", u"C:\\a b\\", u"c:\\B\\"}));
}

TEST(ScanRequest, InfoTargetsDropEntriesCoveredByTheOneBefore) {
  CXScanRequest request;
  request.Build(false, false, false, {u"HKEY_LOCAL_MACHINE\\SOFTWARE", u"hkey_local_machine", u"HKEY_USERS"}, {}, {});
  EXPECT_EQ(request.InfoTargets(kScanRegistry), (List{u"hkey_local_machine\\", u"HKEY_USERS\\"}));
  EXPECT_TRUE(request.InfoTargets(kScanApps).empty());
}

TEST(ScanRequest, ExclusionSets) {
  CXScanRequest request;
  request.Build(false, false, false, {u"HKLM"}, {u"C:", u"-C:\\Temp", u"-C:\\Windows\\Logs\\"}, {u"*"});
  request.MakeExclusionSet(kScanFiles);
  const CXExclusionSet& files = request.exclusion[kScanFiles];
  EXPECT_FALSE(files.empty());
  EXPECT_TRUE(files.Contains(u"c:\\temp\\"));
  EXPECT_TRUE(files.Contains(u"C:\\WINDOWS\\LOGS\\"));
  EXPECT_FALSE(files.Contains(u"C:\\Temp"));
  // Nothing to exclude, or a job over everything: marked empty.
  request.MakeExclusionSet(kScanRegistry);
  EXPECT_TRUE(request.exclusion[kScanRegistry].empty());
  request.MakeExclusionSet(kScanApps);
  EXPECT_TRUE(request.RunsOverEverything(kScanApps));
  EXPECT_TRUE(request.exclusion[kScanApps].empty());
  request.full = true;
  request.MakeExclusionSet(kScanFiles);
  EXPECT_TRUE(request.exclusion[kScanFiles].empty());
  EXPECT_FALSE(request.exclusion[kScanFiles].Contains(u"c:\\temp\\"));
}

}  // namespace
}  // namespace orvalinth
