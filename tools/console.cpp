// "orvalinth console": the command-line front end of the console.

#include <iostream>
#include <memory>
#include <string>

#include "base/pins.h"
#include "base/strings.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tls.h"
#include "tools/commands.h"
#include "tools/console_command.h"
#include "tools/console_link.h"
#include "tools/console_options.h"
#include "tools/console_output.h"
#include "tools/console_session.h"
#include "tools/console_text.h"
#include "tools/progress_bar.h"

namespace orvalinth::tools {
namespace {

using Commands = std::vector<std::vector<std::string>>;

// Parses every command before the console listens, so a typo costs no agent.
bool ParseAll(const Commands& words, std::vector<SXConsoleCommand>* commands, std::string* error) {
  for (const auto& w : words) {
    SXConsoleCommand c;
    if (!ParseCommand(w, &c, error)) return false;
    commands->push_back(c);
  }
  return true;
}

bool ReadScript(const std::string& path, Commands* words, std::string* error) {
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(Utf8ToUtf16(path), platform::kOpenRead);
  if (!file) {
    *error = Format("cannot open %s (error %u)", DisplayText(path).c_str(), static_cast<unsigned>(platform::LastError()));
    return false;
  }
  std::string text;
  char buffer[65536];
  uint32_t got = 0;
  while (file->Read(buffer, sizeof buffer, &got) && got > 0) text.append(buffer, got);
  size_t start = 0;
  for (int line = 1; start < text.size(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    Commands found;
    if (!SplitInputLine(std::string_view(text).substr(start, end - start), &found, error)) {
      *error = Format("%s line %d: ", DisplayText(path).c_str(), line) + *error;
      return false;
    }
    words->insert(words->end(), found.begin(), found.end());
    start = end + 1;
  }
  return true;
}

bool WritePortFile(const std::string& path, uint16_t port) {
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(Utf8ToUtf16(path), platform::kOpenCreate);
  const std::string text = std::to_string(port) + "\n";
  uint32_t written = 0;
  return file && file->Write(text.data(), static_cast<uint32_t>(text.size()), &written) && written == text.size();
}

// Runs the commands read line by line from standard input.
Outcome RunInput(SXConsoleIo& io, const SXConsoleOptions& options, CXConsoleSession& session, CXConsoleOutput& output) {
  Outcome worst = Outcome::kOk;
  const bool terminal = io.stdin_terminal;
  // From a terminal every command is tried; from a pipe or file the first
  // failure ends the run, as it does for commands on the command line.
  const bool go_on = terminal || options.keep_going;
  std::string line;
  for (;;) {
    if (terminal) io.err("orvalinth> ");
    if (!io.read_line(&line)) {
      if (terminal) io.err("\n");
      return worst;
    }
    Commands words;
    std::string error;
    if (!SplitInputLine(line, &words, &error)) {
      output.Failure("input", "usage", error);
      if (!terminal) worst = Worse(worst, Outcome::kUsage);
      if (!go_on) return worst;
      continue;
    }
    for (const auto& w : words) {
      SXConsoleCommand command;
      Outcome outcome;
      if (!ParseCommand(w, &command, &error)) {
        output.Failure(w[0], "usage", error);
        outcome = terminal ? Outcome::kOk : Outcome::kUsage;
      } else {
        outcome = session.Run(command);
      }
      if (outcome == Outcome::kQuit) return worst;
      worst = Worse(worst, outcome);
      if (outcome != Outcome::kOk && !go_on) return worst;
    }
  }
}

}  // namespace

int RunConsole(const std::vector<std::string>& arguments, SXConsoleIo& io) {
  SXConsoleOptions options;
  std::string error;
  if (!ParseConsoleOptions(arguments, &options, &error)) {
    io.err("orvalinth console: " + error + "\n(orvalinth console --help shows the options and commands)\n");
    return 2;
  }
  if (options.help) {
    io.out(ConsoleUsage());
    return 0;
  }
  Commands words = options.commands;
  if (!options.script.empty()) {
    if (!words.empty()) {
      io.err("orvalinth console: --script and commands on the command line exclude each other\n");
      return 2;
    }
    if (!ReadScript(options.script, &words, &error)) {
      io.err("orvalinth console: " + error + "\n");
      return 2;
    }
  }
  std::vector<SXConsoleCommand> commands;
  if (!ParseAll(words, &commands, &error)) {
    io.err("orvalinth console: " + error + "\n");
    return 2;
  }
  const bool from_input = options.script.empty() && commands.empty();

  CXConsoleOutput output(options.json, io.out, io.err);
  CXConsoleLink link;
  link.set_reply_timeout_ms(options.reply_timeout_ms);
  std::string pin;
  if (!options.tls_cert.empty()) {
    std::shared_ptr<const platform::TlsServerIdentity> identity =
        platform::TlsEngine::Get().LoadServerIdentity(options.tls_cert, options.tls_key, &error);
    if (identity == nullptr) {
      output.Failure("listen", "failed", "no TLS console: " + error);
      return 1;
    }
    pin = PinText(identity->pin());
    link.set_tls_identity(std::move(identity));
    link.set_refusal_observer([&output](const std::string& text) { output.Failure("accept", "refused", text); });
  }
  if (!link.Listen(options.listen, options.port)) {
    output.Failure("listen", "failed", link.failure_text());
    return 1;
  }
  if (!options.port_file.empty() && !WritePortFile(options.port_file, link.port())) {
    output.Failure("listen", "failed", "cannot write the port file " + DisplayText(options.port_file));
    return 1;
  }
  output.Listening(options.listen, link.port(), pin);
  if (!link.AcceptAgent(options.accept_timeout_ms)) {
    const bool violation = link.failure() == LinkFailure::kViolation;
    output.Failure("connect", violation ? "violation" : link.failure() == LinkFailure::kNoAgent ? "no-agent" : "failed",
                   link.failure_text(), link.frame_hex());
    return violation ? 3 : link.failure() == LinkFailure::kNoAgent ? 4 : 1;
  }
  output.Agent("connect", link.info());
  if (link.tls()) output.Note("link: " + link.link_description());

  const bool progress_on = options.progress < 0 ? io.stderr_terminal : options.progress == 1;
  CXProgressBar bar(io.err);
  CXConsoleSession session(link, output, progress_on ? &bar : nullptr);
  Outcome worst = Outcome::kOk;
  if (from_input) {
    worst = RunInput(io, options, session, output);
  } else {
    for (const SXConsoleCommand& command : commands) {
      const Outcome outcome = session.Run(command);
      if (outcome == Outcome::kQuit) break;
      worst = Worse(worst, outcome);
      if (outcome != Outcome::kOk && !options.keep_going) break;
    }
  }
  link.Close();
  return ExitCodeOf(worst);
}

int RunConsoleCommand(const std::vector<std::string>& arguments) {
  SXConsoleIo io;
  io.out = [](std::string_view text) { platform::WriteStdout(text); };
  io.err = [](std::string_view text) { platform::WriteStderr(text); };
  io.read_line = [](std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  };
  io.stdin_terminal = platform::StdinIsTerminal();
  io.stderr_terminal = platform::StderrIsTerminal();
  return RunConsole(arguments, io);
}

}  // namespace orvalinth::tools
