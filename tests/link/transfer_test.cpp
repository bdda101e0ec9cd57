// Snapshot downloads from the agent: the reply, the blocks and the end
// marker, files that cannot be read, commands between blocks, the
// acknowledgement, and a console that goes away in the middle.

#include <gtest/gtest.h>

#include <cstring>

#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "link/agent_fixture.h"
#include "platform/errors.h"
#include "storage/snapshot_builder.h"

namespace orvalinth {
namespace {

using test::AgentTest;
using test::Greet;
using test::Hex;
using test::ReadFileBytes;
using test::SendCommand;
using test::TestPeer;
using test::ToHex;

// What the console received after a "down-snap" reply.
struct Stream {
  std::string bytes;               // the payloads joined
  std::vector<int32_t> sizes;      // one per block
  std::vector<std::string> other;  // the names of other messages among the blocks
  bool marker = false;             // the end marker came
};

bool ReadStream(TestPeer& p, Stream* stream) {
  for (;;) {
    CXMessage m;
    if (!p.RecvMessage(&m)) return false;
    if (!m.IsNamed("down-block")) {
      stream->other.push_back(m.Name());
      continue;
    }
    if (m.GetInt("done") == 1) {
      stream->marker = m.PayloadSize() == 0 && m.keys().size() == 1;
      return true;
    }
    stream->sizes.push_back(m.PayloadSize());
    stream->bytes.append(reinterpret_cast<const char*>(m.Payload()), static_cast<size_t>(m.PayloadSize()));
  }
}

bool AskFor(TestPeer& p, int32_t n, CXMessage* reply) {
  CXMessage ask;
  ask.Init("down-snap").AddInt("id-snapshot", n);
  return p.SendMessage(ask) && p.RecvMessage(reply) && reply->IsNamed("down-snap");
}

std::string Pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  // 0xFE and 0xFF among them: the payload is raw.
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  return bytes;
}

using Transfer = AgentTest;

TEST_F(Transfer, TwoFullBlocksThenAnEmptyBlockAndTheEndMarker) {
  const std::string content = Pattern(262144, 1);
  test::WriteFileBytes(SnapshotPath(7), content);
  CXMessage reply;
  std::vector<std::string> frames;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p) || !AskFor(p, 7, &reply)) return;
    for (int i = 0; i < 4; ++i) {
      std::string body;
      if (!p.RecvFrame(&body)) return;
      frames.push_back(body);
    }
  });
  EXPECT_EQ(reply.GetInt("size"), 262144);
  EXPECT_EQ(reply.keys(), std::vector<std::string>{"size"}) << "no msg for a file that opened";
  ASSERT_EQ(frames.size(), 4u);
  const std::string head = std::string("down-block\xFE\xFE");
  EXPECT_EQ(frames[0], head + content.substr(0, 131072));
  EXPECT_EQ(frames[1], head + content.substr(131072));
  EXPECT_EQ(ToHex(frames[2]), ToHex(head));
  EXPECT_EQ(ToHex(frames[3]), ToHex(std::string("down-block\xFE" "done\xFE" "1")));
}

TEST_F(Transfer, EmptySnapshotHasSizeZeroAnEmptyMsgOneEmptyBlockAndTheMarker) {
  test::WriteFileBytes(SnapshotPath(2), "");
  CXMessage reply;
  Stream stream;
  RunConsole([&](TestPeer& p) {
    if (Greet(p) && AskFor(p, 2, &reply)) ReadStream(p, &stream);
  });
  EXPECT_EQ(reply.keys(), (std::vector<std::string>{"size", "msg"}));
  EXPECT_EQ(reply.GetInt("size"), 0);
  EXPECT_EQ(reply.GetString("msg"), "");
  EXPECT_EQ(stream.sizes, std::vector<int32_t>{0});
  EXPECT_TRUE(stream.marker);
}

TEST_F(Transfer, MissingSnapshotCannotBeOpenedAndNoBlocksFollow) {
  CXMessage reply, next;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p) || !AskFor(p, 9, &reply)) return;
    SendCommand(p, "get-disk");
    p.RecvMessage(&next);
  });
  EXPECT_EQ(reply.GetInt("size"), 0);
  EXPECT_EQ(reply.GetString("msg"), "cannot open " + Narrow(SnapshotPath(9)));
  EXPECT_TRUE(next.IsNamed("get-disk")) << "got " << next.Name();
}

TEST_F(Transfer, RecordedSnapshotFileArrivesWhole) {
  test::SnapshotPlan plan;
  plan.number = 1;
  test::NodeSpec root = test::Node(u"c:\\", {test::Node(u"Windows"), test::Node(u"Users")});
  for (int i = 0; i < 3000; ++i) {
    root.children[0].files.push_back(test::File(Widen(Format("file%05d.dll", i)), 1000 + i, 0x01D5C0A1B2C3D4E5));
  }
  plan.sections.push_back({kSectionFiles, u"c:\\", root});
  ASSERT_GT(test::WriteSnapshot(SnapshotPath(1), plan), 0u);
  const std::string content = ReadFileBytes(SnapshotPath(1));
  CXMessage reply;
  Stream stream;
  RunConsole([&](TestPeer& p) {
    if (Greet(p) && AskFor(p, 1, &reply)) ReadStream(p, &stream);
  });
  EXPECT_EQ(reply.GetInt("size"), static_cast<int32_t>(content.size()));
  EXPECT_TRUE(stream.bytes == content);
  EXPECT_TRUE(stream.marker);
}

TEST_F(Transfer, CommandsAreAnsweredBetweenBlocks) {
  const std::string content = Pattern(64 * 131072 + 5, 3);
  test::WriteFileBytes(SnapshotPath(4), content);
  Stream stream;
  RunConsole([&](TestPeer& p) {
    CXMessage reply;
    if (!Greet(p) || !AskFor(p, 4, &reply)) return;
    SendCommand(p, "get-disk");
    ReadStream(p, &stream);
  });
  EXPECT_EQ(stream.other, std::vector<std::string>{"get-disk"});
  EXPECT_TRUE(stream.bytes == content);
  EXPECT_EQ(stream.sizes.size(), 65u);
  EXPECT_TRUE(stream.marker);
}

TEST_F(Transfer, ANewRequestWhileStreamingStartsTheNewFile) {
  const std::string first = Pattern(40 * 131072, 5);
  const std::string second = Pattern(1000, 9);
  test::WriteFileBytes(SnapshotPath(1), first);
  test::WriteFileBytes(SnapshotPath(2), second);
  Stream tail;
  int32_t size = -1;
  RunConsole([&](TestPeer& p) {
    CXMessage reply;
    if (!Greet(p) || !AskFor(p, 1, &reply)) return;
    CXMessage ask;
    ask.Init("down-snap").AddInt("id-snapshot", 2);
    p.SendMessage(ask);
    // Blocks of the first file that were on their way, then the new reply.
    for (;;) {
      CXMessage m;
      if (!p.RecvMessage(&m)) return;
      if (m.IsNamed("down-snap")) {
        size = m.GetInt("size");
        break;
      }
      if (!m.IsNamed("down-block") || m.GetInt("done") == 1) return;
    }
    ReadStream(p, &tail);
  });
  EXPECT_EQ(size, 1000);
  EXPECT_TRUE(tail.bytes == second);
  EXPECT_TRUE(tail.marker);
}

// The console is never left waiting for a block that will not come: a
// request that fails while another snapshot streams ends that stream with an
// empty block and its end marker.
TEST_F(Transfer, ARequestThatFailsWhileStreamingEndsTheStreamWithItsMarker) {
  const std::string first = Pattern(40 * 131072, 5);
  test::WriteFileBytes(SnapshotPath(1), first);
  CXMessage failed;
  std::string before;     // the first file's bytes that came before the failed reply
  Stream after;           // what came after it
  RunConsole([&](TestPeer& p) {
    CXMessage reply;
    if (!Greet(p) || !AskFor(p, 1, &reply)) return;
    p.SetReceiveTimeout(3000);
    CXMessage ask;
    ask.Init("down-snap").AddInt("id-snapshot", 9);
    p.SendMessage(ask);
    for (;;) {
      if (!p.RecvMessage(&failed)) return;
      if (failed.IsNamed("down-snap")) break;
      if (!failed.IsNamed("down-block") || failed.GetInt("done") == 1) return;
      before.append(reinterpret_cast<const char*>(failed.Payload()), static_cast<size_t>(failed.PayloadSize()));
    }
    ReadStream(p, &after);
  });
  EXPECT_EQ(failed.GetInt("size"), 0);
  EXPECT_EQ(failed.GetString("msg"), "cannot open " + Narrow(SnapshotPath(9)));
  EXPECT_TRUE(first.compare(0, before.size(), before) == 0);
  EXPECT_EQ(after.sizes, std::vector<int32_t>{0});
  EXPECT_TRUE(after.marker);
}

// "down-ack" of the snapshot that streams: it leaves the catalog at once, the
// stream goes on to its end marker, and the file goes at the latest when the
// stream ends (where an open file cannot be deleted, as on Windows, then).
TEST_F(Transfer, AnAcknowledgementWhileStreamingLetsTheStreamEndAndDeletesTheFile) {
  const std::string content = Pattern(40 * 131072, 13);
  for (bool windows_like : {false, true}) {
    test::WriteFileBytes(SnapshotPath(3), content);
    WriteSettings(Text({"SnapshotCnt:3", "SavedSnapshots:3"}));
    std::unique_ptr<test::FaultyFiles> sharing;
    if (windows_like) {
      sharing = std::make_unique<test::FaultyFiles>();
      sharing->no_removal_while_open = true;
    }
    Stream stream;
    RunConsole([&](TestPeer& p) {
      CXMessage reply, ack;
      if (!Greet(p) || !AskFor(p, 3, &reply)) return;
      p.SetReceiveTimeout(3000);
      ack.Init("down-ack").AddInt("id-snapshot", 3);
      p.SendMessage(ack);
      ReadStream(p, &stream);
    });
    EXPECT_TRUE(stream.marker) << windows_like;
    EXPECT_TRUE(stream.bytes == content) << windows_like << ": " << stream.bytes.size() << " bytes";
    EXPECT_EQ(settings_.saved_snapshots(), "") << windows_like;
    EXPECT_FALSE(SnapshotExists(3)) << windows_like;
    if (windows_like) {
      EXPECT_GE(sharing->refused_removes.load(), 1) << "the deletion had to wait for the stream";
    }
  }
}

TEST_F(Transfer, AReadFailureEndsTheDownloadLikeTheEndOfTheFile) {
  const std::string content = Pattern(3 * 131072, 7);
  test::WriteFileBytes(SnapshotPath(6), content);
  test::FaultyFiles files;  // reads of the snapshot fail after its first block
  files.only_suffix = SnapshotPath(6);
  files.fail_reads_after = 131072;
  files.read_error = 23;  // ERROR_CRC
  CXMessage reply;
  Stream stream;
  RunConsole([&](TestPeer& p) {
    if (Greet(p) && AskFor(p, 6, &reply)) ReadStream(p, &stream);
  });
  EXPECT_EQ(reply.GetInt("size"), 3 * 131072);
  EXPECT_EQ(stream.sizes, (std::vector<int32_t>{131072, 0}));
  EXPECT_TRUE(stream.marker);
  EXPECT_TRUE(stream.bytes == content.substr(0, 131072));
}

TEST_F(Transfer, AcknowledgementDeletesTheFileAndRewritesTheSettings) {
  MakeSnapshot(3);
  MakeSnapshot(5);
  WriteSettings(Text({"SnapshotCnt:5", "SavedSnapshots:3,5"}));
  CXMessage next;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p)) return;
    // Never downloaded: still deleted. No reply either way.
    CXMessage ack;
    ack.Init("down-ack").AddInt("id-snapshot", 3);
    p.SendMessage(ack);
    SendCommand(p, "get-disk");
    p.RecvMessage(&next);
  });
  EXPECT_TRUE(next.IsNamed("get-disk")) << "got " << next.Name();
  EXPECT_FALSE(SnapshotExists(3));
  EXPECT_TRUE(SnapshotExists(5));
  EXPECT_NE(ReadFileBytes(Ini()).find("SavedSnapshots:5" + std::string(platform::kNewline)), std::string::npos)
      << ReadFileBytes(Ini());
}

TEST_F(Transfer, AConsoleGoneMidDownloadFindsTheSnapshotOfferedAgain) {
  const std::string content = Pattern(32 * 131072, 11);
  test::WriteFileBytes(SnapshotPath(3), content);
  WriteSettings(Text({"SnapshotCnt:3", "SavedSnapshots:3"}));
  std::atomic<bool> gone{false};
  peer_.Serve([&](TestPeer& p) {
    CXMessage reply, block;
    if (Greet(p) && AskFor(p, 3, &reply)) p.RecvMessage(&block);
    p.CloseConnection();
    gone.store(true);
  });
  StartAgent();
  ASSERT_TRUE(test::WaitFor(gone));
  peer_.Join();
  CXMessage info;
  Stream stream;
  FinishWith([&](TestPeer& p) {
    CXMessage reply;
    if (Greet(p, &info) && AskFor(p, 3, &reply)) ReadStream(p, &stream);
  });
  EXPECT_EQ(info.GetString("saved-uids"), "3");
  EXPECT_TRUE(SnapshotExists(3));
  EXPECT_TRUE(stream.bytes == content) << "the new download starts from the beginning";
}

}  // namespace
}  // namespace orvalinth
