#include "base/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "base/app_version.h"
#include "platform/console.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

const std::string kNl(platform::kNewline);

TEST(Log, LineFormatInformationAndError) {
  TempFolder dir;
  CXLog log(dir / u"OrvalinthSrv.log");
  log.Write("Service started", false);
  log.Write("invalid param -x", true);
  const std::string text = ReadFileBytes(dir / u"OrvalinthSrv.log");
  const std::regex expected("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Service started" + kNl +
                            "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Error: invalid param -x" + kNl);
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(Log, NoBannerInANewLog) {
  TempFolder dir;
  CXLog log(dir / u"l.log");
  log.Write("first", false);
  log.Write("second", false);
  const std::string text = ReadFileBytes(dir / u"l.log");
  EXPECT_EQ(text.find("OrvalinthSrv v"), std::string::npos) << text;
}

TEST(Log, BannerOnceBeforeTheFirstLineOfAProcessInANonEmptyLog) {
  TempFolder dir;
  WriteFileBytes(dir / u"l.log", "earlier line" + kNl);
  CXLog log(dir / u"l.log");
  log.Write("one", false);
  log.Write("two", false);
  const std::string text = ReadFileBytes(dir / u"l.log");
  const std::string banner = kNl + "OrvalinthSrv v" + AppVersionText(APP_VERSION) + kNl;
  ASSERT_EQ(text.find("earlier line" + kNl + banner), 0u) << text;
  EXPECT_EQ(text.find("OrvalinthSrv v", text.find(banner) + banner.size()), std::string::npos);
  EXPECT_NE(text.find(" one" + kNl), std::string::npos);
  EXPECT_NE(text.find(" two" + kNl), std::string::npos);
  EXPECT_EQ(std::string(AppVersionText(6)), "2.10 x64");
}

TEST(Log, RotatesOneByteAboveTheThreshold) {
  TempFolder dir;
  const std::string old_content(CXLog::kRotationThreshold + 1, 'x');
  WriteFileBytes(dir / u"l.log", old_content);
  WriteFileBytes(dir / u"l.log.old", "older still");
  CXLog log(dir / u"l.log");
  log.Write("after rotation", false);
  EXPECT_EQ(ReadFileBytes(dir / u"l.log.old"), old_content);
  const std::string text = ReadFileBytes(dir / u"l.log");
  // A freshly rotated log gets no banner.
  EXPECT_TRUE(std::regex_match(text, std::regex("[-0-9 :]{20}after rotation" + kNl))) << text;
}

TEST(Log, DoesNotRotateAtTheThreshold) {
  TempFolder dir;
  WriteFileBytes(dir / u"l.log", std::string(CXLog::kRotationThreshold, 'x'));
  CXLog log(dir / u"l.log");
  log.Write("kept", false);
  EXPECT_FALSE(test::FileExists(dir / u"l.log.old"));
  EXPECT_GT(ReadFileBytes(dir / u"l.log").size(), static_cast<size_t>(CXLog::kRotationThreshold));
}

TEST(Log, ConcurrentWritersNeverInterleaveWithinALine) {
  TempFolder dir;
  CXLog log(dir / u"l.log");
  constexpr int kThreads = 8;
  constexpr int kLines = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.Write("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                                     " " + std::string(200, static_cast<char>('a' + t)), false);
    });
  }
  for (std::thread& t : threads) t.join();
  const std::string text = ReadFileBytes(dir / u"l.log");
  const std::regex line("[-0-9 :]{20}thread (\\d) line (\\d+) ([a-h])\\3{199}");
  size_t start = 0;
  int count = 0;
  while (start < text.size()) {
    const size_t end = text.find(kNl, start);
    ASSERT_NE(end, std::string::npos);
    std::smatch m;
    const std::string one = text.substr(start, end - start);
    ASSERT_TRUE(std::regex_match(one, m, line)) << one;
    EXPECT_EQ(m[3].str()[0], 'a' + std::stoi(m[1].str()));
    ++count;
    start = end + kNl.size();
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST(Log, ProcessLogLiesBesideTheExecutable) {
  LogInfo("hello %d", 42);
  LogError("bad %s", "thing");
  const std::string text = ReadFileBytes(test::test_process().program_folder() + u"OrvalinthSrv.log");
  EXPECT_NE(text.find(" hello 42" + kNl), std::string::npos) << text;
  EXPECT_NE(text.find(" Error: bad thing" + kNl), std::string::npos) << text;
}

}  // namespace
}  // namespace orvalinth
