#pragma once
// Message boxes: the only questions and messages the program puts to a
// person (the self-uninstall's question and its final message). Texts are
// 8-bit. Nothing waits for an answer that cannot come: without a desktop (a
// service, Wine without a display) or, on POSIX, without a terminal on
// standard input, a question is answered "not Yes" at once.

#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

class Dialog : public Facility<Dialog> {
 public:
  virtual ~Dialog() = default;
  // Asks `question` with the buttons Yes and No; true only when the answer is Yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& question) = 0;
  // Shows `text` with the button OK and returns when it is closed (or could
  // not be shown).
  virtual void Inform(const std::string& caption, const std::string& text) = 0;
};

template <>
Dialog& Facility<Dialog>::Real();

}  // namespace orvalinth::platform
