#include "tools/reply_rules.h"

#include <cstring>

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvalinth::tools {
namespace {

// A received message decoded from a body.
struct Received {
  explicit Received(const std::string& body) {
    std::memcpy(m.ReserveBody(static_cast<int32_t>(body.size())), body.data(), body.size());
    ok = m.Decode();
  }
  CXMessage m;
  bool ok = false;
};

TEST(ReplyRules, DecimalIntegersAsPercentDWritesThem) {
  for (const char* good : {"0", "1", "-5", "2147483647", "-2147483648", "131072"}) EXPECT_TRUE(IsDecimalInt(good)) << good;
  for (const char* bad : {"", "-", "+1", "01", "-0", " 1", "1 ", "12a", "2147483648", "-2147483649", "99999999999"}) {
    EXPECT_FALSE(IsDecimalInt(bad)) << bad;
  }
}

TEST(ReplyRules, ReplyNamesOfTheCommandTable) {
  EXPECT_EQ(ReplyName("get-disk"), "get-disk");
  EXPECT_EQ(ReplyName("get-dir"), "get-dir");
  EXPECT_EQ(ReplyName("get-reg"), "get-dir");
  EXPECT_EQ(ReplyName("get-scan"), "get-scan");
  EXPECT_EQ(ReplyName("set-scan"), "set-scan");
  EXPECT_EQ(ReplyName("scan"), "scan");
  EXPECT_EQ(ReplyName("stop-scan"), "stop-scan");
  EXPECT_EQ(ReplyName("down-snap"), "down-snap");
  for (const char* none : {"set-uid", "down-ack", "upgd-cli", "uninstall"}) EXPECT_EQ(ReplyName(none), "") << none;
  EXPECT_EQ(ReplyName("ping"), "null");
  EXPECT_EQ(ReplyName("GET-DISK"), "null");
  EXPECT_FALSE(IsKnownCommand("bogus"));
}

struct ReplyCase {
  const char* command;
  std::string body;
  const char* problem;  // "" for a good reply
};

TEST(ReplyRules, EveryReplyShape) {
  const ReplyCase cases[] = {
      {"get-disk", "get-disk\xFE" "disk\xFE" "a0c1z0", ""},
      {"get-disk", "get-disk\xFE" "disk\xFE", ""},
      {"get-dir", "get-dir\xFEpath\xFE", ""},
      {"get-dir", "get-dir\xFEpath\xFE\xFF" "1Windows", ""},
      {"get-dir", "get-dir\xFEpath\xFE" "1Windows", "\"get-dir\": \"path\" is no list (it does not start with FF)"},
      {"get-reg", "get-dir\xFEpath\xFE\xFF" "0Software", ""},
      {"get-reg", "get-reg\xFEpath\xFE", "reply to \"get-reg\" is named \"get-reg\", expected \"get-dir\""},
      {"get-scan", "get-scan\xFE" "full\xFE" "1\xFE" "add-ver-inf\xFE" "0\xFEshow-rem-dsk\xFE" "0\xFEsnap-name\xFEVM - snapshot #1\xFEregs\xFE\xFE" "file\xFE\xFF" "C:\\\xFE" "apps\xFE", ""},
      {"get-scan", "get-scan\xFE" "full\xFE" "1\xFE" "add-ver-inf\xFE" "0\xFEshow-rem-dsk\xFE" "0\xFEsnap-name\xFEx\xFE" "file\xFE\xFEregs\xFE\xFE" "apps\xFE",
       "\"get-scan\": key 5 is \"file\", expected \"regs\""},
      {"set-scan", "set-scan\xFEok\xFE" "1\xFEscan-targets\xFE" "files part.+ver, all regs", ""},
      {"set-scan", "set-scan\xFEok\xFEyes\xFEscan-targets\xFE", "\"set-scan\": \"ok\" is \"yes\", not a decimal integer"},
      {"scan", "scan\xFEok\xFE" "1", ""},
      {"scan", "scan\xFEok\xFE" "0\xFEmsg\xFEscan already in progress", ""},
      {"scan", "scan\xFEok\xFE" "0", "\"scan\": key \"msg\" missing after \"ok\""},
      {"scan", "scan\xFEok\xFE" "1\xFEmsg\xFE", "\"scan\": unexpected key \"msg\""},
      {"scan", "scan\xFEok\xFE" "2", "\"scan\": ok is 2, not 0 or 1"},
      {"stop-scan", "stop-scan\xFEok\xFE" "1", ""},
      {"stop-scan", "stop-scan\xFEok\xFE" "0\xFEmsg\xFEuser", ""},
      {"down-snap", "down-snap\xFEsize\xFE" "262144", ""},
      {"down-snap", "down-snap\xFEsize\xFE" "0\xFEmsg\xFE", ""},
      {"down-snap", "down-snap\xFEsize\xFE" "0", "\"down-snap\": key \"msg\" missing after \"size\""},
      {"down-snap", "down-snap\xFEsize\xFE" "-1", "\"down-snap\": negative size -1"},
      {"down-snap", "down-snap\xFEsize\xFE" "5\xFEmsg\xFE", "\"down-snap\": unexpected key \"msg\""},
      {"upgd-cli", "upgd-cli\xFEok\xFE" "0\xFEmsg\xFE" "cannot write", ""},
      {"upgd-cli", "upgd-cli\xFEok\xFE" "1\xFEmsg\xFE", "\"upgd-cli\": ok is 1, only 0 is ever sent"},
      {"set-uid", "null", "\"set-uid\" has no reply, but \"null\" came"},
      {"get-disk", "null", "reply to \"get-disk\" is named \"null\", expected \"get-disk\""},
      {"bogus", "null", ""},
  };
  for (const ReplyCase& c : cases) {
    Received r(c.body);
    ASSERT_TRUE(r.ok) << test::ToHex(c.body);
    EXPECT_EQ(CheckReply(c.command, r.m), c.problem) << c.command << ": " << test::ToHex(c.body);
  }
}

TEST(ReplyRules, UnsolicitedMessages) {
  EXPECT_EQ(CheckPing(Received("ping").m), "");
  EXPECT_EQ(CheckPing(Received("ping\xFE\xFE").m), "\"ping\" with a payload");
  EXPECT_EQ(CheckScanDone(Received("scan-done\xFEok\xFE" "1\xFEid-snapshot\xFE" "12").m), "");
  EXPECT_EQ(CheckScanDone(Received("scan-done\xFEok\xFE" "0\xFEmsg\xFE" "fatal exception").m), "");
  EXPECT_EQ(CheckScanDone(Received("scan-done\xFEok\xFE" "0\xFEid-snapshot\xFE" "12").m),
            "\"scan-done\": key 2 is \"id-snapshot\", expected \"msg\"");
  EXPECT_EQ(CheckDownBlock(Received("down-block\xFE\xFE").m), "");
  EXPECT_EQ(CheckDownBlock(Received("down-block\xFE\xFE" + std::string(131072, '\xFE')).m), "");
  EXPECT_EQ(CheckDownBlock(Received("down-block\xFE\xFE" + std::string(131073, 'x')).m),
            "\"down-block\" payload of 131073 bytes, at most 131072");
  EXPECT_EQ(CheckDownBlock(Received("down-block\xFE" "done\xFE" "1").m), "");
  EXPECT_EQ(CheckDownBlock(Received("down-block").m), "\"down-block\": key \"done\" missing");
  EXPECT_EQ(CheckDownBlock(Received("down-block\xFE" "done\xFE" "1\xFE\xFE" "ab").m),
            "\"down-block\" with a payload and keys (\"done\")");
}

TEST(ReplyRules, InfoWithItsOptionalGroups) {
  const std::string base = "info\xFEname\xFEVM\xFE" "app-ver\xFE" "6\xFE" "app-bit\xFE" "64\xFEos-bit\xFE" "64\xFEscanning\xFE" "0\xFEid\xFE" "0\xFEsaved-uids\xFE\xFEscan-targets\xFE" "full";
  EXPECT_EQ(CheckInfo(Received(base).m), "");
  EXPECT_EQ(CheckInfo(Received(base + "\xFEupgraded\xFE" "1\xFE" "app-ver\xFE" "6\xFEupgrade-ok\xFE" "1").m), "");
  EXPECT_EQ(CheckInfo(Received(base + "\xFEupgraded\xFE" "1\xFE" "app-ver\xFE" "6\xFEupgrade-ok\xFE" "1\xFE" "crash\xFEx").m), "");
  EXPECT_EQ(CheckInfo(Received(base + "\xFE" "crash\xFE").m), "");
  EXPECT_EQ(CheckInfo(Received(base + "\xFEupgraded\xFE" "1").m), "\"info\": key \"app-ver\" missing after \"upgraded\"");
  EXPECT_EQ(CheckInfo(Received(base + "\xFE" "crash\xFEx\xFEupgraded\xFE" "1").m), "\"info\": unexpected key \"upgraded\"");
  EXPECT_EQ(CheckInfo(Received("info\xFEname\xFEVM").m), "\"info\": key \"app-ver\" missing after \"name\"");
}

TEST(ReplyRules, HelloChecksTheMagicsFirstEightBytes) {
  EXPECT_EQ(CheckHello(Received("hello\xFEver\xFEQELMv1.0\xFE" "app\xFE" "6").m), "");
  EXPECT_EQ(CheckHello(Received("hello\xFEver\xFEQELMv1.0.1\xFE" "app\xFE" "6").m), "");
  EXPECT_EQ(CheckHello(Received("hello\xFEver\xFEQELMv1\xFE" "app\xFE" "6").m),
            "\"hello\": ver is \"QELMv1\", expected \"QELMv1.0\"");
  EXPECT_EQ(CheckHello(Received("hello\xFE" "app\xFE" "6\xFEver\xFEQELMv1.0").m),
            "\"hello\": key 1 is \"app\", expected \"ver\"");
}

TEST(ReplyRules, ListingOfTheWorkedExample) {
  // C:\ with Windows (has subfolders), an empty Temp2 and a junction.
  Received r(std::string("get-dir\xFEpath\xFE\xFF" "1Windows\xFF" "0Temp2\xFF" "2Documents and Settings\x20\xE2\x96\xBA\x20" "C:\\Users"));
  ASSERT_TRUE(r.ok);
  std::vector<SXListEntry> entries;
  ASSERT_EQ(ParseListing(r.m, &entries), "");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].kind, 1);
  EXPECT_EQ(entries[0].name, u"Windows");
  EXPECT_EQ(entries[1].kind, 0);
  EXPECT_EQ(entries[1].name, u"Temp2");
  EXPECT_EQ(entries[2].kind, 2);
  EXPECT_EQ(entries[2].name, u"Documents and Settings");
  EXPECT_EQ(entries[2].target, u"C:\\Users");
}

TEST(ReplyRules, ListingElementsThatAreWrong) {
  std::vector<SXListEntry> entries;
  EXPECT_EQ(ParseListing(Received("get-dir\xFEpath\xFE\xFF" "1a\xFF").m, &entries),
            "listing element 2 does not start with the kind digit 0, 1 or 2: \"\"");
  EXPECT_EQ(ParseListing(Received("get-dir\xFEpath\xFE\xFF" "3a").m, &entries),
            "listing element 1 does not start with the kind digit 0, 1 or 2: \"3a\"");
  EXPECT_EQ(ParseListing(Received("get-dir\xFEpath\xFE\xFF" "2link").m, &entries),
            "listing element 1 is a link without the separator: \"2link\"");
  // A link whose target could not be read: empty after the separator.
  ASSERT_EQ(ParseListing(Received("get-dir\xFEpath\xFE\xFF" "2x \xE2\x96\xBA ").m, &entries), "");
  EXPECT_EQ(entries[0].target, u"");
  // Names outside the basic plane come as two 3-byte sequences.
  ASSERT_EQ(ParseListing(Received("get-dir\xFEpath\xFE\xFF" "0\xED\xA0\xB4\xED\xB4\x9E").m, &entries), "");
  EXPECT_EQ(entries[0].name, u"\U0001D11E");
}

TEST(ReplyRules, DriveLists) {
  std::vector<SXDrive> drives;
  ASSERT_EQ(ParseDrives("a0c1z0", &drives), "");
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].letter, 'a');
  EXPECT_FALSE(drives[0].fixed);
  EXPECT_TRUE(drives[1].fixed);
  EXPECT_EQ(ParseDrives("", &drives), "");
  EXPECT_TRUE(drives.empty());
  EXPECT_EQ(ParseDrives("c", &drives), "drive list \"c\" has an odd length");
  EXPECT_EQ(ParseDrives("C1", &drives), "drive list \"C1\": \"C1\" is no letter a-z with 0 or 1");
  EXPECT_EQ(ParseDrives("c2", &drives), "drive list \"c2\": \"c2\" is no letter a-z with 0 or 1");
  EXPECT_EQ(ParseDrives("c1a0", &drives), "drive list \"c1a0\" is not in ascending order");
}

}  // namespace
}  // namespace orvalinth::tools
