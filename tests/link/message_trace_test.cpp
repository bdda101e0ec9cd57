#include "link/message_trace.h"

#include <gtest/gtest.h>

#include "base/strings.h"
#include "link/tcpip_client.h"
#include "link/test_peer.h"
#include "platform/console.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::LengthPrefix;
using test::TestPeer;

std::u16string TraceSwitchPath() { return test::test_process().program_folder() + kMessageTraceFileName; }

// The trace with the platform's line ends as "\n" and every time stamp
// "hh:mm:ss " as "T"; a malformed stamp stays and fails the comparison.
std::string Normalised(std::string text) {
  std::string lf;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, platform::kNewline.size(), platform::kNewline) == 0) {
      lf += '\n';
      i += platform::kNewline.size();
    } else {
      lf += text[i++];
    }
  }
  std::string out;
  for (size_t i = 0; i < lf.size(); ++i) {
    out += lf[i];
    if (lf[i] != '\n' || i + 9 > lf.size()) continue;
    const std::string stamp = lf.substr(i + 1, 9);
    bool ok = stamp[2] == ':' && stamp[5] == ':' && stamp[8] == ' ';
    for (int d : {0, 1, 3, 4, 6, 7}) ok = ok && stamp[d] >= '0' && stamp[d] <= '9';
    if (ok) {
      out += 'T';
      i += 9;
    }
  }
  return out;
}

// Runs in the order written: the switch is off until the file exists, and
// once on the trace stays on for the rest of the process.
TEST(MessageTrace, StaysOffWithoutTheSwitchFile) {
  if (MessageTraceOn()) GTEST_SKIP() << "switched on earlier in this process";
  EXPECT_FALSE(EnableMessageTraceIfRequested());
  EXPECT_FALSE(MessageTraceOn());
  TraceRecord("nothing");
  EXPECT_FALSE(test::FileExists(TraceSwitchPath()));
}

TEST(MessageTrace, SwitchFileTurnsTheTraceOnIntoItself) {
  const std::u16string path = TraceSwitchPath();
  test::WriteFileBytes(path, "");
  ASSERT_TRUE(EnableMessageTraceIfRequested());
  ASSERT_TRUE(MessageTraceOn());
  const size_t before = test::ReadFileBytes(path).size();

  ASSERT_TRUE(CXSocket::Startup());
  TestPeer peer;
  peer.Serve([](TestPeer& p) {
    std::string ping;
    p.RecvFrame(&ping);
    p.SendFrame("scan" + Hex("FE") + "ok" + Hex("FE") + "1" + Hex("FE FE AA BB CC"));
    p.SendBytes(LengthPrefix(-5));
    p.CloseAfterClient();
  });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.port(), 5));
  const int s = static_cast<int>(client.socket());
  CXMessage m;
  m.Init("ping").AddString("a", "1");
  m.ReservePayload(8);
  m.SetPayloadSize(8);
  ASSERT_TRUE(client.SendMessage(m));
  ASSERT_TRUE(client.RecvMessage(m));
  EXPECT_FALSE(client.RecvMessage(m));
  client.Disconnect(true);
  peer.Join();

  const std::string trace = test::ReadFileBytes(path).substr(before);
  EXPECT_EQ(Normalised(trace), Format("\nT (%d) send ping\n\ta\t1", s) +                    // no payload line
                                   Format("\nT (%d) recv scan\n\tok\t1\n\tdata 3", s) +  //
                                   "\nT recv err sz=-5");
}

TEST(MessageTrace, RecordsKeepEveryByteOfTheText) {
  const std::u16string path = TraceSwitchPath();
  test::WriteFileBytes(path, "");
  EnableMessageTrace(path);
  TraceRecord(std::string("a\0b%s", 5));
  EXPECT_EQ(Normalised(test::ReadFileBytes(path)), std::string("\nT a\0b%s", 8));
}

}  // namespace
}  // namespace orvalinth
