// "orvalinth dump" as a user runs it: output, exit codes and messages. Host
// only: the test starts the tool through the shell to catch its streams.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/posix/drive_table.h"
#include "test_support.h"
#include "tests/storage/json_check.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/storage/snapshot_samples.h"
#include "tools/console_runner.h"

namespace orvalinth {
namespace {

using test::TempFolder;

using ToolRun = test::ConsoleRun;

class DumpCommand : public ::testing::Test {
 protected:
  // Runs "orvalinth dump ARGUMENTS" (shell words) and collects its streams.
  ToolRun Run(const std::string& arguments) {
    return test::RunShell("'" + std::string(ORVALINTH_TOOL_EXE) + "' dump " + arguments, folder_);
  }
  // Writes a file into the test's folder; returns its host path, quoted for the shell.
  std::string File(const std::u16string& name, const std::string& bytes) {
    test::WriteFileBytes(folder_ / name, bytes);
    return "'" + Host(name) + "'";
  }
  std::string Host(const std::u16string& name) { return platform::posix::ToHostPath(folder_ / name); }

  std::string Sample() {
    SXReadSnapshot sample = test::SampleSnapshot();
    return File(u"snapshot007.snp", test::BuildSnapshotFile(sample));
  }

  TempFolder folder_;
};

TEST_F(DumpCommand, HelpAndUsageErrors) {
  ToolRun r = Run("--help");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("usage: orvalinth dump [--summary | --json] [--utc] FILE"), std::string::npos) << r.out;
  r = Run("");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("orvalinth dump: no snapshot file given"), std::string::npos) << r.err;
  r = Run("--tree x.snp");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("unknown option '--tree'"), std::string::npos) << r.err;
  r = Run("--json --summary x.snp");
  EXPECT_EQ(r.code, 2);
  r = Run("a.snp b.snp");
  EXPECT_EQ(r.code, 2);
}

TEST_F(DumpCommand, ReadableSummaryAndJson) {
  const std::string file = Sample();
  ToolRun r = Run("--utc " + file);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("title:                Snapshot 7\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("== file-system section \"c:\\\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    notepad.exe  65,536 bytes  2023-11-14 22:13:20 UTC  A (0x0020)  version #0\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("    \"Count\"  REG_DWORD  42 (0x0000002A)\n"), std::string::npos) << r.out;

  r = Run("--summary " + file);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("files:                6\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("items:                13\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("== registry section"), std::string::npos) << "a summary has no tree";

  r = Run("--json " + file);
  EXPECT_EQ(r.code, 0) << r.err;
  std::string error;
  EXPECT_TRUE(test::JsonCheck::Valid(r.out, &error)) << error;
}

TEST_F(DumpCommand, JsonPassesPythonsParser) {
  if (std::system("python3 -c 'import json' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
  const std::string file = Sample();
  const std::string command = "'" + std::string(ORVALINTH_TOOL_EXE) + "' dump --json " + file +
                              " | python3 -m json.tool >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST_F(DumpCommand, CorruptFileExitsWithOneAndSaysWhere) {
  SXReadSnapshot sample = test::SampleSnapshot();
  std::string bytes = test::BuildSnapshotFile(sample);
  bytes.resize(bytes.size() - 1);
  const std::string file = File(u"cut.snp", bytes);
  ToolRun r = Run(file);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("orvalinth dump: " + Host(u"cut.snp") + ": corrupt snapshot: block at file offset " +
                       std::to_string(sample.info_offset)),
            std::string::npos)
      << r.err;

  r = Run(File(u"unfinished.snp", "s4.1" + std::string(16, '\0')));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("unfinished snapshot: the info offset at file offset 16 is 0"), std::string::npos) << r.err;

  r = Run("'" + Host(u"missing.snp") + "'");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("missing.snp: cannot open the file (error 2)"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace orvalinth

#endif  // _WIN32
