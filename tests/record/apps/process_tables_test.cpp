// The real process, handle and port tables, seen from this test process: its
// own entry with its executable and command line, a file it holds, and a
// port it listens on.

#include <gtest/gtest.h>

#include <algorithm>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/processes.h"
#include "platform/sockets.h"
#include "record/apps/processes_info.h"
#include "test_support.h"

namespace orvalinth {
namespace {

TEST(ProcessTables, ThisProcessWithItsExecutableAndCommandLine) {
  platform::ProcessTable& table = platform::ProcessTable::Get();
  ASSERT_TRUE(table.Available());
  std::vector<uint32_t> ids;
  uint32_t bytes = 0;
  ASSERT_TRUE(table.ProcessIds(1 << 20, &ids, &bytes));
  EXPECT_EQ(bytes, ids.size() * 4);
  const uint32_t self = platform::CurrentProcessId();
  EXPECT_NE(std::find(ids.begin(), ids.end(), self), ids.end());
  std::unique_ptr<platform::OpenedProcess> process = table.Open(self);
  ASSERT_NE(process, nullptr);
  std::vector<uint64_t> modules;
  ASSERT_TRUE(process->Modules(4096, &modules));
  ASSERT_GT(modules.size(), 1u);  // the executable and at least the C library
  std::u16string main;
  ASSERT_TRUE(process->ModuleFileName(modules[0], &main));
  const std::u16string exe = platform::Process::Real().ExecutablePath();  // not the stand-in the tests install
  EXPECT_TRUE(EqualsFolded(main, exe)) << test::N(main) << " / " << test::N(exe);
  const std::u16string command = ReadCommandLine(*process);
  const std::u16string exe_name = exe.substr(exe.rfind(u'\\') + 1);
  EXPECT_NE(FoldedAZ(command).find(FoldedAZ(exe_name)), std::u16string::npos) << test::N(command);
  EXPECT_NE(command.find(u"--gtest_filter"), std::u16string::npos) << test::N(command);
}

TEST(ProcessTables, AFileThisProcessHoldsIsOneOfItsHandles) {
  test::TempFolder folder;
  const std::u16string path = folder.path() + u"held-by-test.txt";
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(path, platform::kOpenCreate);
  ASSERT_NE(file, nullptr);
  platform::HandleTable& table = platform::HandleTable::Get();
  std::vector<platform::SystemHandleEntry> entries;
  std::string error;
  ASSERT_TRUE(table.Entries(&entries, &error)) << error;
  const uint32_t self = platform::CurrentProcessId();
  std::unique_ptr<platform::HandleOwner> owner = table.OpenOwner(self);
  ASSERT_NE(owner, nullptr);
  std::vector<uint64_t> buffer(4096 / 8);
  int found = 0;
  for (const platform::SystemHandleEntry& entry : entries) {
    if (entry.pid != self) continue;
    std::unique_ptr<platform::DuplicatedHandle> duplicate = owner->Duplicate(entry.handle);
    std::u16string type, name;
    uint32_t needed = 0;
    if (duplicate == nullptr || !duplicate->TypeName(&type) || type != u"File") continue;
    if (duplicate->QueryName(buffer.data(), 4096, &needed, &name) && EndsWithFolded(name, u"\\held-by-test.txt")) {
      ++found;
    }
  }
  EXPECT_EQ(found, 1);
}

TEST(ProcessTables, APortThisProcessListensOnIsAnEndpoint) {
  platform::Sockets& net = platform::Sockets::Get();
  ASSERT_TRUE(net.Startup());
  const platform::SocketHandle listener = net.Listen(net.ParseAddress("127.0.0.1"), 0, 1);
  ASSERT_NE(listener, platform::kNoSocket);
  uint16_t port = 0;
  ASSERT_TRUE(net.LocalPort(listener, &port));
  platform::PortTables& tables = platform::PortTables::Get();
  ASSERT_TRUE(tables.Available());
  std::vector<platform::PortRow> rows;
  ASSERT_TRUE(tables.Read(platform::kPortTableTcp4, &rows));
  net.Close(listener);
  const uint32_t network_port = static_cast<uint32_t>((port >> 8) | ((port & 0xFF) << 8));
  const auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const platform::PortRow& r) { return (r.local_port & 0xFFFF) == network_port; });
  ASSERT_NE(row, rows.end()) << "port " << port << " among " << rows.size() << " rows";
  EXPECT_EQ(row->state, 2u);  // listening
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(row->local_address), 4), std::string("\x7f\x00\x00\x01", 4));
  if (test::running_under_wine() && row->pid == 0) {
    std::printf("[ info     ] Wine gives the listening port no owner (pid 0)\n");
  } else {
    EXPECT_EQ(row->pid, platform::CurrentProcessId());
  }
}

}  // namespace
}  // namespace orvalinth
