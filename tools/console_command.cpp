#include "tools/console_command.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "link/message.h"
#include "tools/reply_rules.h"

namespace orvalinth::tools {
namespace {

struct Word {
  const char* word;
  CommandKind kind;
};

// Each command by its own word and by the protocol word it sends.
const Word kWords[] = {
    {"info", CommandKind::kInfo},
    {"drives", CommandKind::kDrives},          {"get-disk", CommandKind::kDrives},
    {"dir", CommandKind::kDir},                {"get-dir", CommandKind::kDir},
    {"reg", CommandKind::kReg},                {"get-reg", CommandKind::kReg},
    {"set-id", CommandKind::kSetId},           {"set-uid", CommandKind::kSetId},
    {"scan-settings", CommandKind::kScanSettings}, {"get-scan", CommandKind::kScanSettings},
    {"set-scan", CommandKind::kSetScan},
    {"scan", CommandKind::kScan},
    {"stop-scan", CommandKind::kStopScan},
    {"wait-scan", CommandKind::kWaitScan},
    {"download", CommandKind::kDownload},      {"down-snap", CommandKind::kDownload},
    {"ack", CommandKind::kAck},                {"down-ack", CommandKind::kAck},
    {"upgrade", CommandKind::kUpgrade},        {"upgd-cli", CommandKind::kUpgrade},
    {"uninstall", CommandKind::kUninstall},
    {"reconnect", CommandKind::kReconnect},    {"wait-agent", CommandKind::kReconnect},
    {"raw", CommandKind::kRaw},
    {"sleep", CommandKind::kSleep},
    {"help", CommandKind::kHelp},
    {"quit", CommandKind::kQuit},              {"exit", CommandKind::kQuit},
};

bool ParseNumber(const std::string& text, int32_t* value) {
  if (!IsDecimalInt(text)) return false;
  *value = CXMessage::ParseInt(text);
  return true;
}

// The snapshot number argument: a number or "last".
bool ParseSnapshot(const std::string& text, SXConsoleCommand* c) {
  if (text == "last") {
    c->last = true;
    return true;
  }
  return ParseNumber(text, &c->number) && c->number > 0;
}

class Args {
 public:
  Args(const std::vector<std::string>& words, std::string* error) : words_(words), error_(error) {}
  bool done() const { return at_ >= words_.size(); }
  const std::string& peek() const { return words_[at_]; }
  const std::string& next() { return words_[at_++]; }
  // The value after an option.
  bool Value(const std::string& option, std::string* value) {
    if (done()) return Usage("option " + option + " needs a value");
    *value = next();
    return true;
  }
  bool Usage(const std::string& text) {
    *error_ = words_[0] + ": " + text;
    return false;
  }

 private:
  const std::vector<std::string>& words_;
  std::string* error_;
  size_t at_ = 1;
};

// One scan option at the front of args, when it is one; *taken tells.
bool TakeScanOption(Args& a, SXScanTargets* t, bool removable_allowed, bool* taken) {
  *taken = true;
  const std::string option = a.peek();
  std::string value;
  if (option == "--file" || option == "--reg" || option == "--app" || option == "--name") {
    a.next();
    if (!a.Value(option, &value)) return false;
    if (option == "--file") t->files.push_back(value);
    if (option == "--reg") t->regs.push_back(value);
    if (option == "--app") t->apps.push_back(value);
    if (option == "--name") t->name = value;
    return true;
  }
  if (option == "--full" || option == "--versions" || (removable_allowed && option == "--removable")) {
    a.next();
    if (option == "--full") t->full = true;
    if (option == "--versions") t->versions = true;
    if (option == "--removable") t->removable = true;
    return true;
  }
  *taken = false;
  return true;
}

bool OptionalSeconds(Args& a, SXConsoleCommand* c) {
  if (a.done()) return true;
  const std::string text = a.next();
  if (!ParseSeconds(text, &c->wait_ms)) return a.Usage("\"" + text + "\" is no number of seconds");
  return true;
}

bool NoMore(Args& a) { return a.done() || a.Usage("unexpected \"" + a.peek() + "\""); }

bool ParseRaw(Args& a, SXConsoleCommand* c) {
  while (!a.done()) {
    const std::string word = a.next();
    if (word == "--no-reply") {
      c->no_reply = true;
    } else if (word == "--payload") {
      if (!a.Value(word, &c->payload_file)) return false;
    } else if (word == "--wait") {
      std::string value;
      if (!a.Value(word, &value)) return false;
      if (!ParseSeconds(value, &c->wait_ms)) return a.Usage("\"" + value + "\" is no number of seconds");
    } else if (c->text.empty() && word.find('=') == std::string::npos) {
      c->text = word;
    } else {
      const size_t eq = word.find('=');
      if (eq == std::string::npos || eq == 0) return a.Usage("\"" + word + "\" is no KEY=VALUE pair");
      if (word.find('\xFE') != std::string::npos) return a.Usage("keys and values cannot hold the byte FE");
      c->pairs.emplace_back(word.substr(0, eq), word.substr(eq + 1));
    }
  }
  if (c->text.empty()) return a.Usage("the message name is missing");
  for (const char ch : c->text) {
    if (static_cast<uint8_t>(ch) >= 0xFE) return a.Usage("names cannot hold the bytes FE or FF");
  }
  return true;
}

}  // namespace

bool ParseSeconds(std::string_view text, int64_t* ms) {
  if (text.empty() || text.size() > 20) return false;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(copy.c_str(), &end);
  if (errno != 0 || end != copy.c_str() + copy.size() || !(seconds >= 0) || seconds > 1e9) return false;
  *ms = static_cast<int64_t>(std::llround(seconds * 1000.0));
  return true;
}

bool ParseCommand(const std::vector<std::string>& words, SXConsoleCommand* c, std::string* error) {
  *c = SXConsoleCommand();
  if (words.empty()) {
    *error = "empty command";
    return false;
  }
  c->word = words[0];
  bool known = false;
  for (const Word& w : kWords) {
    if (words[0] == w.word) {
      c->kind = w.kind;
      known = true;
    }
  }
  if (!known) {
    *error = "unknown command \"" + words[0] + "\" (try \"help\")";
    return false;
  }
  Args a(words, error);
  switch (c->kind) {
    case CommandKind::kInfo:
    case CommandKind::kDrives:
    case CommandKind::kScanSettings:
    case CommandKind::kUninstall:
    case CommandKind::kHelp:
    case CommandKind::kQuit:
      return NoMore(a);
    case CommandKind::kDir:
    case CommandKind::kReg:
      if (a.done()) return a.Usage("the path is missing");
      c->text = a.next();
      return NoMore(a);
    case CommandKind::kSetId:
      if (a.done() || !ParseNumber(a.peek(), &c->number)) return a.Usage("needs the computer id, a decimal number");
      a.next();
      return NoMore(a);
    case CommandKind::kSetScan:
      while (!a.done()) {
        bool taken = false;
        if (!TakeScanOption(a, &c->targets, /*removable_allowed=*/true, &taken)) return false;
        if (!taken) return a.Usage("unknown option \"" + a.peek() + "\"");
      }
      return true;
    case CommandKind::kScan:
      while (!a.done()) {
        if (a.peek() == "--targets") {
          a.next();
          c->explicit_targets = true;
          continue;
        }
        bool taken = false;
        if (!TakeScanOption(a, &c->targets, /*removable_allowed=*/false, &taken)) return false;
        if (taken) continue;
        if (a.peek().rfind("--", 0) == 0) return a.Usage("unknown option \"" + a.peek() + "\"");
        if (!c->targets.name.empty()) return a.Usage("unexpected \"" + a.peek() + "\"");
        c->targets.name = a.next();
      }
      // Any target or flag means a scan with its own targets ("default" 0).
      c->explicit_targets = c->explicit_targets || c->targets.full || c->targets.versions ||
                            !c->targets.files.empty() || !c->targets.regs.empty() || !c->targets.apps.empty();
      return true;
    case CommandKind::kStopScan:
      if (!a.done()) c->text = a.next();
      return NoMore(a);
    case CommandKind::kWaitScan:
    case CommandKind::kReconnect:
      return OptionalSeconds(a, c) && NoMore(a);
    case CommandKind::kSleep:
      if (a.done()) return a.Usage("needs a number of seconds");
      return OptionalSeconds(a, c) && NoMore(a);
    case CommandKind::kDownload:
      if (a.done() || !ParseSnapshot(a.peek(), c)) return a.Usage("needs a snapshot number (1 or more) or \"last\"");
      a.next();
      while (!a.done()) {
        const std::string word = a.next();
        if (word == "--ack") {
          c->ack = true;
        } else if (c->folder.empty() && word.rfind("--", 0) != 0) {
          c->folder = word;
        } else {
          return a.Usage("unexpected \"" + word + "\"");
        }
      }
      if (c->folder.empty()) c->folder = ".";
      return true;
    case CommandKind::kAck:
      if (a.done() || !ParseSnapshot(a.peek(), c)) return a.Usage("needs a snapshot number (1 or more) or \"last\"");
      a.next();
      return NoMore(a);
    case CommandKind::kUpgrade:
      if (a.done()) return a.Usage("needs the file of the new executable");
      c->text = a.next();
      if (!a.done() && a.peek() == "--wait") {
        a.next();
        std::string value;
        if (!a.Value("--wait", &value)) return false;
        if (!ParseSeconds(value, &c->wait_ms)) return a.Usage("\"" + value + "\" is no number of seconds");
      }
      return NoMore(a);
    case CommandKind::kRaw:
      return ParseRaw(a, c);
  }
  return true;
}

std::vector<std::vector<std::string>> GroupCommands(const std::vector<std::string>& words) {
  std::vector<std::vector<std::string>> commands(1);
  for (const std::string& word : words) {
    if (word == ";") {
      if (!commands.back().empty()) commands.emplace_back();
      continue;
    }
    if (word.size() > 1 && word.back() == ';') {
      commands.back().push_back(word.substr(0, word.size() - 1));
      commands.emplace_back();
      continue;
    }
    commands.back().push_back(word);
  }
  if (commands.back().empty()) commands.pop_back();
  return commands;
}

bool SplitInputLine(std::string_view line, std::vector<std::vector<std::string>>* commands, std::string* error) {
  commands->clear();
  commands->emplace_back();
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char ch = line[i];
    if (ch == '\'' || ch == '"') {
      const size_t close = line.find(ch, i + 1);
      if (close == std::string_view::npos) {
        *error = std::string("no closing ") + ch;
        return false;
      }
      word.append(line.substr(i + 1, close - i - 1));
      in_word = true;
      i = close;
    } else if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == ';') {
      if (in_word) commands->back().push_back(word);
      word.clear();
      in_word = false;
      if (ch == ';' && !commands->back().empty()) commands->emplace_back();
    } else if (ch == '#' && !in_word) {
      break;
    } else {
      word += ch;
      in_word = true;
    }
  }
  if (in_word) commands->back().push_back(word);
  if (commands->back().empty()) commands->pop_back();
  return true;
}

const char* CommandHelp() {
  return "commands (the protocol word in brackets is accepted as well):\n"
         "  info                      show what the agent said about itself\n"
         "  drives         [get-disk] list the drives: letter and fixed or other\n"
         "  dir PATH       [get-dir]  list the subfolders of a folder (end the path with \\)\n"
         "  reg PATH       [get-reg]  list the subkeys of a registry key (ROOT\\path)\n"
         "                            kinds: 0 no subfolders/subkeys, 1 has some, 2 link (with its target)\n"
         "  set-id N       [set-uid]  set the computer id (no reply)\n"
         "  scan-settings  [get-scan] show the scan settings\n"
         "  set-scan [--file PATH]... [--reg KEY]... [--app NAME]... [--full] [--versions]\n"
         "           [--removable] [--name TITLE]\n"
         "                            replace the scan settings (\"*\" alone stands for all)\n"
         "  scan [TITLE]              start a scan with the saved settings\n"
         "  scan --targets [--file PATH]... [--reg KEY]... [--app NAME]... [--full] [--versions]\n"
         "       [--name TITLE]       start a scan with these targets (saved by the agent)\n"
         "  stop-scan [TEXT]          stop the scan and discard the current snapshot\n"
         "  wait-scan [SECONDS]       wait for \"scan-done\" (default 3600 s)\n"
         "  download N|last [FOLDER] [--ack]  [down-snap]\n"
         "                            fetch snapshot N (or that of the last scan-done) as\n"
         "                            FOLDER/snapshotNNN.snp (default folder: .)\n"
         "  ack N|last     [down-ack] tell the agent the snapshot is stored (it deletes it)\n"
         "  upgrade FILE [--wait SECONDS]  [upgd-cli]\n"
         "                            send a new agent executable; success unless the agent\n"
         "                            reports a failure within the wait (default 5 s)\n"
         "  uninstall                 ask the agent to remove itself (no reply)\n"
         "  reconnect [SECONDS]       wait until the agent drops the link and an agent connects\n"
         "                [wait-agent] and greets again (default 120 s)\n"
         "  raw NAME [KEY=VALUE]... [--payload FILE] [--no-reply] [--wait SECONDS]\n"
         "                            send any message and show the next one that comes\n"
         "  sleep SECONDS             pause\n"
         "  help, quit\n";
}

}  // namespace orvalinth::tools
