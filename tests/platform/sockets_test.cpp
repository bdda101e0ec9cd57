#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <cstring>

#include "link/test_peer.h"

namespace orvalinth::platform {
namespace {

using test::TestPeer;

class SocketsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(net().Startup()); }
  static Sockets& net() { return Sockets::Real(); }
};

std::string AddressBytes(uint32_t address) { return std::string(reinterpret_cast<const char*>(&address), 4); }

TEST_F(SocketsTest, AddressesParseWithoutLookup) {
  EXPECT_EQ(net().ParseAddress("127.0.0.1"), LoopbackAddress());
  EXPECT_EQ(AddressBytes(net().ParseAddress("10.1.2.3")), std::string("\x0A\x01\x02\x03", 4));  // network order
  EXPECT_EQ(net().ParseAddress("localhost"), kAddressNone);
  EXPECT_EQ(net().ParseAddress("no-such-host.invalid"), kAddressNone);
  EXPECT_EQ(net().ParseAddress("1.2.3.256"), kAddressNone);
}

TEST_F(SocketsTest, HostLookup) {
  uint32_t address = 0;
  ASSERT_TRUE(net().LookupHost("localhost", &address));
  EXPECT_EQ(AddressBytes(address)[0], '\x7F');  // 127.x.x.x
  SetLastSocketError(0);
  EXPECT_FALSE(net().LookupHost("no-such-host.invalid", &address));
  EXPECT_EQ(LastSocketError(), kWsaHostNotFound);
}

TEST_F(SocketsTest, ErrorsCarryWinsockCodes) {
  uint16_t closed_port;
  {
    TestPeer gone;
    closed_port = gone.port();
  }
  SocketHandle s = net().CreateTcp();
  ASSERT_NE(s, kNoSocket);
  EXPECT_FALSE(net().Connect(s, LoopbackAddress(), closed_port));
  EXPECT_EQ(LastSocketError(), kWsaConnRefused);
  net().Close(s);

  EXPECT_LT(net().WaitReadable(kNoSocket, 0), 0);
  EXPECT_EQ(LastSocketError(), kWsaNotSocket);

  TestPeer peer;
  peer.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  s = net().CreateTcp();
  ASSERT_TRUE(net().Connect(s, LoopbackAddress(), peer.port()));
  ASSERT_TRUE(net().SetReceiveTimeout(s, 100));
  char byte;
  EXPECT_EQ(net().Recv(s, &byte, 1), -1);
  EXPECT_EQ(LastSocketError(), kWsaTimedOut);
  ASSERT_TRUE(net().ShutdownSend(s));
  EXPECT_EQ(net().Send(s, "x", 1), -1);
  EXPECT_EQ(LastSocketError(), kWsaShutdown);
  net().Close(s);
}

}  // namespace
}  // namespace orvalinth::platform
