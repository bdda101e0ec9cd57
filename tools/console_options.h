#pragma once
// The options of "orvalinth console" and how it talks to its caller.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvalinth::tools {

struct SXConsoleOptions {
  std::string listen = "0.0.0.0";
  uint16_t port = 51000;
  int64_t accept_timeout_ms = -1;  // -1: wait for ever
  int64_t reply_timeout_ms = 60000;  // -1: no limit
  bool json = false;
  int progress = -1;  // -1: when standard error is a terminal; 0 off; 1 on
  bool keep_going = false;
  std::string port_file;  // where to write the listening port
  std::string script;     // a file of commands, one line each
  std::string tls_cert;   // with tls_key: every agent's link is TLS with this PEM certificate
  std::string tls_key;    // and its PEM private key
  bool help = false;
  // The commands of the command line, each a list of words.
  std::vector<std::vector<std::string>> commands;
};

// Parses the arguments after "console": options first, then the commands
// (a word that does not start with "--", or everything after "--").
bool ParseConsoleOptions(const std::vector<std::string>& arguments, SXConsoleOptions* options, std::string* error);

// The text of "orvalinth console --help" (the options and the commands).
std::string ConsoleUsage();

// Standard input, output and error of the console; tests give their own.
struct SXConsoleIo {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
  // The next line of input without its line end; false at the end of input.
  std::function<bool(std::string*)> read_line;
  bool stdin_terminal = false;
  bool stderr_terminal = false;
};

// "orvalinth console ARGUMENTS": returns the exit code (0 all commands
// succeeded, 1 a command failed, 2 usage error, 3 protocol violation, 4 no
// agent came).
int RunConsole(const std::vector<std::string>& arguments, SXConsoleIo& io);

}  // namespace orvalinth::tools
