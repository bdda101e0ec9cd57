// The link's security as the settings give it: a TLS setting that cannot be
// honoured makes no connection at all, never a plain one, and says why in
// the log once, however often the agent tries again.

#include "link/link_security.h"

#include <gtest/gtest.h>

#include "link/agent_fixture.h"
#include "link/sockets_spy.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

const std::string kPin = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

class LinkSecurity : public test::AgentTest {};

TEST_F(LinkSecurity, SettingsThatCannotBeHonouredMakeNoLinkAndSayWhyOnce) {
  const struct {
    std::vector<std::string> lines;
    std::string told;
  } cases[] = {
      {{"ServerTLS:1"}, "ServerPin: is missing; with ServerTLS:1 no link is made"},
      {{"ServerTLS:1", "ServerPin: , "}, "ServerPin: names no pin"},
      {{"ServerTLS:1", "ServerPin:" + kPin + ",abc"}, "ServerPin: \"abc\" is no pin"},
      {{"ServerTLS:yes", "ServerPin:" + kPin}, "ServerTLS:yes is neither 0 (a plain link) nor 1 (TLS)"},
  };
  for (const auto& c : cases) {
    std::string more;
    for (const std::string& line : c.lines) more += Text({line});
    WriteSettings(more);
    test::SocketsSpy spy;
    platform::ScopedFacility<platform::Sockets> use(spy);
    MarkLog();
    SXClientTiming timing = test::FastTiming();
    StartAgent(timing);  // a try every 50 ms
    ASSERT_TRUE(test::WaitUntil([&] { return Count(LogSinceMark(), c.told) == 1; })) << LogSinceMark();
    platform::SleepMs(250);  // several more tries
    StopAgent();
    EXPECT_EQ(Count(LogSinceMark(), c.told), 1) << LogSinceMark();
    EXPECT_EQ(spy.creates.load(), 0) << "a socket was made";
  }
}

TEST_F(LinkSecurity, PlainUnlessTlsIsOneAndThePinsOfTheSettings) {
  WriteSettings();
  EXPECT_FALSE(ReadLinkSecurity(settings_).tls);
  settings_.set_server_tls(std::string(" 0 "));
  EXPECT_FALSE(ReadLinkSecurity(settings_).tls);
  settings_.set_server_tls(std::string("1"));
  settings_.set_server_pin(kPin + " , " + kPin);
  const SXLinkSecurity security = ReadLinkSecurity(settings_);
  EXPECT_TRUE(security.tls);
  EXPECT_TRUE(security.refusal.empty()) << security.refusal;
  EXPECT_EQ(security.pins.size(), 2u);

  bool set = true;
  std::vector<SXPin> signers;
  std::string error;
  EXPECT_TRUE(ReadUpgradeSigners(settings_, &set, &signers, &error));
  EXPECT_FALSE(set);
  settings_.set_upgrade_signer(std::string(""));
  EXPECT_FALSE(ReadUpgradeSigners(settings_, &set, &signers, &error));
  EXPECT_TRUE(set);
  EXPECT_EQ(error, "UpgradeSigner: names no pin");
  settings_.set_upgrade_signer(kPin);
  EXPECT_TRUE(ReadUpgradeSigners(settings_, &set, &signers, &error));
  EXPECT_EQ(signers.size(), 1u);
}

}  // namespace
}  // namespace orvalinth
