#pragma once
// The TLS test keys of tests/fixtures/tls/ (scripts/make-test-keys; test
// keys only): their paths, the identities a console presents, and their pins
// as the openssl command line computed them (pins.txt).

#include <memory>
#include <string>

#include "base/pins.h"
#include "platform/tls.h"

namespace orvalinth::test {

// The host path of a fixture file ("p256.crt").
std::string TlsFixture(const std::string& file);
// The pin of NAME.crt ("p256") from pins.txt; the test fails when it is not there.
SXPin TlsFixturePin(const std::string& name);
// NAME.crt with NAME.key as the system's engine loads them; null (and the
// test failed) when it cannot.
std::shared_ptr<const platform::TlsServerIdentity> TlsFixtureIdentity(const std::string& name);
// "ServerTLS:1" and "ServerPin:<pin of NAME>", the settings of an agent that pins it.
std::string TlsSettings(const std::string& name);

}  // namespace orvalinth::test
