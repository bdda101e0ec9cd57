#include "link/link_security.h"

#include "settings/client_settings.h"

namespace orvalinth {
namespace {

std::string Trimmed(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

}  // namespace

SXLinkSecurity ReadLinkSecurity(CXClientSettings& settings) {
  SXLinkSecurity security;
  const std::optional<std::string> tls = settings.server_tls();
  const std::string mode = tls ? Trimmed(*tls) : std::string("0");
  if (mode == "0") return security;
  if (mode != "1") {
    security.refusal = "ServerTLS:" + *tls + " is neither 0 (a plain link) nor 1 (TLS): no link is made";
    return security;
  }
  security.tls = true;
  std::string error;
  const std::optional<std::string> pins = settings.server_pin();
  if (!pins || !ParsePins(*pins, &security.pins, &error)) {
    security.refusal = "ServerPin: " + (pins ? error : std::string("is missing")) + "; with ServerTLS:1 no link is "
                       "made without the pin of the console's key (no unpinned TLS)";
  } else if (security.pins.empty()) {
    security.refusal = "ServerPin: names no pin; with ServerTLS:1 no link is made without the pin of the console's "
                       "key (no unpinned TLS)";
  }
  return security;
}

bool ReadUpgradeSigners(CXClientSettings& settings, bool* set, std::vector<SXPin>* pins, std::string* error) {
  pins->clear();
  const std::optional<std::string> text = settings.upgrade_signer();
  *set = text.has_value();
  if (!*set) return true;
  if (!ParsePins(*text, pins, error)) {
    *error = "UpgradeSigner: " + *error;
    return false;
  }
  if (pins->empty()) {
    *error = "UpgradeSigner: names no pin";
    return false;
  }
  return true;
}

}  // namespace orvalinth
