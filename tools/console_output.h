#pragma once
// CXConsoleOutput: how the console shows its results. Human-readable by
// default (aligned listings, one line per drive or entry, errors on standard
// error); with JSON one object per result on its own line, every object with
// "command" and "ok", strings escaped and valid UTF-8, failures as objects
// with "error", "failure" (usage, failed, no-agent, timeout, dropped,
// violation, not-connected, refused: a link a TLS console refused) and, for
// a violation, "frame" (hex).
//
// Text from the agent is never written raw to a terminal: control characters
// are shown as \xNN (console_text.h).

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/message.h"
#include "tools/console_link.h"
#include "tools/reply_rules.h"

namespace orvalinth::tools {

// One field of a result: the key and its JSON value text.
using SXField = std::pair<std::string, std::string>;
SXField JsonInt(const std::string& key, int64_t value);
SXField JsonText(const std::string& key, std::string_view bytes);
SXField JsonBool(const std::string& key, bool value);

class CXConsoleOutput {
 public:
  using Writer = std::function<void(std::string_view)>;

  CXConsoleOutput(bool json, Writer out, Writer err) : json_(json), out_(std::move(out)), err_(std::move(err)) {}
  bool json() const { return json_; }

  // Listening; with TLS (`pin` not empty) also the settings agents need.
  void Listening(const std::string& address, uint16_t port, const std::string& pin = std::string());
  // The agent's "info", for "connect", "info" and "reconnect".
  void Agent(const std::string& command, const SXAgentInfo& info);
  void Drives(const std::string& command, const std::string& disk, const std::vector<SXDrive>& drives);
  void Listing(const std::string& command, const std::string& path, bool registry,
               const std::vector<SXListEntry>& entries);
  // The reply to "get-scan".
  void ScanSettings(const std::string& command, const CXMessage& reply);
  // Any other message, for "raw": its name, keys and payload size.
  void Message(const std::string& command, const std::string& sent, const CXMessage* reply);
  // A success: `human` is the line shown to people (empty: none).
  void Done(const std::string& command, const std::vector<SXField>& fields, const std::string& human);
  // A failure of `kind` (see above); `hex` only for a violation.
  void Failure(const std::string& command, const std::string& kind, const std::string& text,
               const std::string& hex = std::string(), const std::vector<SXField>& fields = {});
  // A line for people only (standard error; nothing with JSON).
  void Note(const std::string& text);

  // The JSON object of the agent's info (also used inside other objects).
  static std::string AgentJson(const SXAgentInfo& info);

 private:
  void Line(const std::string& command, bool ok, const std::vector<SXField>& fields);

  bool json_;
  Writer out_;
  Writer err_;
};

}  // namespace orvalinth::tools
