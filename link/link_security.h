#pragma once
// How the agent secures its link to the console, as its settings say:
//   no "ServerTLS:" line, or "ServerTLS:0": the plain link, byte for byte as
//     it always was;
//   "ServerTLS:1" with "ServerPin:" naming one or more pins: TLS (platform/
//     tls.h), the console's key one of the pins;
//   anything else ("ServerTLS:1" without a pin, a pin that is no pin, a
//     ServerTLS value other than 0 or 1): no link at all, and the reason in
//     the log. A link never falls back to plain, nor to TLS without a pin.
// "UpgradeSigner:" names the pins of the keys allowed to sign an upgrade
// (host/signed_upgrade.h), with the link plain or not.

#include <string>
#include <vector>

#include "base/pins.h"

namespace orvalinth {

class CXClientSettings;

struct SXLinkSecurity {
  bool tls = false;
  std::vector<SXPin> pins;  // the console's keys allowed (TLS only)
  std::string refusal;      // not empty: the link must not be made, for this reason
};

SXLinkSecurity ReadLinkSecurity(CXClientSettings& settings);

// The pins of "UpgradeSigner:"; `set` false when the key is not there (an
// upgrade then needs no signature). False with *error when the text holds
// no valid list (an upgrade is then refused).
bool ReadUpgradeSigners(CXClientSettings& settings, bool* set, std::vector<SXPin>* pins, std::string* error);

}  // namespace orvalinth
