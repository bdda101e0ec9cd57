// "-configure Key:value...": the settings an installation gives, applied to
// the settings file as the agent itself writes it.

#include "host/configure.h"

#include <gtest/gtest.h>

#include <sstream>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

// The file's lines of the five keys an installation may give, and of the
// computer id (which stands for every other setting), without line ends.
std::vector<std::string> GivenLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const char* key :
         {"ServerAddr:", "ServerPort:", "ComputerID:", "ServerTLS:", "ServerPin:", "UpgradeSigner:"}) {
      if (line.rfind(key, 0) == 0) lines.push_back(line);
    }
  }
  return lines;
}

TEST(Configure, GivenKeysAreSetAndTheRestKept) {
  using V = std::vector<std::string>;
  const std::string existing = "ServerAddr:old\nServerPort:51000\nComputerID:7\nServerTLS:1\nServerPin:PIN=\n";
  const struct {
    const char* name;
    const char* file;  // nullptr: no settings file yet
    V arguments;
    V lines;  // the file's lines afterwards; empty with `error`
    const char* error;
  } cases[] = {
      {"fresh, two given", nullptr, {"ServerAddr:10.0.0.5", "ServerPort:52000"},
       {"ServerAddr:10.0.0.5", "ServerPort:52000", "ComputerID:0"}, nullptr},
      {"fresh, all five, keys in any case", nullptr,
       {"serveraddr:console", "SERVERPORT:1", "ServerTLS:1", "ServerPin:abc=", "UpgradeSigner:def=,ghi="},
       {"ServerAddr:console", "ServerPort:1", "ComputerID:0", "ServerTLS:1", "ServerPin:abc=",
        "UpgradeSigner:def=,ghi="}, nullptr},
      {"properties not given leave their keys", existing.c_str(),
       {"ServerAddr:", "ServerPort:65535", "ServerTLS:", "ServerPin:", "UpgradeSigner:"},
       {"ServerAddr:old", "ServerPort:65535", "ComputerID:7", "ServerTLS:1", "ServerPin:PIN="}, nullptr},
      {"nothing given to a fresh installation: the defaults", nullptr, {"ServerAddr:", "ServerPort:"},
       {"ServerAddr:localhost", "ServerPort:51000", "ComputerID:0"}, nullptr},
      {"nothing given to a file: left as it was", existing.c_str(), {"ServerAddr:", "ServerPort:"}, {}, nullptr},
      {"port zero", existing.c_str(), {"ServerAddr:new", "ServerPort:0"}, {},
       "ServerPort '0' is no port from 1 to 65535"},
      {"port too large", nullptr, {"ServerPort:65536"}, {}, "ServerPort '65536' is no port from 1 to 65535"},
      {"port not a number", nullptr, {"ServerPort:51k"}, {}, "ServerPort '51k' is no port from 1 to 65535"},
      {"another key", existing.c_str(), {"ServerAddr:new", "ComputerID:3"}, {},
       "'ComputerID' is not a setting an installation gives"},
      {"no colon", nullptr, {"ServerAddr=new"}, {}, "'ServerAddr=new' is no Key:value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const std::u16string path = folder / u"OrvalinthSrv.ini";
    if (c.file != nullptr) WriteFileBytes(path, c.file);
    std::string error;
    EXPECT_EQ(ConfigureSettings(c.arguments, path, &error), c.error == nullptr);
    EXPECT_EQ(error, c.error == nullptr ? "" : c.error);
    if (c.error != nullptr || c.lines.empty()) {
      // A refused command line, or one that gives nothing, leaves the file as it was.
      EXPECT_EQ(test::FileExists(path), c.file != nullptr);
      if (c.file != nullptr) {
        EXPECT_EQ(ReadFileBytes(path), c.file);
      }
    } else {
      EXPECT_EQ(GivenLines(ReadFileBytes(path)), c.lines);
    }
  }
}

}  // namespace
}  // namespace orvalinth
