#include "fakes/tls_fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/console.h"

namespace orvalinth::test {

std::string TlsFixture(const std::string& file) { return std::string(ORVALINTH_TLS_FIXTURES) + "/" + file; }

SXPin TlsFixturePin(const std::string& name) {
  std::ifstream pins(TlsFixture("pins.txt"));
  std::string line;
  while (std::getline(pins, line)) {
    std::istringstream words(line);
    std::string key, text;
    std::vector<SXPin> parsed;
    std::string error;
    if (words >> key >> text && key == name && ParsePins(text, &parsed, &error) && parsed.size() == 1) {
      return parsed[0];
    }
  }
  ADD_FAILURE() << "no pin of " << name << " in " << TlsFixture("pins.txt") << " (scripts/make-test-keys)";
  return SXPin{};
}

std::shared_ptr<const platform::TlsServerIdentity> TlsFixtureIdentity(const std::string& name) {
  std::string error;
  std::shared_ptr<const platform::TlsServerIdentity> identity =
      platform::TlsEngine::Get().LoadServerIdentity(TlsFixture(name + ".crt"), TlsFixture(name + ".key"), &error);
  EXPECT_NE(identity, nullptr) << name << ": " << error;
  return identity;
}

std::string TlsSettings(const std::string& name) {
  return "ServerTLS:1" + std::string(platform::kNewline) + "ServerPin:" + PinText(TlsFixturePin(name)) +
         std::string(platform::kNewline);
}

}  // namespace orvalinth::test
