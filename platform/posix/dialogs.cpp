// Message boxes on POSIX: the terminal. A question is asked only when
// standard input is a terminal (a daemon, a pipe or a file cannot answer);
// "y" or "yes" in any case is Yes, anything else, or nothing, is No.

#include "platform/dialogs.h"

#include <errno.h>
#include <unistd.h>

#include "platform/console.h"

namespace orvalinth::platform {
namespace {

// One line from standard input, without its line end; false at the end of
// input or on an error.
bool ReadLine(std::string* line) {
  line->clear();
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line->empty();
    if (c == '\n') return true;
    if (c != '\r') *line += c;
    // A question needs no more than a word; a runaway input is cut.
    if (line->size() > 4096) return true;
  }
}

bool IsYes(std::string answer) {
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t')) answer.pop_back();
  size_t start = 0;
  while (start < answer.size() && (answer[start] == ' ' || answer[start] == '\t')) ++start;
  answer.erase(0, start);
  for (char& c : answer) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return answer == "y" || answer == "yes";
}

class TerminalDialog final : public Dialog {
 public:
  bool AskYesNo(const std::string& caption, const std::string& question) override {
    if (!StdinIsTerminal()) return false;
    WriteStdout(caption + ": " + question + " [y/N] ");
    std::string answer;
    if (!ReadLine(&answer)) {
      WriteStdout("\n");
      return false;
    }
    return IsYes(answer);
  }

  void Inform(const std::string& caption, const std::string& text) override {
    WriteStdout(caption + ": " + text + "\n");
  }
};

}  // namespace

template <>
Dialog& Facility<Dialog>::Real() {
  static TerminalDialog instance;
  return instance;
}

}  // namespace orvalinth::platform
