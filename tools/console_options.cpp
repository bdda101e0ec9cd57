#include "tools/console_options.h"

#include "tools/console_command.h"
#include "tools/reply_rules.h"

namespace orvalinth::tools {

bool ParseConsoleOptions(const std::vector<std::string>& args, SXConsoleOptions* o, std::string* error) {
  *o = SXConsoleOptions();
  size_t i = 0;
  auto value = [&](const std::string& option, std::string* out) {
    if (i + 1 >= args.size()) {
      *error = "option " + option + " needs a value";
      return false;
    }
    *out = args[++i];
    return true;
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--") {
      ++i;
      break;
    }
    if (a.rfind("--", 0) != 0) break;
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--progress") {
      o->progress = 1;
    } else if (a == "--no-progress") {
      o->progress = 0;
    } else if (a == "--keep-going") {
      o->keep_going = true;
    } else if (a == "--listen") {
      if (!value(a, &o->listen)) return false;
    } else if (a == "--port") {
      if (!value(a, &v)) return false;
      if (!IsDecimalInt(v) || v[0] == '-' || std::stol(v) > 65535) {
        *error = "--port needs a port number 0 to 65535, not \"" + v + "\"";
        return false;
      }
      o->port = static_cast<uint16_t>(std::stol(v));
    } else if (a == "--accept-timeout" || a == "--reply-timeout") {
      if (!value(a, &v)) return false;
      int64_t ms = 0;
      if (!ParseSeconds(v, &ms)) {
        *error = a + " needs a number of seconds, not \"" + v + "\"";
        return false;
      }
      if (a == "--accept-timeout") {
        o->accept_timeout_ms = ms;
      } else {
        // A reply that may take for ever: 0 lifts the limit.
        o->reply_timeout_ms = ms == 0 ? -1 : ms;
      }
    } else if (a == "--port-file") {
      if (!value(a, &o->port_file)) return false;
    } else if (a == "--script") {
      if (!value(a, &o->script)) return false;
    } else if (a == "--tls-cert") {
      if (!value(a, &o->tls_cert)) return false;
    } else if (a == "--tls-key") {
      if (!value(a, &o->tls_key)) return false;
    } else {
      *error = "unknown option " + a;
      return false;
    }
  }
  if (o->tls_cert.empty() != o->tls_key.empty()) {
    *error = "--tls-cert and --tls-key go together";
    return false;
  }
  o->commands = GroupCommands(std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i), args.end()));
  return true;
}

std::string ConsoleUsage() {
  return std::string(
             "usage: orvalinth console [OPTIONS] [COMMAND [ARGS...] [; COMMAND ...]]\n"
             "\n"
             "Listens for an agent, accepts it, greets it and shows its \"info\", then runs the\n"
             "commands in order. A word \";\" (quote it for the shell) or a final \";\" separates\n"
             "commands. Without commands it reads them from standard input, one line each\n"
             "(quotes '...' and \"...\" group words, \";\" separates, \"#\" starts a comment),\n"
             "with the prompt \"orvalinth> \" on a terminal, until \"quit\" or the end of input.\n"
             "\n"
             "options:\n"
             "  --listen ADDR           address to listen on (default 0.0.0.0)\n"
             "  --port N                port to listen on (default 51000; 0 takes a free port)\n"
             "  --port-file FILE        write the listening port to FILE once listening\n"
             "  --accept-timeout SEC    how long to wait for an agent (default: for ever)\n"
             "  --reply-timeout SEC     how long to wait for a reply or a block (default 60;\n"
             "                          0: no limit)\n"
             "  --json                  one JSON object per result line on standard output\n"
             "  --progress, --no-progress\n"
             "                          progress bar of downloads on standard error (default:\n"
             "                          when standard error is a terminal)\n"
             "  --keep-going            go on after a failed command (commands from a terminal\n"
             "                          always go on)\n"
             "  --script FILE           read the commands from FILE instead\n"
             "  --tls-cert FILE, --tls-key FILE\n"
             "                          make every agent's link TLS, presenting this PEM\n"
             "                          certificate and its PEM private key (RSA of 2048 bits\n"
             "                          or more, or ECDSA P-256); prints the ServerPin agents\n"
             "                          need (ServerTLS:1), and refuses agents that do not\n"
             "                          speak TLS or do not pin this key. Linux console only\n"
             "\n") +
         CommandHelp() +
         "\n"
         "exit codes: 0 all commands succeeded, 1 a command failed (the agent said no, a\n"
         "file could not be written, a time-out, a dropped link), 2 usage error, 3 protocol\n"
         "violation (shown with the frame's bytes in hex), 4 no agent came.\n"
         "\n"
         "example:\n"
         "  orvalinth console --accept-timeout 60 drives \\; dir 'C:\\' \\; scan \\; wait-scan 600 \\;\n"
         "      download last ./snapshots --ack\n";
}

}  // namespace orvalinth::tools
