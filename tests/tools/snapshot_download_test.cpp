#include "tools/snapshot_download.h"

#include <gtest/gtest.h>

#include "fakes/faulty_files.h"
#include "link/test_peer.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "test_support.h"
#include "tools/fake_agent.h"

namespace orvalinth::tools {
namespace {

using test::FakeAgent;
using test::FileExists;
using test::ReadFileBytes;

std::string Pattern(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

void SendBlock(FakeAgent& a, const std::string& bytes) {
  CXMessage m;
  m.Init("down-block");
  uint8_t* at = m.ReservePayload(static_cast<int32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), at);
  m.SetPayloadSize(static_cast<int32_t>(bytes.size()));
  a.Send(m);
}

void SendSize(FakeAgent& a, int32_t size, const char* msg = nullptr) {
  CXMessage m;
  m.Init("down-snap").AddInt("size", size);
  if (msg != nullptr) m.AddString("msg", msg);
  a.Send(m);
}

void SendEnd(FakeAgent& a) {
  CXMessage m;
  a.Send(m.Init("down-block").AddInt("done", 1));
}

class SnapshotDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link_.Listen("127.0.0.1", 0));
    link_.set_reply_timeout_ms(5000);
  }
  void TearDown() override {
    link_.Close();
    agent_.Join();
  }
  // An agent that greets, takes "down-snap" (its body kept) and runs `then`.
  void Agent(std::function<void(FakeAgent&)> then) {
    const uint16_t port = link_.port();
    agent_.Run([=](FakeAgent& a) {
      if (a.Connect(port) && a.Greet() && a.RecvCommand(&request_)) then(a);
    });
    ASSERT_TRUE(link_.AcceptAgent(5000)) << link_.failure_text();
  }
  std::u16string Final(int n = 3) { return CXSnapshotDownload::FinalPath(folder_.path(), n); }
  std::u16string Part(int n = 3) { return CXSnapshotDownload::PartPath(folder_.path(), n); }

  test::TempFolder folder_;
  CXConsoleLink link_;
  FakeAgent agent_;
  std::string request_;
};

TEST_F(SnapshotDownloadTest, TwoFullBlocksAnEmptyOneAndTheEndMarker) {
  const std::string data = Pattern(262144);
  Agent([&](FakeAgent& a) {
    SendSize(a, 262144);
    SendBlock(a, data.substr(0, 131072));
    // The final name appears only at the end: after a block the bytes are in
    // the partial file.
    const int64_t give_up = platform::MonotonicMs() + 5000;
    while (!(FileExists(Part()) && ReadFileBytes(Part()).size() == 131072) && platform::MonotonicMs() < give_up) {
      platform::SleepMs(5);
    }
    EXPECT_EQ(ReadFileBytes(Part()).size(), 131072u);
    EXPECT_FALSE(FileExists(Final()));
    SendBlock(a, data.substr(131072));
    SendBlock(a, std::string());
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, nullptr);
  ASSERT_TRUE(download.Run(3, folder_.path())) << download.error();
  agent_.Join();
  EXPECT_EQ(request_, std::string("down-snap\xFEid-snapshot\xFE" "3"));
  EXPECT_EQ(download.result().size, 262144);
  EXPECT_EQ(download.result().blocks, 3);
  EXPECT_EQ(download.result().path, folder_.path() + u"snapshot003.snp");
  EXPECT_TRUE(ReadFileBytes(Final()) == data);
  EXPECT_FALSE(FileExists(Part()));
}

TEST_F(SnapshotDownloadTest, EmptySnapshot) {
  Agent([](FakeAgent& a) {
    SendSize(a, 0, "");
    SendBlock(a, std::string());
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, nullptr);
  ASSERT_TRUE(download.Run(3, folder_.path())) << download.error();
  EXPECT_TRUE(FileExists(Final()));
  EXPECT_EQ(ReadFileBytes(Final()), "");
  EXPECT_FALSE(FileExists(Part()));
}

TEST_F(SnapshotDownloadTest, AgentCannotOpenTheSnapshot) {
  Agent([](FakeAgent& a) {
    SendSize(a, 0, "cannot open C:\\x\\data\\snapshot003.snp");
    // No blocks follow; the link serves the next command.
    std::string next;
    if (a.RecvCommand(&next)) {
      CXMessage m;
      a.Send(m.Init("get-disk").AddString("disk", "c1"));
    }
  });
  CXSnapshotDownload download(link_, nullptr);
  EXPECT_FALSE(download.Run(3, folder_.path()));
  EXPECT_FALSE(download.link_failed());
  EXPECT_EQ(download.error(), "the agent cannot send snapshot 3: cannot open C:\\x\\data\\snapshot003.snp");
  EXPECT_FALSE(FileExists(Final()));
  EXPECT_FALSE(FileExists(Part()));
  CXMessage m;
  m.Init("get-disk");
  EXPECT_TRUE(link_.Request("get-disk", m, &m)) << link_.failure_text();
}

TEST_F(SnapshotDownloadTest, SizeMismatchKeepsNothing) {
  test::WriteFileBytes(Final(), "an older copy");
  Agent([](FakeAgent& a) {
    SendSize(a, 100);
    SendBlock(a, std::string(50, 'x'));
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, nullptr);
  EXPECT_FALSE(download.Run(3, folder_.path()));
  EXPECT_FALSE(download.link_failed());
  EXPECT_EQ(download.error(), "snapshot 3: received 50 bytes, the agent announced 100; nothing kept");
  EXPECT_FALSE(FileExists(Part()));
  EXPECT_EQ(ReadFileBytes(Final()), "an older copy");
}

TEST_F(SnapshotDownloadTest, MoreBytesThanAnnouncedKeepNothing) {
  Agent([](FakeAgent& a) {
    SendSize(a, 10);
    SendBlock(a, std::string(20, 'x'));
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, nullptr);
  EXPECT_FALSE(download.Run(3, folder_.path()));
  EXPECT_EQ(download.error(), "snapshot 3: received 20 bytes, the agent announced 10; nothing kept");
  EXPECT_FALSE(FileExists(Part()));
  EXPECT_FALSE(FileExists(Final()));
}

TEST_F(SnapshotDownloadTest, MissingEndMarkerKeepsNothing) {
  Agent([](FakeAgent& a) {
    SendSize(a, 131072);
    SendBlock(a, std::string(131072, 'x'));
    a.Drop();
  });
  CXSnapshotDownload download(link_, nullptr);
  EXPECT_FALSE(download.Run(3, folder_.path()));
  EXPECT_TRUE(download.link_failed());
  EXPECT_EQ(link_.failure(), LinkFailure::kDropped);
  EXPECT_EQ(download.error(), "download of snapshot 3 broken off after 131072 of 131072 bytes: the agent closed the link");
  EXPECT_FALSE(FileExists(Part()));
  EXPECT_FALSE(FileExists(Final()));
}

TEST_F(SnapshotDownloadTest, ScanDoneDuringTheStreamIsKept) {
  Agent([](FakeAgent& a) {
    SendSize(a, 5);
    CXMessage m;
    a.Send(m.Init("scan-done").AddInt("ok", 1).AddInt("id-snapshot", 4));
    SendBlock(a, "abcde");
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, nullptr);
  ASSERT_TRUE(download.Run(3, folder_.path())) << download.error();
  EXPECT_EQ(ReadFileBytes(Final()), "abcde");
  ASSERT_EQ(link_.kept_scan_done().size(), 1u);
  EXPECT_EQ(link_.kept_scan_done().front().id_snapshot, 4);
}

struct BadStream {
  const char* what;
  std::function<void(FakeAgent&)> send;
  const char* failure;
};

TEST_F(SnapshotDownloadTest, BadStreamsAreViolations) {
  const BadStream cases[] = {
      {"block above 131072 bytes", [](FakeAgent& a) { SendBlock(a, std::string(131073, 'x')); },
       "\"down-block\" payload of 131073 bytes, at most 131072"},
      {"data after a short block",
       [](FakeAgent& a) {
         SendBlock(a, "ab");
         SendBlock(a, "cd");
       },
       "\"down-block\" after the last (short) block"},
      {"end marker with done 2", [](FakeAgent& a) { a.Send(CXMessage().Init("down-block").AddInt("done", 2)); },
       "\"down-block\": done is 2, not 1"},
      {"another reply in the stream", [](FakeAgent& a) { a.Send(CXMessage().Init("get-disk").AddString("disk", "")); },
       "unexpected \"get-disk\" during the download"},
  };
  for (const BadStream& c : cases) {
    CXConsoleLink link;
    ASSERT_TRUE(link.Listen("127.0.0.1", 0));
    link.set_reply_timeout_ms(5000);
    FakeAgent agent;
    const uint16_t port = link.port();
    agent.Run([&](FakeAgent& a) {
      std::string request;
      if (!a.Connect(port) || !a.Greet() || !a.RecvCommand(&request)) return;
      SendSize(a, 4);
      c.send(a);
      a.WaitClosed();
    });
    ASSERT_TRUE(link.AcceptAgent(5000));
    CXSnapshotDownload download(link, nullptr);
    EXPECT_FALSE(download.Run(3, folder_.path())) << c.what;
    agent.Join();
    EXPECT_TRUE(download.link_failed()) << c.what;
    EXPECT_EQ(link.failure(), LinkFailure::kViolation) << c.what;
    EXPECT_EQ(link.failure_text(), c.failure) << c.what;
    EXPECT_FALSE(link.frame_hex().empty()) << c.what;
    EXPECT_FALSE(FileExists(Part())) << c.what;
    EXPECT_FALSE(FileExists(Final())) << c.what;
  }
}

TEST_F(SnapshotDownloadTest, WriteFailureReadsTheStreamToItsEndAndKeepsNothing) {
  test::FaultyFiles failing;  // files made anew fail after their first write
  failing.only_modes = platform::kOpenCreate;
  failing.fail_from_write = 2;
  Agent([](FakeAgent& a) {
    SendSize(a, 131072 + 10);
    SendBlock(a, std::string(131072, 'x'));
    SendBlock(a, std::string(10, 'y'));
    SendEnd(a);
    std::string next;
    if (a.RecvCommand(&next)) a.Send(CXMessage().Init("get-disk").AddString("disk", "c1"));
  });
  CXSnapshotDownload download(link_, nullptr);
  EXPECT_FALSE(download.Run(3, folder_.path()));
  EXPECT_FALSE(download.link_failed());
  EXPECT_NE(download.error().find("cannot write"), std::string::npos) << download.error();
  EXPECT_NE(download.error().find("(error 112)"), std::string::npos) << download.error();
  EXPECT_FALSE(FileExists(Part()));
  EXPECT_FALSE(FileExists(Final()));
  // The stream was read to its end marker: the next reply is read as a reply.
  CXMessage m;
  m.Init("get-disk");
  EXPECT_TRUE(link_.Request("get-disk", m, &m)) << link_.failure_text();
}

TEST_F(SnapshotDownloadTest, FolderThatDoesNotExist) {
  Agent([](FakeAgent& a) {
    SendSize(a, 3);
    SendBlock(a, "abc");
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, nullptr);
  const std::u16string missing = folder_.path() + u"missing";
  EXPECT_FALSE(download.Run(3, missing));
  EXPECT_FALSE(download.link_failed());
  EXPECT_EQ(download.error().rfind("cannot create ", 0), 0u) << download.error();
  EXPECT_TRUE(link_.connected());
}

TEST_F(SnapshotDownloadTest, ProgressIsReported) {
  std::string drawn;
  CXProgressBar bar([&](std::string_view t) { drawn.append(t); }, /*interval_ms=*/0);
  Agent([](FakeAgent& a) {
    SendSize(a, 131072 + 5);
    SendBlock(a, std::string(131072, 'x'));
    SendBlock(a, "12345");
    SendEnd(a);
  });
  CXSnapshotDownload download(link_, &bar);
  ASSERT_TRUE(download.Run(3, folder_.path())) << download.error();
  EXPECT_NE(drawn.find("\r[....................]  0 B / 128.0 KiB    0%"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("128.0 KiB / 128.0 KiB   99%"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("[####################]  128.0 KiB / 128.0 KiB  100%"), std::string::npos) << drawn;
  EXPECT_EQ(drawn.back(), '\n');
}

TEST(ProgressBar, RendersBytesRateAndTimeLeft) {
  EXPECT_EQ(CXProgressBar::Render(0, 1000, 0), "[....................]  0 B / 1000 B    0%");
  EXPECT_EQ(CXProgressBar::Render(1 << 20, 4 << 20, 1000),
            "[#####...............]  1.0 MiB / 4.0 MiB   25%  1.0 MiB/s  0:03 left");
  EXPECT_EQ(CXProgressBar::Render(4 << 20, 4 << 20, 2000),
            "[####################]  4.0 MiB / 4.0 MiB  100%  2.0 MiB/s  0:02 total");
  EXPECT_EQ(CXProgressBar::Render(1 << 20, 3601LL << 20, 1000),
            "[....................]  1.0 MiB / 3.5 GiB    0%  1.0 MiB/s  1:00:00 left");
  EXPECT_EQ(CXProgressBar::Bytes(1536), "1.5 KiB");
}

}  // namespace
}  // namespace orvalinth::tools

namespace orvalinth::tools {
namespace {

TEST(SnapshotDownloadPaths, NamesInTheFolder) {
  EXPECT_EQ(CXSnapshotDownload::FinalPath(u"C:\\snaps", 2), u"C:\\snaps\\snapshot002.snp");
  EXPECT_EQ(CXSnapshotDownload::FinalPath(u"C:\\snaps\\", 2), u"C:\\snaps\\snapshot002.snp");
  EXPECT_EQ(CXSnapshotDownload::FinalPath(u"/srv/snaps", 2), u"/srv/snaps/snapshot002.snp");
  EXPECT_EQ(CXSnapshotDownload::FinalPath(u"", 1), u"./snapshot001.snp");
  EXPECT_EQ(CXSnapshotDownload::FinalPath(u"out/", 1234), u"out/snapshot1234.snp");
  EXPECT_EQ(CXSnapshotDownload::PartPath(u"out", 7), u"out/snapshot007.snp.part");
}

}  // namespace
}  // namespace orvalinth::tools
