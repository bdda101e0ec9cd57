// The crash report file and the lines of its body.

#include "host/crash_report.h"

#include <gtest/gtest.h>

#include <regex>

#include "crash_text.h"
#include "platform/system_info.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::FileExists;
using test::Hex;
using test::ReadFileBytes;
using test::TempFolder;
using test::ToHex;
using test::W;
using test::WriteFileBytes;

const char kTimeLine[] = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n";

TEST(CrashReportHeader, HasTitlePathSystemAndMemoryLines) {
  const std::u16string header =
      CXCrashReport::BuildHeader("Orvalinth service v2.10 x64", u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe",
                                 "Win 10 Pro x64 ", "Intel(R) Core(TM) i7 CPU", "3.50/15.87");
  EXPECT_EQ(header,
            u"Orvalinth service v2.10 x64\r\n"
            u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe\r\n"
            u"Win 10 Pro x64  Exe64\r\n"
            u"Intel(R) Core(TM) i7 CPU 3.50/15.87\r\n");
}

TEST(CrashReportHeader, AnUnknownPathIsLeftOutAndEmptyPiecesStay) {
  EXPECT_EQ(CXCrashReport::BuildHeader("T", u"", "", "", ""), u"T\r\n Exe64\r\n \r\n");
}

TEST(CrashReportHeader, EightBitPiecesAreWidenedByteByByte) {
  // A processor name in the ANSI code page: E9 is one unit 00E9, not UTF-8.
  const std::u16string header = CXCrashReport::BuildHeader("T", u"C:\\\u00e9\\x.exe", "OS", "Caf\xe9", "1.00/2.00");
  EXPECT_EQ(header, u"T\r\nC:\\\u00e9\\x.exe\r\nOS Exe64\r\nCaf\u00e9 1.00/2.00\r\n");
}

TEST(CrashReportHeader, TheMachineHeaderReadsThisMachine) {
  const std::string text = test::ReportText(CXCrashReport::MachineHeader("Orvalinth service v2.10 x64"));
  const std::string exe = test::N(test::test_process().ExecutablePath());
  ASSERT_EQ(text.find("Orvalinth service v2.10 x64\r\n" + exe + "\r\n"), 0u) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex(" Exe64\r\n.* \\d+\\.\\d\\d/\\d+\\.\\d\\d\r\n$"))) << text;
}

TEST(CrashReportMemory, GibibytesWithTwoDecimals) {
  const uint64_t gib = 1073741824;
  EXPECT_EQ(MemorySituationOf(0, 0), "0.00/0.00");
  EXPECT_EQ(MemorySituationOf(gib * 7 / 2, gib * 16), "3.50/16.00");
  EXPECT_EQ(MemorySituationOf(gib / 3, gib), "0.33/1.00");
  EXPECT_EQ(MemorySituationOf(gib * 1024, gib * 1024), "1024.00/1024.00");
}

TEST(CrashReportMemory, NowReadsTheSystem) {
  uint64_t available = 0;
  uint64_t total = 0;
  ASSERT_TRUE(platform::SystemInfo::Get().Memory(&available, &total));
  EXPECT_TRUE(std::regex_match(MemorySituation(), std::regex("\\d+\\.\\d\\d/\\d+\\.\\d\\d"))) << MemorySituation();
}

TEST(CrashReportLines, AddressesAreSixteenUpperCaseDigits) {
  EXPECT_EQ(PointerText(0), "0000000000000000");
  EXPECT_EQ(PointerText(0x7FF6A1B21234), "00007FF6A1B21234");
  EXPECT_EQ(PointerText(0xFFFFFFFFFFFFFFFF), "FFFFFFFFFFFFFFFF");
}

TEST(CrashReportLines, FaultLine) {
  EXPECT_EQ(FaultLine(0x7FF6A1B21234, 0xC0000005, "3.50/15.87"),
            "exception at 00007FF6A1B21234 - C0000005 3.50/15.87\r\n");
  EXPECT_EQ(FaultLine(0x401000, 11, ""), "exception at 0000000000401000 - B \r\n");
}

TEST(CrashReportLines, FrameLines) {
  struct Case {
    const char* module;
    const char* file;
    int line;
    const char* full_name;
    const char* name;
    const char* raw_name;
    const char* expected;
  };
  const Case cases[] = {
      {"OrvalinthSrv", "C:\\src\\record\\file_scan.cpp", 131, "orvalinth::CXFileScan::ScanFolder(int)",
       "orvalinth::CXFileScan::ScanFolder", "_ZN9orvalinth10CXFileScan10ScanFolderEi",
       "0000000140001234 C:\\src\\record\\file_scan.cpp (131): orvalinth::CXFileScan::ScanFolder(int)\r\n"},
      {"ntdll", "", 0, "", "RtlUserThreadStart", "RtlUserThreadStart",
       "0000000140001234 (ntdll): -: RtlUserThreadStart\r\n"},
      {"kernel32", "", 0, "", "", "BaseThreadInitThunk", "0000000140001234 (kernel32): -: BaseThreadInitThunk\r\n"},
      {"", "", 0, "", "", "", "0000000140001234 (-): -: -\r\n"},
      {"m", "a.cpp", 0, "", "", "", "0000000140001234 a.cpp (0): -\r\n"},
  };
  for (const Case& c : cases) {
    platform::StackFrame frame;
    frame.address = 0x140001234;
    frame.module = c.module;
    frame.file = c.file;
    frame.line = c.line;
    frame.full_name = c.full_name;
    frame.name = c.name;
    frame.raw_name = c.raw_name;
    EXPECT_EQ(FrameLine(frame), c.expected);
    EXPECT_TRUE(test::IsStackLine(FrameLine(frame))) << FrameLine(frame);
  }
}

TEST(CrashReportLines, WalkerErrorLine) {
  EXPECT_EQ(WalkerErrorLine("SymGetLineFromAddr64", 487, 0x7FFB00001000),
            "ERROR: SymGetLineFromAddr64, GetLastError: 487 (Address: 00007FFB00001000)\r\n");
  EXPECT_TRUE(test::IsStackLine(WalkerErrorLine("StackWalk64", 998, 0)));
}

TEST(CrashReportFile, FirstWriteRecreatesTheFileWithMarkHeaderAndTime) {
  TempFolder dir;
  const std::u16string path = dir / u"error-log.txt";
  WriteFileBytes(path, "an older report that must go");
  CXCrashReport report(path, u"T\r\n");
  report.Write("exception at x\r\n");
  report.Write(".\r\n\r\n");
  const std::string bytes = ReadFileBytes(path);
  // FF FE, then "T\r\n" in UTF-16LE, then the time.
  ASSERT_EQ(bytes.substr(0, 8), Hex("FF FE 54 00 0D 00 0A 00")) << ToHex(bytes);
  const std::string text = test::ReportText(bytes);
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string("T\r\n") + kTimeLine + "exception at x\r\n\\.\r\n\r\n")))
      << text;
}

TEST(CrashReportFile, TextIsWidenedByteByByte) {
  TempFolder dir;
  CXCrashReport report(dir / u"r.txt", u"");
  report.Write("A\xe9\r\n");
  const std::string bytes = ReadFileBytes(dir / u"r.txt");
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(bytes.size() - 8), Hex("41 00 E9 00 0D 00 0A 00"));
}

TEST(CrashReportFile, AReportOfALaterProcessReplacesTheEarlierOne) {
  TempFolder dir;
  const std::u16string path = dir / u"error-log.txt";
  {
    CXCrashReport first(path, u"H\r\n");  // the first process
    first.Write("exception at 1\r\n");
    first.Write(".\r\n\r\n");
  }
  CXCrashReport second(path, u"H\r\n");  // the next one
  second.Write("exception at 2\r\n");
  second.Write(".\r\n\r\n");
  const std::string text = test::ReportText(ReadFileBytes(path));
  EXPECT_EQ(text.find("exception at 1"), std::string::npos) << text;
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string("H\r\n") + kTimeLine + "exception at 2\r\n\\.\r\n\r\n")))
      << text;
}

TEST(CrashReportFile, AnUnwritableReportDropsTheTextAndTriesAgainLater) {
  TempFolder dir;
  const std::u16string path = dir / u"missing\\error-log.txt";
  CXCrashReport report(path, u"H\r\n");
  report.Write("lost\r\n");
  EXPECT_FALSE(FileExists(path));
  // The folder comes back: the next write is still the first of the report.
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(dir / u"missing"));
  report.Write("kept\r\n");
  const std::string text = test::ReportText(ReadFileBytes(path));
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string("H\r\n") + kTimeLine + "kept\r\n"))) << text;
}

TEST(CrashReportFile, ALaterWriteAppendsOnlyToAnExistingReport) {
  TempFolder dir;
  const std::u16string path = dir / u"error-log.txt";
  CXCrashReport report(path, u"H\r\n");
  report.Write("one\r\n");
  ASSERT_TRUE(platform::FileSystem::Get().RemoveFile(path));
  report.Write("two\r\n");  // a half report without its header would mislead
  EXPECT_FALSE(FileExists(path));
}

}  // namespace
}  // namespace orvalinth
