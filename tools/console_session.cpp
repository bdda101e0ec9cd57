#include "tools/console_session.h"

#include <cstring>
#include <memory>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tools/console_text.h"
#include "tools/reply_rules.h"
#include "tools/snapshot_download.h"

namespace orvalinth::tools {
namespace {

// Text typed by the user as the agent reads it: UTF-16 units written one by
// one (a character outside the basic plane as two 3-byte sequences).
std::string AgentUtf8(const std::string& utf8) { return EncodeUtf8(Utf8ToUtf16(utf8)); }

std::vector<std::u16string> WideList(const std::vector<std::string>& items) {
  std::vector<std::u16string> out;
  for (const std::string& item : items) out.push_back(Utf8ToUtf16(item));
  return out;
}

// The scan keys shared by "set-scan" and "scan" with targets, in the order of
// the command table.
void AddScanKeys(CXMessage& m, const SXScanTargets& t, bool with_removable) {
  m.AddList("file", WideList(t.files)).AddList("regs", WideList(t.regs)).AddList("apps", WideList(t.apps));
  m.AddInt("add-ver-inf", t.versions ? 1 : 0).AddInt("full", t.full ? 1 : 0);
  if (with_removable) m.AddInt("show-rem-dsk", t.removable ? 1 : 0);
  m.AddString("snap-name", AgentUtf8(t.name));
}

bool ReadWholeFile(const std::string& utf8_path, std::string* bytes, std::string* error) {
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(Utf8ToUtf16(utf8_path), platform::kOpenRead);
  uint64_t size = 0;
  if (!file || !file->Size(&size)) {
    *error = Format("cannot open %s (error %u)", DisplayText(utf8_path).c_str(), static_cast<unsigned>(platform::LastError()));
    return false;
  }
  if (size > static_cast<uint64_t>(CXTCPIPclient::kMaxBody)) {
    *error = DisplayText(utf8_path) + " has " + std::to_string(size) + " bytes, more than one frame can carry";
    return false;
  }
  bytes->assign(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (done < bytes->size()) {
    uint32_t got = 0;
    if (!file->Read(&(*bytes)[done], static_cast<uint32_t>(bytes->size() - done), &got) || got == 0) {
      *error = Format("cannot read %s (error %u)", DisplayText(utf8_path).c_str(), static_cast<unsigned>(platform::LastError()));
      return false;
    }
    done += got;
  }
  return true;
}

// A message whose payload is `bytes`; false when the frame would exceed what
// an agent accepts.
bool WithPayload(CXMessage& m, const std::string& bytes) {
  uint8_t* at = m.ReservePayload(static_cast<int32_t>(bytes.size()));
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  m.SetPayloadSize(static_cast<int32_t>(bytes.size()));
  int32_t length = 0;
  m.Encode(&length);
  return length - 4 <= CXTCPIPclient::kMaxBody;
}

const char* FailureKind(LinkFailure f) {
  switch (f) {
    case LinkFailure::kViolation: return "violation";
    case LinkFailure::kNoAgent: return "no-agent";
    case LinkFailure::kTimeout: return "timeout";
    case LinkFailure::kDropped: return "dropped";
    case LinkFailure::kNotConnected: return "not-connected";
    default: return "failed";
  }
}

}  // namespace

int ExitCodeOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
    case Outcome::kQuit: return 0;
    case Outcome::kFailed: return 1;
    case Outcome::kUsage: return 2;
    case Outcome::kViolation: return 3;
    case Outcome::kNoAgent: return 4;
  }
  return 1;
}

Outcome Worse(Outcome a, Outcome b) {
  auto rank = [](Outcome o) {
    switch (o) {
      case Outcome::kViolation: return 5;
      case Outcome::kNoAgent: return 4;
      case Outcome::kUsage: return 3;
      case Outcome::kFailed: return 2;
      default: return 0;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

Outcome CXConsoleSession::LinkFailure(const SXConsoleCommand& c, const std::string& prefix) {
  const tools::LinkFailure f = link_.failure();
  std::string text = prefix + link_.failure_text();
  if (f == LinkFailure::kNotConnected) text += " (\"reconnect\" waits for one)";
  output_.Failure(c.word, FailureKind(f), text, link_.frame_hex());
  if (f == LinkFailure::kViolation) return Outcome::kViolation;
  if (f == LinkFailure::kNoAgent) return Outcome::kNoAgent;
  return Outcome::kFailed;
}

Outcome CXConsoleSession::BadReply(const SXConsoleCommand& c, const std::string& what, const CXMessage& reply) {
  link_.Violation(what, reply);
  return LinkFailure(c);
}

int32_t CXConsoleSession::SnapshotNumber(const SXConsoleCommand& c) {
  if (!c.last) return c.number;
  if (last_snapshot_ == 0) output_.Failure(c.word, "usage", "no \"scan-done\" has named a snapshot yet");
  return last_snapshot_;
}

Outcome CXConsoleSession::Run(const SXConsoleCommand& c) {
  switch (c.kind) {
    case CommandKind::kInfo: output_.Agent(c.word, link_.info()); return Outcome::kOk;
    case CommandKind::kDrives: return Drives(c);
    case CommandKind::kDir: return Listing(c, /*registry=*/false);
    case CommandKind::kReg: return Listing(c, /*registry=*/true);
    case CommandKind::kSetId: return SetId(c);
    case CommandKind::kScanSettings: return ScanSettings(c);
    case CommandKind::kSetScan: return SetScan(c);
    case CommandKind::kScan: return Scan(c);
    case CommandKind::kStopScan: return StopScan(c);
    case CommandKind::kWaitScan: return WaitScan(c);
    case CommandKind::kDownload: return Download(c);
    case CommandKind::kAck: return Ack(c);
    case CommandKind::kUpgrade: return Upgrade(c);
    case CommandKind::kUninstall: return Uninstall(c);
    case CommandKind::kReconnect: return Reconnect(c);
    case CommandKind::kRaw: return Raw(c);
    case CommandKind::kSleep:
      platform::SleepMs(static_cast<uint32_t>(c.wait_ms));
      output_.Done(c.word, {JsonInt("ms", c.wait_ms)}, "");
      return Outcome::kOk;
    case CommandKind::kHelp:
      output_.Note(CommandHelp());
      if (output_.json()) output_.Done(c.word, {JsonText("help", CommandHelp())}, "");
      return Outcome::kOk;
    case CommandKind::kQuit: return Outcome::kQuit;
  }
  return Outcome::kUsage;
}

Outcome CXConsoleSession::Drives(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init("get-disk");
  if (!link_.Request("get-disk", m, &m)) return LinkFailure(c);
  std::vector<SXDrive> drives;
  const std::string wrong = ParseDrives(m.GetString("disk"), &drives);
  if (!wrong.empty()) return BadReply(c, wrong, m);
  output_.Drives(c.word, m.GetString("disk"), drives);
  return Outcome::kOk;
}

Outcome CXConsoleSession::Listing(const SXConsoleCommand& c, bool registry) {
  const char* command = registry ? "get-reg" : "get-dir";
  CXMessage m;
  m.Init(command).AddString("path", AgentUtf8(c.text));
  if (!link_.Request(command, m, &m)) return LinkFailure(c);
  std::vector<SXListEntry> entries;
  const std::string wrong = ParseListing(m, &entries);
  if (!wrong.empty()) return BadReply(c, wrong, m);
  output_.Listing(c.word, c.text, registry, entries);
  return Outcome::kOk;
}

Outcome CXConsoleSession::SetId(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init("set-uid").AddInt("id", c.number);
  if (!link_.Send(m)) return LinkFailure(c);
  output_.Done(c.word, {JsonInt("id", c.number)}, Format("computer id set to %d", static_cast<int>(c.number)));
  return Outcome::kOk;
}

Outcome CXConsoleSession::ScanSettings(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init("get-scan");
  if (!link_.Request("get-scan", m, &m)) return LinkFailure(c);
  output_.ScanSettings(c.word, m);
  return Outcome::kOk;
}

Outcome CXConsoleSession::SetScan(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init("set-scan");
  AddScanKeys(m, c.targets, /*with_removable=*/true);
  if (!link_.Request("set-scan", m, &m)) return LinkFailure(c);
  const std::string targets = m.GetString("scan-targets");
  if (m.GetInt("ok") != 1) {
    output_.Failure(c.word, "failed", "the agent took the settings but could not save them",
                    std::string(), {JsonText("scan-targets", targets)});
    return Outcome::kFailed;
  }
  output_.Done(c.word, {JsonText("scan-targets", targets)},
               "scan settings saved: " + (targets.empty() ? std::string("(no targets)") : DisplayText(targets)));
  return Outcome::kOk;
}

Outcome CXConsoleSession::Scan(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init("scan");
  if (c.explicit_targets) {
    m.AddInt("default", 0);
    AddScanKeys(m, c.targets, /*with_removable=*/false);
  } else {
    m.AddInt("default", 1).AddString("snap-name", AgentUtf8(c.targets.name));
  }
  if (!link_.Request("scan", m, &m)) return LinkFailure(c);
  if (m.GetInt("ok") != 1) {
    output_.Failure(c.word, "failed", "the scan did not start: " + DisplayText(m.GetString("msg")), std::string(),
                    {JsonText("msg", m.GetString("msg"))});
    return Outcome::kFailed;
  }
  output_.Done(c.word, {}, "scan started");
  return Outcome::kOk;
}

Outcome CXConsoleSession::StopScan(const SXConsoleCommand& c) {
  const std::string text = AgentUtf8(c.text);
  CXMessage m;
  m.Init("stop-scan");
  if (!text.empty()) m.AddString("msg", text);
  if (!link_.Request("stop-scan", m, &m)) return LinkFailure(c);
  // The reply echoes the request: ok 1 without a text, ok 0 with it.
  const int32_t expected_ok = text.empty() ? 1 : 0;
  if (m.GetInt("ok") != expected_ok || m.GetString("msg") != text) {
    return BadReply(c, "\"stop-scan\" reply does not echo the request's text", m);
  }
  output_.Done(c.word, {JsonText("msg", text)}, text.empty() ? "scan stopped" : "scan stopped with \"" + DisplayText(text) + "\"");
  return Outcome::kOk;
}

Outcome CXConsoleSession::WaitScan(const SXConsoleCommand& c) {
  SXScanDone done;
  if (!link_.WaitScanDone(c.wait_ms < 0 ? kDefaultScanWaitMs : c.wait_ms, &done)) return LinkFailure(c);
  if (done.ok != 1) {
    output_.Failure(c.word, "failed", "the scan failed: " + DisplayText(done.msg), std::string(),
                    {JsonText("msg", done.msg)});
    return Outcome::kFailed;
  }
  last_snapshot_ = done.id_snapshot;
  output_.Done(c.word, {JsonInt("id-snapshot", done.id_snapshot)},
               Format("scan done: snapshot %d", static_cast<int>(done.id_snapshot)));
  return Outcome::kOk;
}

Outcome CXConsoleSession::Download(const SXConsoleCommand& c) {
  const int32_t number = SnapshotNumber(c);
  if (number == 0) return Outcome::kUsage;
  CXSnapshotDownload download(link_, progress_);
  if (!download.Run(number, Utf8ToUtf16(c.folder))) {
    if (download.link_failed()) {
      output_.Failure(c.word, FailureKind(link_.failure()), download.error(), link_.frame_hex());
      return link_.failure() == LinkFailure::kViolation ? Outcome::kViolation : Outcome::kFailed;
    }
    output_.Failure(c.word, "failed", download.error(), std::string(),
                    {JsonInt("id-snapshot", number), JsonText("msg", download.result().agent_msg)});
    return Outcome::kFailed;
  }
  const SXDownloadResult& r = download.result();
  const std::string path = Utf16ToUtf8(r.path);
  output_.Done(c.word, {JsonInt("id-snapshot", number), JsonInt("size", r.size), JsonInt("blocks", r.blocks), JsonText("path", path)},
               Format("snapshot %d: %d bytes -> ", static_cast<int>(number), static_cast<int>(r.size)) + DisplayText(path));
  if (!c.ack) return Outcome::kOk;
  SXConsoleCommand ack = c;
  ack.last = false;
  ack.number = number;
  return Ack(ack);
}

Outcome CXConsoleSession::Ack(const SXConsoleCommand& c) {
  const int32_t number = SnapshotNumber(c);
  if (number == 0) return Outcome::kUsage;
  CXMessage m;
  m.Init("down-ack").AddInt("id-snapshot", number);
  if (!link_.Send(m)) return LinkFailure(c);
  output_.Done(c.kind == CommandKind::kAck ? c.word : "ack", {JsonInt("id-snapshot", number)},
               Format("snapshot %d acknowledged", static_cast<int>(number)));
  return Outcome::kOk;
}

Outcome CXConsoleSession::Upgrade(const SXConsoleCommand& c) {
  std::string bytes, error;
  if (!ReadWholeFile(c.text, &bytes, &error)) {
    output_.Failure(c.word, "failed", error);
    return Outcome::kFailed;
  }
  if (bytes.empty()) {
    output_.Failure(c.word, "failed", DisplayText(c.text) + " is empty");
    return Outcome::kFailed;
  }
  CXMessage m;
  m.Init("upgd-cli");
  if (!WithPayload(m, bytes)) {
    output_.Failure(c.word, "failed", DisplayText(c.text) + " is too large for one frame");
    return Outcome::kFailed;
  }
  if (!link_.Send(m)) return LinkFailure(c);
  // Only a failure is answered; a successful upgrade replaces the agent's
  // process, which ends the link.
  const int64_t wait = c.wait_ms < 0 ? kDefaultUpgradeWaitMs : c.wait_ms;
  CXMessage reply;
  const NextResult got = link_.NextMessage(CXConsoleLink::DeadlineAfter(wait), &reply);
  const std::vector<SXField> sent = {JsonInt("bytes", static_cast<int64_t>(bytes.size()))};
  if (got == NextResult::kMessage) {
    const std::string wrong = CheckReply("upgd-cli", reply);
    if (!wrong.empty()) return BadReply(c, wrong, reply);
    output_.Failure(c.word, "failed", "the agent could not upgrade: " + DisplayText(reply.GetString("msg")), std::string(),
                    {JsonText("msg", reply.GetString("msg"))});
    return Outcome::kFailed;
  }
  if (got == NextResult::kFailed) return LinkFailure(c);
  std::vector<SXField> fields = sent;
  if (got == NextResult::kDropped) {
    fields.push_back(JsonText("result", "dropped"));
    output_.Done(c.word, fields, "upgrade sent; the agent closed the link to upgrade");
  } else {
    // The agent is still busy with it: our side of the link goes, its next
    // connection is the upgraded one.
    link_.Close();
    fields.push_back(JsonText("result", "no-failure-reported"));
    output_.Done(c.word, fields, "upgrade sent; no failure reported, the agent is upgrading (link closed)");
  }
  return Outcome::kOk;
}

Outcome CXConsoleSession::Uninstall(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init("uninstall");
  if (!link_.Send(m)) return LinkFailure(c);
  output_.Done(c.word, {}, "uninstall requested");
  return Outcome::kOk;
}

Outcome CXConsoleSession::Reconnect(const SXConsoleCommand& c) {
  if (!link_.Reconnect(c.wait_ms < 0 ? kDefaultReconnectMs : c.wait_ms)) return LinkFailure(c);
  output_.Agent(c.word, link_.info());
  return Outcome::kOk;
}

Outcome CXConsoleSession::Raw(const SXConsoleCommand& c) {
  CXMessage m;
  m.Init(c.text);
  for (const auto& pair : c.pairs) m.AddString(pair.first, pair.second);
  if (!c.payload_file.empty()) {
    std::string bytes, error;
    if (!ReadWholeFile(c.payload_file, &bytes, &error) || !WithPayload(m, bytes)) {
      output_.Failure(c.word, "failed", error.empty() ? DisplayText(c.payload_file) + " is too large for one frame" : error);
      return Outcome::kFailed;
    }
  }
  if (!link_.Send(m)) return LinkFailure(c);
  if (c.no_reply) {
    output_.Message(c.word, c.text, nullptr);
    return Outcome::kOk;
  }
  const int64_t wait = c.wait_ms < 0 ? link_.reply_timeout_ms() : c.wait_ms;
  CXMessage reply;
  const NextResult got = link_.NextMessage(CXConsoleLink::DeadlineAfter(wait), &reply);
  if (got == NextResult::kTimeout) {
    link_.Close();
    link_.Fail(LinkFailure::kTimeout, "no reply to \"" + DisplayText(c.text) + "\"; the link is closed");
  }
  if (got != NextResult::kMessage) return LinkFailure(c);
  output_.Message(c.word, c.text, &reply);
  return Outcome::kOk;
}

}  // namespace orvalinth::tools
